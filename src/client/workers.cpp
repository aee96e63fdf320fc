// The library's threads: the time-out thread (thread 0) that ends waits at their deadline,
// the single-device worker that serves one request per wake-up, and the many-device worker
// that serves a request for every active device in one round. A worker makes the starting ->
// running transition of its module and, when it ends while its module is closing with no
// caller to join it, the closing -> free one.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_thread.h"
#include "records/records.h"
#include "records/xml_parse.h"
#include "transport/xml_socket.h"

thread_local int current_worker = 0;

namespace {

// Time-out thread's one-second pause, interruptible so that qvxml_uninit does not wait for it.
std::mutex pause_mutex;
std::condition_variable pause_cv;

// Runs when a worker thread ends, whichever way: a worker that ends while its module is
// closing and no caller waits to join it releases the module itself.
struct worker_exit_guard {
    worker_exit_guard() = default;
    worker_exit_guard(const worker_exit_guard &) = delete;
    worker_exit_guard &operator=(const worker_exit_guard &) = delete;
    ~worker_exit_guard() {
        const int id = current_worker;
        current_worker = 0;
        if (id <= 0) return;
        xml_module_state &m = xml_module[id];
        {
            xml_lock lock(m);
            if (m.state.load() != XML_STATE_CLOSING || m.closer == XML_CLOSER_CALLER) return;
            m.closer = XML_CLOSER_SELF;
        }
        xml_thread_free(id);
        release_module(id);
    }
};

void timeout_thread() {
    xml_sem_post(0, &xml_sem);
    while (qvxml_exit.load() == 0) {
        const long long now = now_seconds();
        // Every waiter, whatever its module's state: a wait ends by its deadline even when
        // its module was closed or never opened.
        for (int id = 0; id < QVXML_ID_COUNT_MAX; ++id) {
            xml_module_state &m = xml_module[id];
            if (m.wait_active.load() != 1) continue;
            // Posted under the module's lock with wait_active re-tested, so a returning wait
            // never has its semaphore posted after destroying it.
            xml_lock lock(m);
            if (m.wait_active.load() == 1 && now > m.wait_deadline.load()) {
                m.wait_deadline = 0;
                qv_sem_post(&m.wait_sem);
            }
        }
        std::unique_lock<std::mutex> lock(pause_mutex);
        pause_cv.wait_for(lock, std::chrono::seconds(1), [] { return qvxml_exit.load() != 0; });
    }
}

// Start-up common to both workers: takes the id, reserves the next one, creates the request
// semaphore and opens the gate. Returns the id, or -1 when the worker must end (the module
// stays starting).
int worker_start() {
    const int id = id_count;
    if (qvxml_next_id() != 0) {
        xml_sem_post(0, &xml_sem);
        xml_except(0, QV_E_ID_OUT_OF_RANGE);
        return -1;
    }
    int created;
    {
        xml_lock lock(id);
        created = xml_sem_init(&xml_module[id].request_sem);
    }
    if (created != 0) {
        xml_sem_post(0, &xml_sem);
        xml_except_errno(0, QV_E_SEM_INIT, ENOMEM);
        return -1;
    }
    current_worker = id;
    xml_sem_post(0, &xml_sem);
    return id;
}

// The module becomes running, unless it was closed while starting.
bool worker_running(int id) {
    xml_module_state &m = xml_module[id];
    xml_lock lock(m);
    if (m.state.load() != XML_STATE_STARTING) return false;
    m.state = XML_STATE_RUNNING;
    if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
    return true;
}

}  // namespace

void finish_request(int id, int kind, int refresh_snmp, bool again) {
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(m);
        auto mark = [again](std::atomic<int> &flag) {
            if (!again || flag.load() != XML_PENDING) flag = XML_FINISHED;
        };
        if (kind == XML_KIND_VALUES) {
            mark(m.values_done);
        } else if (kind == XML_KIND_SETUP) {
            mark(m.setup_done);
        } else {
            mark(m.send_done);
            mark(m.setup_done);
        }
        if (!again) m.serving = 0;
    }
    if (refresh_snmp == 1) {
        kyvern_setup *setup = nullptr;
        kyvern_setup_entry_count *count = nullptr;
        const bool have = qvxml_get_setup_cache(id, &setup, &count) == 0;
        xml_lock lock(m);
        std::memset(m.snmp_ip, 0, sizeof m.snmp_ip);
        if (have && count->SnmpTraps > 0) {
            // The first 15 characters of the address; the rest of snmp_ip stays zero.
            std::memcpy(m.snmp_ip, setup->SnmpTraps_Entry_IPaddr[0],
                        strnlen(setup->SnmpTraps_Entry_IPaddr[0], sizeof m.snmp_ip - 1));
            m.snmp_port = std::atoi(setup->SnmpTraps_Entry_Port[0]);
        }
        m.snmp_done = XML_FINISHED;
    }
    wake_waiter(id);
}

namespace {

// Parses a loaded document under the parse lock; returns the parse result. The module's
// mutex must not be held (the parse lock comes first).
int parse_loaded(int id, char *text, int length, int type) EXCLUDES(xml_module[id].mutex) {
    xml_lock parse_lock(0);
    return xml_parse(id, text, length, type);
}

enum class job { none, values, setup, load_values, load_setup, send };

// The module's port for the worker's exchange, read under the lock as the opener writes it.
int port_of(xml_module_state &m) {
    xml_lock lock(m);
    return m.port;
}

// Takes the first pending request in priority order and marks its buffers in service.
job take_request(xml_module_state &m) {
    struct request_kind {
        std::atomic<int> xml_module_state::*flag;
        job taken;
        int buffers;
    };
    static constexpr request_kind priority[] = {
        {&xml_module_state::values_done, job::values, XML_BUF_VALUES},
        {&xml_module_state::setup_done, job::setup, XML_BUF_SETUP},
        {&xml_module_state::load_values_done, job::load_values, XML_BUF_VALUES},
        {&xml_module_state::load_setup_done, job::load_setup, XML_BUF_SETUP},
        {&xml_module_state::send_done, job::send, XML_BUF_POST | XML_BUF_SETUP},
    };
    xml_lock lock(m);
    m.serving = 0;
    for (const request_kind &kind : priority) {
        if ((m.*kind.flag).load() != XML_PENDING) continue;
        m.serving = kind.buffers;
        return kind.taken;
    }
    return job::none;
}

// Delivers a request served successfully: the records are stamped before the first finish
// mark (a caller woken by it never reads a stamp still to come), the callback follows, and
// the second mark never finishes a request of that kind queued during the callback.
void deliver_success(int id, int kind, int refresh_snmp) {
    xml_stamp_records(id, -1, kind);
    finish_request(id, kind, refresh_snmp, false);
    xml_deliver(id, -1, kind, 0);
    finish_request(id, kind, refresh_snmp, true);
}

// Serves a GET of `kind` (values or setup) into the module's buffer of that kind; a failure
// is delivered before its finish mark.
void serve_get(int id, int kind, int refresh_snmp) {
    xml_module_state &m = xml_module[id];
    const bool values = kind == XML_KIND_VALUES;
    int *length = values ? &m.values_len : &m.setup_len;
    *length = QVXML_BUFFER_SIZE;
    if (get_xml(id, m.addr, m.host, port_of(m), values ? m.values_xml : m.setup_xml, length, kind,
                -1) != 0) {
        run_callback(id, -1, kind, 1);
        m.last_failed = 1;
        finish_request(id, kind, refresh_snmp, false);
        return;
    }
    deliver_success(id, kind, refresh_snmp);
}

// Serves one request of a single-device module.
void serve(int id, job taken, int &last_snmp) {
    xml_module_state &m = xml_module[id];
    switch (taken) {
        case job::none:
            m.last_failed = 1;
            break;
        case job::values:
            last_snmp = 0;
            serve_get(id, XML_KIND_VALUES, 0);
            break;
        case job::setup: {
            {
                xml_lock lock(m);
                last_snmp = m.setup_for_snmp;
            }
            serve_get(id, XML_KIND_SETUP, last_snmp);
            break;
        }
        case job::load_values:
        case job::load_setup: {
            const bool values = taken == job::load_values;
            const int result = values ? parse_loaded(id, m.values_xml, m.values_len, 0)
                                      : parse_loaded(id, m.setup_xml, m.setup_len, 1);
            const int kind = values ? XML_KIND_VALUES : XML_KIND_SETUP;
            xml_stamp_records(id, -1, kind);
            {
                xml_lock lock(m);
                if (values) {
                    m.load_values_done = XML_FINISHED;
                    m.values_done = XML_FINISHED;
                } else {
                    m.load_setup_done = XML_FINISHED;
                    m.setup_done = XML_FINISHED;
                }
                m.serving = 0;
            }
            xml_deliver(id, -1, kind, result != 0);
            wake_waiter(id);
            break;
        }
        case job::send:
            m.setup_len = QVXML_BUFFER_SIZE;
            // A failure has been delivered by send_xml_file.
            if (send_xml_file(id, -1, m.addr, m.host, port_of(m), m.post_buf, m.setup_xml,
                              &m.setup_len) != 0)
                finish_request(id, XML_KIND_SEND, last_snmp, false);
            else
                deliver_success(id, XML_KIND_SEND, last_snmp);
            break;
    }
}

// The errno a fault record gives an exception that ended a request: ENOMEM when memory ran
// out, 0 for anything else (no system call failed).
int errno_of(const std::exception &e) {
    return dynamic_cast<const std::bad_alloc *>(&e) != nullptr ? ENOMEM : 0;
}

// Ends a request whose service threw (memory ran out, a callback threw): code 5 on the
// module, the failure delivered, the request finished, so the process and the module go on.
void fail_request(int id, job taken, int error) {
    if (taken == job::none) return;
    xml_module_state &m = xml_module[id];
    bool marked;  // the first finish mark ends the service; a request queued after it stays
    {
        xml_lock lock(m);
        marked = m.serving == 0;
    }
    xml_except_errno(id, QV_E_NO_MEMORY, error);
    m.last_failed = 1;
    const int kind = taken == job::values || taken == job::load_values ? XML_KIND_VALUES
                     : taken == job::send                              ? XML_KIND_SEND
                                                                       : XML_KIND_SETUP;
    try {
        run_callback(id, -1, kind, 1);
    } catch (const std::exception &) {
        // A callback that throws again changes nothing: the request is failed either way.
    }
    if (taken == job::load_values || taken == job::load_setup) {
        xml_lock lock(m);
        (taken == job::load_values ? m.load_values_done : m.load_setup_done) = XML_FINISHED;
    }
    finish_request(id, kind, 0, marked);
}

void single_worker() {
    const int id = worker_start();
    if (id < 0) return;
    xml_module_state &m = xml_module[id];

    bool test_connection;
    {
        xml_lock lock(m);
        test_connection = m.settings.test_connection != 0;
    }
    if (test_connection) {
        xml_socket_create(id, -1, m.addr, m.host, port_of(m));
        xml_socket_close(id);
    }
    if (!worker_running(id)) return;

    int last_snmp = 0;
    for (;;) {
        m.last_failed = 0;
        xml_sem_wait(id, &m.request_sem);
        if (m.state.load() != XML_STATE_RUNNING) return;  // closing: the closer releases
        xml_except(id, QV_E_NONE);
        const job taken = take_request(m);
        try {
            serve(id, taken, last_snmp);
        } catch (const std::exception &e) {
            fail_request(id, taken, errno_of(e));
        }
    }
}

// Serves request `kind` for device `i` of a many-device module.
void serve_device(int id, int i, int kind) {
    xml_module_state &m = xml_module[id];
    xml_submodule_state *device = modules_list[id].sub[i];
    if (kind == XML_KIND_SEND) {
        device->setup_len = QVXML_BUFFER_SIZE;
        // No host: the address found by the device's last GET is used.
        if (send_xml_file(id, i, device->addr, "", device->port, device->post_buf,
                          device->setup_xml, &device->setup_len) == 0)
            run_callback(id, i, XML_KIND_SEND, 0);
        else
            xml_except_copy(id, &device->error, &xml_fault[id]);
        return;
    }
    const bool values = kind == XML_KIND_VALUES;
    int *length = values ? &device->values_len : &device->setup_len;
    char *buffer = values ? device->values_xml : device->setup_xml;
    *length = QVXML_BUFFER_SIZE;
    if (get_xml(id, device->addr, device->host, device->port, buffer, length, kind, i) != 0) {
        xml_except_copy(id, &device->error, &xml_fault[id]);
        run_callback(id, i, kind, 1);
        m.last_failed = 1;
        return;
    }
    run_callback(id, i, kind, 0);
    if (values) {
        xml_copy_record(&device->values, p_kyvern_values[id]);
        xml_copy_record(&device->values_count, p_kyvern_values_entry_count[id]);
    } else {
        xml_copy_record(&device->setup, p_kyvern_setup[id]);
        xml_copy_record(&device->setup_count, p_kyvern_setup_entry_count[id]);
    }
}

void many_worker() {
    const int id = worker_start();
    if (id < 0) return;
    xml_module_state &m = xml_module[id];
    modules_list_entry &list = modules_list[id];
    if (!worker_running(id)) return;

    for (;;) {
        m.last_failed = 0;
        xml_sem_wait(id, &m.request_sem);
        if (m.state.load() != XML_STATE_RUNNING) return;  // closing: the closer releases
        // The round serves the first pending request, whatever devices are active: a round
        // without an active device still finishes it (and delivers its round callback).
        int kind;
        {
            xml_lock lock(m);
            if (m.values_done.load() == XML_PENDING)
                kind = XML_KIND_VALUES;
            else if (m.setup_done.load() == XML_PENDING)
                kind = XML_KIND_SETUP;
            else if (m.send_done.load() == XML_PENDING)
                kind = XML_KIND_SEND;
            else
                kind = -1;
        }
        for (int i = 0; i < QVXML_MODULES_MAX; ++i) {
            // Callers add devices and switch them on and off under the lock at any time: the
            // list and the flag are read under it too. A device stays allocated until the
            // module is released, so it is served without the lock.
            xml_submodule_state *device;
            {
                xml_lock lock(m);
                if (i >= list.count) break;
                device = list.sub[i];
                if (device == nullptr || device->active == 0) continue;
            }
            xml_except(id, QV_E_NONE);
            xml_except_copy(id, &device->error, &xml_fault[id]);
            if (kind == -1) {
                m.last_failed = 1;
                continue;
            }
            try {
                serve_device(id, i, kind);
            } catch (const std::exception &e) {
                xml_except_errno(id, QV_E_NO_MEMORY, errno_of(e));
                xml_except_copy(id, &device->error, &xml_fault[id]);
                m.last_failed = 1;
                try {
                    run_callback(id, i, kind, 1);
                } catch (const std::exception &) {
                    // The device has failed either way.
                }
            }
        }

        xml_except(id, QV_E_NONE);
        qvxml_callbacks slots;
        void *user;
        {
            xml_lock lock(m);
            slots = m.settings.callbacks;
            user = m.user_ptr;
        }
        if (kind == XML_KIND_VALUES) {
            if (slots.on_values_many != nullptr) slots.on_values_many(id, user);
            xml_lock lock(m);
            m.values_done = XML_FINISHED;
        } else if (kind == XML_KIND_SETUP) {
            if (slots.on_setup_many != nullptr) slots.on_setup_many(id, user);
            xml_lock lock(m);
            m.setup_done = XML_FINISHED;
        } else if (kind == XML_KIND_SEND) {
            xml_lock lock(m);
            m.send_done = XML_FINISHED;
            m.setup_done = XML_FINISHED;
        }
        wake_waiter(id);
    }
}

}  // namespace

void stop_timeout_thread() {
    { std::lock_guard<std::mutex> sync(pause_mutex); }
    pause_cv.notify_all();
}

void wake_waiter(int id) {
    xml_lock lock(id);
    if (xml_module[id].wait_active.load() == 1) qv_sem_post(&xml_module[id].wait_sem);
}

int qvxml_next_id() {
    const int next = id_count + 1;
    if (next <= QVXML_ID_COUNT_MAX - 1 && xml_module[next].state.load() == XML_STATE_FREE) {
        id_count = next;
        return 0;
    }
    for (int id = 1; id < QVXML_ID_COUNT_MAX; ++id) {
        if (xml_module[id].state.load() == XML_STATE_FREE) {
            id_count = id;
            return 0;
        }
    }
    return -1;
}

void qvxml_loop_one_finish(int id, int kind, int refresh_snmp) {
    finish_request(id, kind, refresh_snmp, false);
}

void qv_thread() {
    switch (qvxml_thread_type) {
        case XML_THREAD_TIMEOUT:
            timeout_thread();
            break;
        case XML_THREAD_SINGLE: {
            worker_exit_guard guard;
            single_worker();
            break;
        }
        case XML_THREAD_MANY: {
            worker_exit_guard guard;
            many_worker();
            break;
        }
        default:
            break;
    }
}
