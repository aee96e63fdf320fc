// The module table's queries and settings: many-device lists, module type and address,
// callbacks and credentials; and the small checks every client file shares.
#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_thread.h"

bool client_id_checked(int id) {
    if (id_in_table(id)) return true;
    xml_except(0, QV_E_ID_OUT_OF_RANGE);
    return false;
}

int refuse(int id, int code) {
    xml_except(id_in_table(id) ? id : 0, code);
    return -1;
}

long bounded_length(const char *text, size_t capacity) {
    const void *end = std::memchr(text, '\0', capacity);
    return end == nullptr ? -1 : static_cast<const char *>(end) - text;
}

long long now_seconds() {
    return static_cast<long long>(std::time(nullptr));
}

int credential_fault(const qvxml_settings *settings) {
    if (settings == nullptr) return 0;
    if (bounded_length(settings->get_user, sizeof settings->get_user) < 0 ||
        bounded_length(settings->set_user, sizeof settings->set_user) < 0)
        return QV_E_USER_TOO_LONG;
    if (bounded_length(settings->get_password, sizeof settings->get_password) < 0 ||
        bounded_length(settings->set_password, sizeof settings->set_password) < 0)
        return QV_E_PASSWORD_TOO_LONG;
    return 0;
}

xml_submodule_state *new_device_state() {
    void *pages = mmap(nullptr, sizeof(xml_submodule_state), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : static_cast<xml_submodule_state *>(pages);
}

void free_device_state(xml_submodule_state *device) {
    if (device != nullptr) munmap(device, sizeof(xml_submodule_state));
}

namespace {

// The device list of many-device module `id`, or null with QV_E_ID_NOT_FOUND recorded when
// `id` has none.
modules_list_entry *device_list(int id) REQUIRES(xml_module[id].mutex) {
    if (modules_list[id].count == -1) {
        xml_except(id, QV_E_ID_NOT_FOUND);
        return nullptr;
    }
    return &modules_list[id];
}

}  // namespace

int qvxml_add_module(int id, const char *host, int port, const qvxml_settings *settings) {
    if (!client_id_checked(id)) return -1;
    // Meant for set-up before requests; the lock keeps it apart from a close freeing the list.
    xml_lock lock(id);
    modules_list_entry *listed = device_list(id);
    if (listed == nullptr) return -1;
    modules_list_entry &list = *listed;
    const long host_length = host == nullptr ? -1 : bounded_length(host, QVXML_AUTHENTICATE_MAX);
    if (host_length < 0) {
        xml_except(id, QV_E_IP_NOT_VALID);
        return -1;
    }
    if (const int fault = credential_fault(settings); fault != 0) {
        xml_except(id, fault);
        return -1;
    }
    if (list.count >= QVXML_MODULES_MAX) {
        xml_except(id, QV_E_TOO_MANY_DEVICES);
        return -1;
    }
    for (int i = 0; i < list.count; ++i) {
        if (std::strcmp(list.sub[i]->host, host) == 0 && list.sub[i]->port == port) {
            xml_except(id, QV_E_IP_PORT_IN_USE);
            return -1;
        }
    }
    xml_submodule_state *device = new_device_state();
    if (device == nullptr) {
        xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
        return -1;
    }
    std::memcpy(device->host, host, static_cast<size_t>(host_length) + 1);
    device->port = port;
    device->active = 1;
    if (settings != nullptr) device->settings = *settings;
    const int index = list.count;
    list.sub[index] = device;
    list.count = index + 1;
    return index;
}

int qvxml_count_modules(int id) {
    if (!client_id_checked(id)) return -1;
    xml_lock lock(id);
    if (modules_list[id].count == -1) {
        xml_except(id, QV_E_ID_NOT_FOUND);
        return -1;
    }
    return modules_list[id].count;
}

int qvxml_active_modules(int id, const int *flags) {
    if (!id_in_table(id) || flags == nullptr) return 0;
    xml_lock lock(id);
    modules_list_entry &list = modules_list[id];
    for (int i = 0; i < list.count && i < QVXML_MODULES_MAX; ++i) list.sub[i]->active = flags[i];
    return 0;
}

int qvxml_type_of(int id) {
    if (!client_id_checked(id)) return -1;
    if (xml_module[id].state.load() != XML_STATE_RUNNING) {
        xml_except(id, QV_E_THREAD_NOT_RUN);
        return -1;
    }
    // Under the lock: a close on another thread resets the device list.
    xml_lock lock(id);
    return modules_list[id].count >= 0 ? 1 : 0;
}

namespace {

void copy_out(char *addr, int *port, const char *from_addr, int from_port) {
    if (addr != nullptr) {
        std::memcpy(addr, from_addr, 16);
        addr[15] = '\0';
    }
    if (port != nullptr) *port = from_port;
}

void copy_host(char *host, const char *from) {
    if (host == nullptr) return;
    std::memcpy(host, from, QVXML_AUTHENTICATE_MAX);
    host[QVXML_AUTHENTICATE_MAX - 1] = '\0';
}

int get_module(int id, char *host, char *addr, int *port) {
    if (!client_id_checked(id)) return -1;
    xml_module_state &m = xml_module[id];
    if (m.state.load() != XML_STATE_RUNNING) {
        xml_except(id, QV_E_THREAD_NOT_RUN);
        return -1;
    }
    xml_lock lock(m);
    if (modules_list[id].count >= 0) {
        xml_except(id, QV_E_ID_NOT_FOUND);
        return -1;
    }
    copy_out(addr, port, m.addr, m.port);
    copy_host(host, m.host);
    return 0;
}

int get_module_many(int id, int index, char *host, char *addr, int *port) {
    if (!client_id_checked(id)) return -1;
    xml_lock lock(id);
    modules_list_entry *listed = device_list(id);
    if (listed == nullptr) return -1;
    modules_list_entry &list = *listed;
    if (index < 0 || index >= list.count) {
        xml_except(id, QV_E_INDEX_NOT_FOUND);
        return -1;
    }
    copy_out(addr, port, list.sub[index]->addr, list.sub[index]->port);
    copy_host(host, list.sub[index]->host);
    return 0;
}

}  // namespace

int qvxml_get_module(int id, char *addr, int *port) {
    return get_module(id, nullptr, addr, port);
}
int qvxml_get_module_ex(int id, char *host, char *addr, int *port) {
    return get_module(id, host, addr, port);
}
int qvxml_get_module_many(int id, int index, char *addr, int *port) {
    return get_module_many(id, index, nullptr, addr, port);
}
int qvxml_get_module_many_ex(int id, int index, char *host, char *addr, int *port) {
    return get_module_many(id, index, host, addr, port);
}

int qvxml_clr_callback(int, qvxml_callbacks *callbacks) {
    if (callbacks != nullptr) std::memset(callbacks, 0, sizeof *callbacks);
    return 0;
}

int qvxml_clr_settings_struct(qvxml_settings *settings) {
    if (settings != nullptr) std::memset(settings, 0, sizeof *settings);
    return 0;
}

int qvxml_callback(int id, const qvxml_callbacks *callbacks) {
    if (!client_id_checked(id)) return -1;
    {
        xml_lock lock(id);
        if (xml_module[id].state.load() == XML_STATE_RUNNING) {
            if (callbacks != nullptr)
                xml_module[id].settings.callbacks = *callbacks;
            else
                qvxml_clr_callback(0, &xml_module[id].settings.callbacks);
            return 0;
        }
    }
    xml_except(id, QV_E_THREAD_NOT_RUN);
    return -1;
}

namespace {

int authenticate(int id, const char *user, const char *password, bool for_get) {
    if (!client_id_checked(id)) return -1;
    const long user_length = user == nullptr ? 0 : bounded_length(user, QVXML_AUTHENTICATE_MAX);
    const long password_length =
        password == nullptr ? 0 : bounded_length(password, QVXML_AUTHENTICATE_MAX);
    if (user_length < 0) {
        xml_except(id, QV_E_USER_TOO_LONG);
        return -1;
    }
    if (password_length < 0) {
        xml_except(id, QV_E_PASSWORD_TOO_LONG);
        return -1;
    }
    xml_module_state &m = xml_module[id];
    xml_lock lock(m);
    qvxml_settings &s = m.settings;
    char *to_user = for_get ? s.get_user : s.set_user;
    char *to_password = for_get ? s.get_password : s.set_password;
    std::memset(to_user, 0, QVXML_AUTHENTICATE_MAX);
    std::memset(to_password, 0, QVXML_AUTHENTICATE_MAX);
    if (user != nullptr) std::memcpy(to_user, user, static_cast<size_t>(user_length));
    if (password != nullptr)
        std::memcpy(to_password, password, static_cast<size_t>(password_length));
    return 0;
}

}  // namespace

int qvxml_authenticate_get(int id, const char *user, const char *password) {
    return authenticate(id, user, password, true);
}

int qvxml_authenticate_set(int id, const char *user, const char *password) {
    return authenticate(id, user, password, false);
}
