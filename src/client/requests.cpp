// The queueing operations: a request is marked pending (or a POST handed over) under the
// module's lock, only on a running module and only when the buffers it writes are not in use
// by another request, and the module's worker is woken.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_thread.h"
#include "transport/xml_socket.h"

int buffers_in_use(const xml_module_state &m) {
    int used = m.serving | (m.building ? XML_BUF_POST : 0);
    if (m.values_done.load() == XML_PENDING || m.load_values_done.load() == XML_PENDING)
        used |= XML_BUF_VALUES;
    if (m.setup_done.load() == XML_PENDING || m.load_setup_done.load() == XML_PENDING)
        used |= XML_BUF_SETUP;
    if (m.send_done.load() == XML_PENDING) used |= XML_BUF_POST | XML_BUF_SETUP;  // reply: setup
    return used;
}

namespace {

// An allocation the request needs failed: QV_E_NO_MEMORY with ENOMEM on the module; -1.
int refuse_no_memory(int id) {
    xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
    return -1;
}

// Wakes the worker for a request just queued. A refused post (a wake-up already pending)
// records code 21 on the module; the request stays queued and is served at a later wake-up.
void signal_request(xml_module_state &m) REQUIRES(m.mutex) {
    if (qv_sem_post(&m.request_sem) != 0) xml_except(xml_id_of(m), QV_E_SEM_POST);
}

// Queues a request that writes only module storage: under the module's lock the module must
// be running (else 40) and none of `buffers` in use by another request (else 21); then
// `prepare` (a lambda marked REQUIRES(m.mutex)) marks it pending and the worker is woken,
// still under the lock, so a close can neither free what `prepare` writes nor destroy the
// semaphore under the post.
template <typename Prepare>
int queue_request(int id, int buffers, Prepare prepare) {
    if (!client_id_checked(id)) return -1;
    xml_module_state &m = xml_module[id];
    xml_lock lock(m);
    if (m.state.load() != XML_STATE_RUNNING) return refuse(id, QV_E_THREAD_NOT_RUN);
    if ((buffers_in_use(m) & buffers) != 0) return refuse(id, QV_E_SEM_POST);
    // Called as operator() so that clang checks the lambda's REQUIRES against this lock
    // (clang 14 matches the arguments of an overloaded call operator one place off).
    prepare.operator()(m);
    signal_request(m);
    return 0;
}

// A POST being built outside the module's lock. The build reserves the module's POST buffers
// (a second builder or a request over them is refused with 21) and remembers the module's
// generation, so what it hands over never lands in a module that closed meanwhile.
class post_build {
public:
    explicit post_build(int id) : id_(id) {}
    post_build(const post_build &) = delete;
    post_build &operator=(const post_build &) = delete;
    ~post_build() {
        if (!reserved_) return;
        xml_module_state &m = xml_module[id_];
        xml_lock lock(m);
        if (same_module()) m.building = false;
    }

    // Reserves the POST buffers of a running module; copies its settings into `settings`
    // when given. -1 after recording 18, 40 or 21.
    int reserve(qvxml_settings *settings) {
        if (!client_id_checked(id_)) return -1;
        xml_module_state &m = xml_module[id_];
        xml_lock lock(m);
        if (m.state.load() != XML_STATE_RUNNING) return refuse(id_, QV_E_THREAD_NOT_RUN);
        if ((buffers_in_use(m) & XML_BUF_POST) != 0) return refuse(id_, QV_E_SEM_POST);
        m.building = true;
        reserved_ = true;
        generation_ = m.generation.load();
        if (settings != nullptr) *settings = m.settings;
        return 0;
    }

    // Runs `step` (a lambda marked REQUIRES(m.mutex)) under the module's lock when the
    // module is still the one reserved and running; else records 40 and returns -1.
    template <typename Step>
    int locked(Step step) {
        xml_module_state &m = xml_module[id_];
        xml_lock lock(m);
        if (!same_module() || m.state.load() != XML_STATE_RUNNING)
            return refuse(id_, QV_E_THREAD_NOT_RUN);
        step.operator()(m);  // as in queue_request: clang checks the lambda's REQUIRES
        return 0;
    }

    // Hands the built request over: the send becomes pending and the worker is woken.
    int queue() {
        return locked([this](xml_module_state &m) REQUIRES(m.mutex) {
            m.building = false;
            reserved_ = false;
            m.send_done = XML_PENDING;
            signal_request(m);
        });
    }

private:
    bool same_module() const { return xml_module[id_].generation.load() == generation_; }

    int id_;
    bool reserved_ = false;
    unsigned generation_ = 0;
};

// Queues a POST of a single-device module: `build(settings, request)` writes the request
// into private storage from a copy of the module's settings (recording its own code on
// failure), which is copied into post_buf under the lock. A failed build leaves the send
// state as it was.
template <typename Build>
int queue_send(int id, Build build) {
    post_build post(id);
    qvxml_settings settings;
    if (post.reserve(&settings) != 0) return -1;
    std::unique_ptr<char[]> request(new (std::nothrow) char[QVXML_BUFFER_SIZE]());
    if (!request) return refuse_no_memory(id);
    if (build(settings, request.get()) != 0) return -1;
    if (post.locked([&](xml_module_state &m) REQUIRES(m.mutex) {
            std::memcpy(m.post_buf, request.get(), sizeof m.post_buf);
        }) != 0)
        return -1;
    return post.queue();
}

// Queues one POST per device of a many-device module. Each device's settings (and, for
// `with_setup`, its setup record and counts) are copied under the lock, `build` runs on the
// copies outside it, and the result goes back under the lock; a close meanwhile ends it with
// 40, a failed build with the build's code (devices before it keep what they were given).
template <typename Build>
int queue_send_many(int id, bool with_setup, Build build) {
    post_build post(id);
    if (post.reserve(nullptr) != 0) return -1;
    struct work_copy {
        qvxml_settings settings;
        kyvern_setup setup;
        kyvern_setup_entry_count setup_count;
        char request[QVXML_BUFFER_SIZE];
    };
    std::unique_ptr<work_copy> work(new (std::nothrow) work_copy);
    if (!work) return refuse_no_memory(id);
    for (int i = 0;; ++i) {
        bool more = false;
        if (post.locked([&](xml_module_state &) {
                const modules_list_entry &list = modules_list[id];
                more = i < list.count && i < QVXML_MODULES_MAX && list.sub[i] != nullptr;
                if (!more) return;
                work->settings = list.sub[i]->settings;
                if (with_setup) {
                    work->setup = list.sub[i]->setup;
                    work->setup_count = list.sub[i]->setup_count;
                }
            }) != 0)
            return -1;
        if (!more) break;
        if (build(*work, work->request) != 0) return -1;
        if (post.locked([&](xml_module_state &) {
                xml_submodule_state *device = modules_list[id].sub[i];
                std::memcpy(device->post_buf, work->request, sizeof device->post_buf);
                if (with_setup) device->setup = work->setup;
            }) != 0)
            return -1;
    }
    return post.queue();
}

}  // namespace

int qvxml_get_values(int id) {
    return queue_request(id, XML_BUF_VALUES, [](xml_module_state &m) REQUIRES(m.mutex) {
        m.values_done = XML_PENDING;
        m.values_xml[0] = '\0';
        m.values_len = 0;
    });
}

int qvxml_get_setup(int id) {
    return queue_request(id, XML_BUF_SETUP, [](xml_module_state &m) REQUIRES(m.mutex) {
        m.setup_done = XML_PENDING;
        m.setup_xml[0] = '\0';
        m.setup_len = 0;
        m.setup_for_snmp = 0;
    });
}

int qvxml_get_snmp_manager(int id) {
    return queue_request(id, XML_BUF_SETUP, [](xml_module_state &m) REQUIRES(m.mutex) {
        m.setup_done = XML_PENDING;
        m.snmp_done = XML_PENDING;
        m.setup_for_snmp = 1;
        m.setup_xml[0] = '\0';
        m.setup_len = 0;
    });
}

namespace {

// Copies `length` bytes of `xml` into `buffer` (stopping at a terminating zero, the rest
// zero-filled) and terminates the text at `length`, so no accessor reads an earlier document
// behind it.
void copy_loaded(char *buffer, const char *xml, int length) {
    std::strncpy(buffer, xml, static_cast<size_t>(length));
    buffer[length] = '\0';
}

int load(int id, const char *xml, int length, bool values) {
    if (!client_id_checked(id)) return -1;
    if (length > QVXML_BUFFER_SIZE - 1 || length < 0 || xml == nullptr) {
        xml_except(id, QV_E_LENGTH_TOO_LARGE);
        return -1;
    }
    const int buffers = values ? XML_BUF_VALUES : XML_BUF_SETUP;
    return queue_request(id, buffers, [&](xml_module_state &m) REQUIRES(m.mutex) {
        if (values) {
            m.load_values_done = XML_PENDING;
            copy_loaded(m.values_xml, xml, length);
            m.values_len = length;
        } else {
            m.load_setup_done = XML_PENDING;
            copy_loaded(m.setup_xml, xml, length);
            m.setup_len = length;
        }
    });
}

}  // namespace

int qvxml_load_values(int id, const char *xml, int length) {
    return load(id, xml, length, true);
}
int qvxml_load_setup(int id, const char *xml, int length) {
    return load(id, xml, length, false);
}

int qvxml_send_setup_xml(int id, const char *xml, int length) {
    return queue_send(id, [&](const qvxml_settings &settings, char *request) {
        return cp_auth_and_xml2buffer(id, xml, length, &settings, request);
    });
}

int qvxml_send_setup_xml_many(int id, const char *xml, int length) {
    return queue_send_many(id, false, [&](auto &work, char *request) {
        return cp_auth_and_xml2buffer(id, xml, length, &work.settings, request);
    });
}

int qvxml_send_setup(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count) {
    return queue_send(id, [&](const qvxml_settings &settings, char *request) {
        return xml_struct2xml_file(id, setup, count, &settings, request);
    });
}

int qvxml_send_setup_many(int id, void (*modify)(kyvern_setup *setup)) {
    return queue_send_many(id, true, [&](auto &work, char *request) {
        if (modify != nullptr) modify(&work.setup);
        return xml_struct2xml_file(id, &work.setup, &work.setup_count, &work.settings, request);
    });
}

int qvxml_set_snmp_manager(int id, const char *address, int port) {
    return queue_send(id, [&](const qvxml_settings &, char *out) {
        return snmp_manager_request(id, address, port, out);
    });
}
