// Library start and stop, opening and closing modules: the transitions of the module state
// machine (core/xml_module.h) that are not the worker's own.
#include <libxml/parser.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_thread.h"
#include "records/records.h"
#include "transport/xml_socket.h"

namespace {

// How long a close waits for a close that another party owns (its join takes at most 3 s).
constexpr auto kOtherCloseBound = std::chrono::milliseconds(4000);

// Notified whenever an id becomes free, for closes that wait on a close owned by another.
std::mutex release_mutex;
std::condition_variable release_cv;

void free_devices(int id) {
    modules_list_entry &list = modules_list[id];
    for (int i = 0; i < QVXML_MODULES_MAX && list.sub[i] != nullptr; ++i) {
        free_device_state(list.sub[i]);
        list.sub[i] = nullptr;
    }
}

// Asks the worker of a module that is closing to end and wakes it and the module's waiter
// wherever they wait: the request semaphore, a socket, the waiter's semaphore.
void wake_for_close(xml_module_state &m) REQUIRES(m.mutex) {
    const int id = xml_id_of(m);
    xml_thread_cancel(id);
    if (m.request_sem != nullptr) qv_sem_post(&m.request_sem);
    xml_socket_wake(id);
    if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
}

// The opening steps shared by qvxml_open and qvxml_open_many once the gate is held: takes
// id_count, checks it is free, lets `fill` set up the entry under its lock (a lambda marked
// REQUIRES(m.mutex)), starts the worker. Returns the id or -1 (the gate is released on
// failure; on success the new worker releases it).
template <typename Fill>
int open_module(int thread_type, Fill fill) {
    xml_sem_wait(0, &xml_sem);
    const int id = id_count;
    qvxml_thread_type = thread_type;
    if (!id_in_table(id) || id == 0 || xml_module[id].state.load() != XML_STATE_FREE) {
        xml_sem_post(0, &xml_sem);
        xml_except(0, QV_E_ID_IN_USE);
        return -1;
    }
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(m);
        // Called as operator() so that clang checks the lambda's REQUIRES against this lock
        // (clang 14 matches the arguments of an overloaded call operator one place off).
        fill.operator()(m);
        m.values_done = XML_NEVER_ASKED;
        m.setup_done = XML_NEVER_ASKED;
        m.load_values_done = XML_NEVER_ASKED;
        m.load_setup_done = XML_NEVER_ASKED;
        m.send_done = XML_FINISHED;
        m.addr[0] = '\0';
        m.last_failed = 0;
        m.serving = 0;
        m.building = false;
        m.closer = XML_CLOSER_NONE;
        // A waiter of an earlier module of this id may still be leaving: its wait_active and
        // wait_sem are its own and stay untouched.
        m.generation.fetch_add(1);
        m.state = XML_STATE_STARTING;
    }
    xml_mutex_init(id);
    if (xml_thread_create(id, qv_thread) != 0) {
        const int error = errno;
        {
            xml_lock lock(m);
            m.state = XML_STATE_FREE;
        }
        xml_sem_post(0, &xml_sem);
        xml_except_errno(0, QV_E_THREAD_CREATE, error);
        return -1;
    }
    return id;
}

}  // namespace

// Frees what a closed module held and makes its id free (closing -> free).
void release_module(int id) {
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(m);
        m.host[0] = '\0';
        m.addr[0] = '\0';
        xml_records_free(id);
        free_devices(id);
        // Nothing of a closed many-device module may be served or written through by a later
        // open of the same id.
        modules_list[id].count = -1;
        xml_socket_close(id);
        xml_mutex_destroy(id);
        xml_sem_destroy(&m.request_sem);
        m.serving = 0;
        m.building = false;
        m.closer = XML_CLOSER_NONE;
        m.state = XML_STATE_FREE;
        if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
    }
    { std::lock_guard<std::mutex> sync(release_mutex); }
    release_cv.notify_all();
}

int close_module(int id) {
    xml_module_state &m = xml_module[id];
    int fault = 0;
    bool owner = false;
    unsigned generation = 0;
    {
        xml_lock lock(m);
        const int state = m.state.load();
        generation = m.generation.load();
        if (state == XML_STATE_FREE) {
            fault = QV_E_ID_NOT_FOUND;
        } else {
            if (state != XML_STATE_CLOSING || m.closer == XML_CLOSER_NONE) {
                m.state = XML_STATE_CLOSING;
                m.closer = XML_CLOSER_CALLER;
                owner = true;
            }
            wake_for_close(m);
        }
    }
    if (fault != 0) {
        xml_except(id, fault);
        return -1;
    }
    if (!owner) {
        std::unique_lock<std::mutex> lock(release_mutex);
        if (release_cv.wait_for(lock, kOtherCloseBound, [&] {
                return m.generation.load() != generation || m.state.load() == XML_STATE_FREE;
            }))
            return 0;
        lock.unlock();
        xml_except(id, QV_E_THREAD_NOT_EXIT);
        return -1;
    }
    if (xml_thread_join(id) != 0) {
        // The worker runs on (a callback that does not return): the module stays closing; a
        // later close joins again, or the worker releases the module when it ends.
        {
            xml_lock lock(m);
            m.closer = XML_CLOSER_NONE;
        }
        xml_except(id, QV_E_THREAD_NOT_EXIT);
        return -1;
    }
    release_module(id);
    return 0;
}

int xml_close(int id, int join) {
    if (join) return close_module(id);
    qvxml_close_for_callback(id);
    return 0;
}

int qvxml_init() {
    if (qvxml_count_ref.fetch_add(1) + 1 != 0) {
        xml_except(0, QV_E_IN_USE_ELSEWHERE);
        return -1;
    }
    // libxml2 must be initialised before any thread parses: the upload filter runs on callers'
    // threads while workers parse.
    xmlInitParser();
    id_count = 1;
    qvxml_exit = 0;
    xml_mutex_init(0);
    if (xml_sem_init(&xml_sem) != 0) {
        xml_except_errno(0, QV_E_SEM_INIT, ENOMEM);
        return -1;
    }
    for (auto &list : modules_list) list.count = -1;
    qvxml_thread_type = XML_THREAD_TIMEOUT;
    if (xml_thread_create(0, qv_thread) != 0) {
        const int error = errno;
        xml_sem_post(0, &xml_sem);
        xml_except_errno(0, QV_E_THREAD0_CREATE, error);
        return -1;
    }
    xml_sem_wait(0, &xml_sem);
    xml_sem_post(0, &xml_sem);
    return 0;
}

int qvxml_uninit() {
    int ref = qvxml_count_ref.load();
    if (ref == -1) return 0;
    if (ref > 0) {
        qvxml_count_ref.fetch_sub(1);
        xml_except(0, QV_E_IN_USE_ELSEWHERE);
        return -1;
    }
    // Every module is closed while the time-out thread still runs (a callback may end the
    // process during a close: thread 0 is then alive, not ended and unjoined). A module that
    // cannot be closed keeps the library initialised, so that a later call can finish.
    bool all_closed = true;
    for (int id = 1; id < QVXML_ID_COUNT_MAX; ++id) {
        if (xml_module[id].state.load() == XML_STATE_FREE) continue;
        if (close_module(id) != 0 && xml_module[id].state.load() != XML_STATE_FREE)
            all_closed = false;
    }
    if (!all_closed) {
        xml_except(0, QV_E_THREAD_NOT_EXIT);
        return -1;
    }
    qvxml_count_ref = -1;
    qvxml_exit = 1;
    stop_timeout_thread();
    if (xml_thread_join(0) != 0) {
        xml_except(0, QV_E_THREAD0_NOT_EXIT);
        return -1;
    }
    xml_mutex_destroy(0);
    xml_sem_destroy(&xml_sem);
    return 0;
}

void qvxml_count_ref2zero() {
    int ref = qvxml_count_ref.load();
    while (ref > 0 && !qvxml_count_ref.compare_exchange_weak(ref, 0)) {
    }
}

void qvxml_xml_init_parser() {
    xmlInitParser();
}

int qvxml_open(const char *host, int port, const qvxml_settings *settings, void *user) {
    const long host_length = host == nullptr ? -1 : bounded_length(host, QVXML_AUTHENTICATE_MAX);
    if (host_length < 0) {
        xml_except(0, QV_E_IP_NOT_VALID);
        return -1;
    }
    if (const int fault = credential_fault(settings); fault != 0) {
        xml_except(0, fault);
        return -1;
    }
    return open_module(XML_THREAD_SINGLE, [&](xml_module_state &m) REQUIRES(m.mutex) {
        if (settings != nullptr)
            m.settings = *settings;
        else
            qvxml_clr_settings_struct(&m.settings);
        m.user_ptr = user;
        m.snmp_done = XML_FINISHED;
        std::memset(m.snmp_ip, 0, sizeof m.snmp_ip);
        std::memcpy(m.host, host, static_cast<size_t>(host_length) + 1);
        m.port = port;
    });
}

int qvxml_open_many(void *user) {
    return open_module(XML_THREAD_MANY, [&](xml_module_state &m) REQUIRES(m.mutex) {
        // Callbacks of an earlier module of this id must never fire for this one: install
        // them with qvxml_callback.
        qvxml_clr_settings_struct(&m.settings);
        m.user_ptr = user;
        m.host[0] = '\0';
        m.port = 0;
        modules_list_entry &list = modules_list[xml_id_of(m)];
        for (auto &device : list.sub) device = nullptr;
        list.count = 0;
    });
}

int qvxml_close(int id) {
    if (!client_id_checked(id)) return -1;
    if (id == 0) return refuse(0, QV_E_ID_OUT_OF_RANGE);
    // On the module's own worker (from its callback) the close would wait for its own
    // thread: refused, the module keeps running (qvxml_close_for_callback is the way there).
    if (current_worker == id) {
        xml_except(id, QV_E_THREAD_NOT_EXIT);
        return -1;
    }
    return close_module(id);
}

void qvxml_close_for_callback(int id) {
    if (!client_id_checked(id)) return;
    if (id == 0) {
        refuse(0, QV_E_ID_OUT_OF_RANGE);
        return;
    }
    // Called anywhere but on the module's own worker, it is an ordinary close.
    if (current_worker != id) {
        qvxml_close(id);
        return;
    }
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(m);
        if (m.state.load() != XML_STATE_CLOSING) {
            m.state = XML_STATE_CLOSING;
            m.closer = XML_CLOSER_SELF;
        }
        if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
    }
    // The worker's exit guard releases the module once every frame of the callback (and any
    // lock it held) is gone; a caller already closing joins the thread and releases instead.
    qv_thread_exit();
}
