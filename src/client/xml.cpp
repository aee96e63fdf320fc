// The client runtime: library start and stop, the module table operations, the request
// operations and the three kinds of library threads (time-out thread, single-device worker,
// many-device worker). The life of a module id is the state machine of core/xml_module.h.
//
// Locking: each module's state, request flags and SNMP cache are guarded by the mutex of its
// id. Mutex 0 (the parse lock) may be held while a module's mutex is taken, never the
// reverse, so codes for id 0 are recorded only after a module's mutex has been released.
// Every lock held across a callback, a parse or a wait is scope-bound (xml_lock): a thread
// that ends inside (qvxml_close_for_callback from a hook) releases it on the way out.
#include <libxml/parser.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "client/xml_client.h"
#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/records.h"
#include "records/xml_parse.h"
#include "transport/xml_socket.h"

namespace {

// Request flag values.
constexpr int kNeverAsked = -1;
constexpr int kPending = 0;
constexpr int kFinished = 1;

// How long a close waits for a close that another party owns (its join takes at most 3 s).
constexpr auto kOtherCloseBound = std::chrono::milliseconds(4000);

// Time-out thread's one-second pause, interruptible so that qvxml_uninit does not wait for it.
std::mutex pause_mutex;
std::condition_variable pause_cv;

// Notified whenever an id becomes free, for closes that wait on a close owned by another.
std::mutex release_mutex;
std::condition_variable release_cv;

// The module whose worker runs on this thread; 0 on every other thread.
thread_local int current_worker = 0;

bool id_in_table(int id) {
    return id >= 0 && id < QVXML_ID_COUNT_MAX;
}

bool starting_or_running(int state) {
    return state == XML_STATE_STARTING || state == XML_STATE_RUNNING;
}

// Length of a NUL-terminated text of at most `capacity` bytes, or -1 when it is not
// terminated within them.
long bounded_length(const char *text, size_t capacity) {
    const void *end = std::memchr(text, '\0', capacity);
    return end == nullptr ? -1 : static_cast<const char *>(end) - text;
}

long long now_seconds() {
    return static_cast<long long>(std::time(nullptr));
}

// A post of wait_sem while a wake-up is already pending is refused; that is not a fault.
void wake_waiter(int id) {
    xml_lock lock(id);
    if (xml_module[id].wait_active.load() == 1) qv_sem_post(&xml_module[id].wait_sem);
}

// Credentials of a settings record must be terminated within their buffers; checked in the
// order user (code 43) before password (code 42). Returns the code, or 0.
int credential_fault(const qvxml_settings *settings) {
    if (settings == nullptr) return 0;
    if (bounded_length(settings->get_user, sizeof settings->get_user) < 0 ||
        bounded_length(settings->set_user, sizeof settings->set_user) < 0)
        return 43;
    if (bounded_length(settings->get_password, sizeof settings->get_password) < 0 ||
        bounded_length(settings->set_password, sizeof settings->set_password) < 0)
        return 42;
    return 0;
}

void free_devices(int id) {
    modules_list_entry &list = modules_list[id];
    for (int i = 0; i < QVXML_MODULES_MAX && list.sub[i] != nullptr; ++i) {
        std::free(list.sub[i]);
        list.sub[i] = nullptr;
    }
}

// The buffers (xml_buffer bits) that a request pending, in service or being built uses.
// REQUIRES: the mutex of the module held.
int buffers_in_use(const xml_module_state &m) {
    int used = m.serving | (m.building ? XML_BUF_POST : 0);
    if (m.values_done.load() == kPending || m.load_values_done.load() == kPending)
        used |= XML_BUF_VALUES;
    if (m.setup_done.load() == kPending || m.load_setup_done.load() == kPending)
        used |= XML_BUF_SETUP;
    if (m.send_done.load() == kPending) used |= XML_BUF_POST | XML_BUF_SETUP;  // reply: setup
    return used;
}

// ---- closing -------------------------------------------------------------------------------

// Asks the worker of a module that is closing to end and wakes it and the module's waiter
// wherever they wait: the request semaphore, a socket, the waiter's semaphore.
// REQUIRES: the mutex of `id` held.
void wake_for_close(int id) {
    xml_module_state &m = xml_module[id];
    xml_thread_cancel(id);
    if (m.request_sem != nullptr) qv_sem_post(&m.request_sem);
    xml_socket_wake(id);
    if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
}

// Frees what a closed module held and makes its id free (closing -> free).
// REQUIRES: the module's worker has ended, or is the calling thread on its way out.
void release_module(int id) {
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(id);
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

// qvxml_close on a thread other than the module's worker. The first closer owns the close:
// it joins the worker and releases the module. A close that finds another owner waits until
// that close has ended.
int close_module(int id) {
    xml_module_state &m = xml_module[id];
    int fault = 0;
    bool owner = false;
    unsigned generation = 0;
    {
        xml_lock lock(id);
        const int state = m.state.load();
        generation = m.generation.load();
        if (state == XML_STATE_FREE) {
            fault = 16;
        } else {
            if (state != XML_STATE_CLOSING || m.closer == XML_CLOSER_NONE) {
                m.state = XML_STATE_CLOSING;
                m.closer = XML_CLOSER_CALLER;
                owner = true;
            }
            wake_for_close(id);
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
        xml_except(id, 39);
        return -1;
    }
    if (xml_thread_join(id) != 0) {
        // The worker runs on (a callback that does not return): the module stays closing; a
        // later close joins again, or the worker releases the module when it ends.
        {
            xml_lock lock(id);
            m.closer = XML_CLOSER_NONE;
        }
        xml_except(id, 39);
        return -1;
    }
    release_module(id);
    return 0;
}

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
            xml_lock lock(id);
            if (m.state.load() != XML_STATE_CLOSING || m.closer == XML_CLOSER_CALLER) return;
            m.closer = XML_CLOSER_SELF;
        }
        xml_thread_free(id);
        release_module(id);
    }
};

// ---- opening and queueing ----------------------------------------------------------------

// The opening steps shared by qvxml_open and qvxml_open_many once the gate is held: takes
// id_count, checks it is free, lets `fill` set up the entry, starts the worker. Returns the
// id or -1 (the gate is released on failure; on success the new worker releases it).
template <typename Fill>
int open_module(int thread_type, Fill fill) {
    xml_sem_wait(0, &xml_sem);
    const int id = id_count;
    qvxml_thread_type = thread_type;
    if (!id_in_table(id) || id == 0 || xml_module[id].state.load() != XML_STATE_FREE) {
        xml_sem_post(0, &xml_sem);
        xml_except(0, 17);
        return -1;
    }
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(id);
        fill(m);
        m.values_done = kNeverAsked;
        m.setup_done = kNeverAsked;
        m.load_values_done = kNeverAsked;
        m.load_setup_done = kNeverAsked;
        m.send_done = kFinished;
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
        {
            xml_lock lock(id);
            m.state = XML_STATE_FREE;
        }
        xml_sem_post(0, &xml_sem);
        xml_except(0, 38);
        return -1;
    }
    return id;
}

// Records `code` for a refused queueing operation: id 0 for an id outside the table (18),
// else the module.
int refuse(int id, int code) {
    xml_except(id_in_table(id) ? id : 0, code);
    return -1;
}

// Wakes the worker for a request just queued. A refused post (a wake-up already pending)
// records code 21 on the module; the request stays queued and is served at a later wake-up.
// REQUIRES: the mutex of `id` held.
void signal_request(int id) {
    if (qv_sem_post(&xml_module[id].request_sem) != 0) xml_except(id, 21);
}

// Queues a request that writes only module storage: under the module's lock the module must
// be running (else 40) and none of `buffers` in use by another request (else 21); then
// `prepare` marks it pending and the worker is woken, still under the lock, so a close can
// neither free what `prepare` writes nor destroy the semaphore under the post.
template <typename Prepare>
int queue_request(int id, int buffers, Prepare prepare) {
    if (!id_in_table(id)) return refuse(id, 18);
    xml_module_state &m = xml_module[id];
    xml_lock lock(id);
    if (m.state.load() != XML_STATE_RUNNING) return refuse(id, 40);
    if ((buffers_in_use(m) & buffers) != 0) return refuse(id, 21);
    prepare(m);
    signal_request(id);
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
        xml_lock lock(id_);
        if (same_module()) xml_module[id_].building = false;
    }

    // Reserves the POST buffers of a running module; copies its settings into `settings`
    // when given. -1 after recording 18, 40 or 21.
    int reserve(qvxml_settings *settings) {
        if (!id_in_table(id_)) return refuse(id_, 18);
        xml_module_state &m = xml_module[id_];
        xml_lock lock(id_);
        if (m.state.load() != XML_STATE_RUNNING) return refuse(id_, 40);
        if ((buffers_in_use(m) & XML_BUF_POST) != 0) return refuse(id_, 21);
        m.building = true;
        reserved_ = true;
        generation_ = m.generation.load();
        if (settings != nullptr) *settings = m.settings;
        return 0;
    }

    // Runs `step` under the module's lock when the module is still the one reserved and
    // running; else records 40 and returns -1.
    template <typename Step>
    int locked(Step step) {
        xml_lock lock(id_);
        if (!same_module() || xml_module[id_].state.load() != XML_STATE_RUNNING)
            return refuse(id_, 40);
        step(xml_module[id_]);
        return 0;
    }

    // Hands the built request over: the send becomes pending and the worker is woken.
    int queue() {
        return locked([this](xml_module_state &m) {
            m.building = false;
            reserved_ = false;
            m.send_done = kPending;
            signal_request(id_);
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
    if (!request) return refuse(id, 5);
    if (build(settings, request.get()) != 0) return -1;
    if (post.locked([&](xml_module_state &m) {
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
    if (!work) return refuse(id, 5);
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

// ---- library threads -------------------------------------------------------------------

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
            xml_lock lock(id);
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
        xml_except(0, 18);
        return -1;
    }
    int created;
    {
        xml_lock lock(id);
        created = xml_sem_init(&xml_module[id].request_sem);
    }
    if (created != 0) {
        xml_sem_post(0, &xml_sem);
        xml_except(0, 20);
        return -1;
    }
    current_worker = id;
    xml_sem_post(0, &xml_sem);
    return id;
}

// The module becomes running, unless it was closed while starting.
bool worker_running(int id) {
    xml_module_state &m = xml_module[id];
    xml_lock lock(id);
    if (m.state.load() != XML_STATE_STARTING) return false;
    m.state = XML_STATE_RUNNING;
    if (m.wait_active.load() == 1) qv_sem_post(&m.wait_sem);
    return true;
}

// Marks request `kind` finished. The second mark after a callback (`again`) never finishes a
// request of that kind that the caller queued while the callback ran. The first mark also
// ends the service of the request's buffers: a new request may use them from then on.
void finish_request(int id, int kind, int refresh_snmp, bool again) {
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(id);
        auto mark = [again](std::atomic<int> &flag) {
            if (!again || flag.load() != kPending) flag = kFinished;
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
        xml_lock lock(id);
        std::memset(m.snmp_ip, 0, sizeof m.snmp_ip);
        if (have && count->SnmpTraps > 0) {
            // The first 15 characters of the address; the rest of snmp_ip stays zero.
            std::memcpy(m.snmp_ip, setup->SnmpTraps_Entry_IPaddr[0],
                        strnlen(setup->SnmpTraps_Entry_IPaddr[0], sizeof m.snmp_ip - 1));
            m.snmp_port = std::atoi(setup->SnmpTraps_Entry_Port[0]);
        }
        m.snmp_done = kFinished;
    }
    wake_waiter(id);
}

// Parses a loaded document under the parse lock; returns the parse result.
int parse_loaded(int id, char *text, int length, int type) {
    xml_lock parse_lock(0);
    return xml_parse(id, text, length, type);
}

enum class job { none, values, setup, load_values, load_setup, send };

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
    xml_lock lock(static_cast<int>(&m - xml_module));
    m.serving = 0;
    for (const request_kind &kind : priority) {
        if ((m.*kind.flag).load() != kPending) continue;
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
    if (get_xml(id, m.addr, m.host, m.port, values ? m.values_xml : m.setup_xml, length, kind,
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
                xml_lock lock(id);
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
                xml_lock lock(id);
                if (values) {
                    m.load_values_done = kFinished;
                    m.values_done = kFinished;
                } else {
                    m.load_setup_done = kFinished;
                    m.setup_done = kFinished;
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
            if (send_xml_file(id, -1, m.addr, m.host, m.port, m.post_buf, m.setup_xml,
                              &m.setup_len) != 0)
                finish_request(id, XML_KIND_SEND, last_snmp, false);
            else
                deliver_success(id, XML_KIND_SEND, last_snmp);
            break;
    }
}

// Ends a request whose service threw (memory ran out, a callback threw): code 5 on the
// module, the failure delivered, the request finished, so the process and the module go on.
void fail_request(int id, job taken) {
    if (taken == job::none) return;
    xml_module_state &m = xml_module[id];
    bool marked;  // the first finish mark ends the service; a request queued after it stays
    {
        xml_lock lock(id);
        marked = m.serving == 0;
    }
    xml_except(id, 5);
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
        xml_lock lock(id);
        (taken == job::load_values ? m.load_values_done : m.load_setup_done) = kFinished;
    }
    finish_request(id, kind, 0, marked);
}

void single_worker() {
    const int id = worker_start();
    if (id < 0) return;
    xml_module_state &m = xml_module[id];

    if (m.settings.test_connection != 0) {
        xml_socket_create(id, -1, m.addr, m.host, m.port);
        xml_socket_close(id);
    }
    if (!worker_running(id)) return;

    int last_snmp = 0;
    for (;;) {
        m.last_failed = 0;
        xml_sem_wait(id, &m.request_sem);
        if (m.state.load() != XML_STATE_RUNNING) return;  // closing: the closer releases
        xml_except(id, 0);
        const job taken = take_request(m);
        try {
            serve(id, taken, last_snmp);
        } catch (const std::exception &) {
            fail_request(id, taken);
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

    int kind = -1;
    for (;;) {
        m.last_failed = 0;
        xml_sem_wait(id, &m.request_sem);
        if (m.state.load() != XML_STATE_RUNNING) return;  // closing: the closer releases
        for (int i = 0; i < list.count && i < QVXML_MODULES_MAX; ++i) {
            xml_submodule_state *device = list.sub[i];
            if (device == nullptr || device->active == 0) continue;
            xml_except(id, 0);
            xml_except_copy(id, &device->error, &xml_fault[id]);
            {
                xml_lock lock(id);
                if (m.values_done.load() == kPending)
                    kind = XML_KIND_VALUES;
                else if (m.setup_done.load() == kPending)
                    kind = XML_KIND_SETUP;
                else if (m.send_done.load() == kPending)
                    kind = XML_KIND_SEND;
                else
                    kind = -1;
            }
            if (kind == -1) {
                m.last_failed = 1;
                continue;
            }
            try {
                serve_device(id, i, kind);
            } catch (const std::exception &) {
                xml_except(id, 5);
                xml_except_copy(id, &device->error, &xml_fault[id]);
                m.last_failed = 1;
                try {
                    run_callback(id, i, kind, 1);
                } catch (const std::exception &) {
                    // The device has failed either way.
                }
            }
        }

        xml_except(id, 0);
        qvxml_callbacks slots;
        void *user;
        {
            xml_lock lock(id);
            slots = m.settings.callbacks;
            user = m.user_ptr;
        }
        if (kind == XML_KIND_VALUES) {
            if (slots.on_values_many != nullptr) slots.on_values_many(id, user);
            xml_lock lock(id);
            m.values_done = kFinished;
        } else if (kind == XML_KIND_SETUP) {
            if (slots.on_setup_many != nullptr) slots.on_setup_many(id, user);
            xml_lock lock(id);
            m.setup_done = kFinished;
        } else if (kind == XML_KIND_SEND) {
            xml_lock lock(id);
            m.send_done = kFinished;
            m.setup_done = kFinished;
        }
        wake_waiter(id);
    }
}

}  // namespace

// ---- internal operations ---------------------------------------------------------------------

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
        case 0:
            timeout_thread();
            break;
        case 1: {
            worker_exit_guard guard;
            single_worker();
            break;
        }
        case 2: {
            worker_exit_guard guard;
            many_worker();
            break;
        }
        default:
            break;
    }
}

int xml_close(int id, int join) {
    if (join) return close_module(id);
    qvxml_close_for_callback(id);
    return 0;
}

// ---- library lifecycle -------------------------------------------------------------------

int qvxml_init() {
    if (qvxml_count_ref.fetch_add(1) + 1 != 0) {
        xml_except(0, 80);
        return -1;
    }
    // libxml2 must be initialised before any thread parses: the upload filter runs on callers'
    // threads while workers parse.
    xmlInitParser();
    id_count = 1;
    qvxml_exit = 0;
    xml_mutex_init(0);
    if (xml_sem_init(&xml_sem) != 0) {
        xml_except(0, 20);
        return -1;
    }
    for (auto &list : modules_list) list.count = -1;
    qvxml_thread_type = 0;
    if (xml_thread_create(0, qv_thread) != 0) {
        xml_sem_post(0, &xml_sem);
        xml_except(0, 37);
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
        xml_except(0, 80);
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
        xml_except(0, 39);
        return -1;
    }
    qvxml_count_ref = -1;
    {
        std::lock_guard<std::mutex> lock(pause_mutex);
        qvxml_exit = 1;
    }
    pause_cv.notify_all();
    if (xml_thread_join(0) != 0) {
        xml_except(0, 36);
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

// ---- module table --------------------------------------------------------------------------

int qvxml_open(const char *host, int port, const qvxml_settings *settings, void *user) {
    const long host_length = host == nullptr ? -1 : bounded_length(host, QVXML_AUTHENTICATE_MAX);
    if (host_length < 0) {
        xml_except(0, 13);
        return -1;
    }
    if (const int fault = credential_fault(settings); fault != 0) {
        xml_except(0, fault);
        return -1;
    }
    return open_module(1, [&](xml_module_state &m) {
        if (settings != nullptr)
            m.settings = *settings;
        else
            qvxml_clr_settings_struct(&m.settings);
        m.user_ptr = user;
        m.snmp_done = kFinished;
        std::memset(m.snmp_ip, 0, sizeof m.snmp_ip);
        std::memcpy(m.host, host, static_cast<size_t>(host_length) + 1);
        m.port = port;
    });
}

int qvxml_open_many(void *user) {
    return open_module(2, [&](xml_module_state &m) {
        // Callbacks of an earlier module of this id must never fire for this one: install
        // them with qvxml_callback.
        qvxml_clr_settings_struct(&m.settings);
        m.user_ptr = user;
        m.host[0] = '\0';
        m.port = 0;
        modules_list_entry &list = modules_list[&m - xml_module];
        for (auto &device : list.sub) device = nullptr;
        list.count = 0;
    });
}

int qvxml_add_module(int id, const char *host, int port, const qvxml_settings *settings) {
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    // Meant for set-up before requests; the lock keeps it apart from a close freeing the list.
    xml_lock lock(id);
    modules_list_entry &list = modules_list[id];
    if (list.count == -1) {
        xml_except(id, 16);
        return -1;
    }
    const long host_length = host == nullptr ? -1 : bounded_length(host, QVXML_AUTHENTICATE_MAX);
    if (host_length < 0) {
        xml_except(id, 13);
        return -1;
    }
    if (const int fault = credential_fault(settings); fault != 0) {
        xml_except(id, fault);
        return -1;
    }
    if (list.count >= QVXML_MODULES_MAX) {
        xml_except(id, 41);
        return -1;
    }
    for (int i = 0; i < list.count; ++i) {
        if (std::strcmp(list.sub[i]->host, host) == 0 && list.sub[i]->port == port) {
            xml_except(id, 15);
            return -1;
        }
    }
    auto *device = static_cast<xml_submodule_state *>(std::calloc(1, sizeof(xml_submodule_state)));
    if (device == nullptr) {
        xml_except(id, 5);
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
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    xml_lock lock(id);
    if (modules_list[id].count == -1) {
        xml_except(id, 16);
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
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    if (xml_module[id].state.load() != XML_STATE_RUNNING) {
        xml_except(id, 40);
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
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    xml_module_state &m = xml_module[id];
    if (m.state.load() != XML_STATE_RUNNING) {
        xml_except(id, 40);
        return -1;
    }
    xml_lock lock(id);
    if (modules_list[id].count >= 0) {
        xml_except(id, 16);
        return -1;
    }
    copy_out(addr, port, m.addr, m.port);
    copy_host(host, m.host);
    return 0;
}

int get_module_many(int id, int index, char *host, char *addr, int *port) {
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    xml_lock lock(id);
    modules_list_entry &list = modules_list[id];
    if (list.count == -1) {
        xml_except(id, 16);
        return -1;
    }
    if (index < 0 || index >= list.count) {
        xml_except(id, 3);
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

int qvxml_close(int id) {
    if (!id_in_table(id) || id == 0) {
        xml_except(0, 18);
        return -1;
    }
    // On the module's own worker (from its callback) the close would wait for its own
    // thread: refused, the module keeps running (qvxml_close_for_callback is the way there).
    if (current_worker == id) {
        xml_except(id, 39);
        return -1;
    }
    return close_module(id);
}

void qvxml_close_for_callback(int id) {
    if (!id_in_table(id) || id == 0) {
        xml_except(0, 18);
        return;
    }
    // Called anywhere but on the module's own worker, it is an ordinary close.
    if (current_worker != id) {
        qvxml_close(id);
        return;
    }
    xml_module_state &m = xml_module[id];
    {
        xml_lock lock(id);
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

int qvxml_clr_callback(int, qvxml_callbacks *callbacks) {
    if (callbacks != nullptr) std::memset(callbacks, 0, sizeof *callbacks);
    return 0;
}

int qvxml_clr_settings_struct(qvxml_settings *settings) {
    if (settings != nullptr) std::memset(settings, 0, sizeof *settings);
    return 0;
}

int qvxml_callback(int id, const qvxml_callbacks *callbacks) {
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
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
    xml_except(id, 40);
    return -1;
}

namespace {

int authenticate(int id, const char *user, const char *password, bool for_get) {
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    const long user_length = user == nullptr ? 0 : bounded_length(user, QVXML_AUTHENTICATE_MAX);
    const long password_length =
        password == nullptr ? 0 : bounded_length(password, QVXML_AUTHENTICATE_MAX);
    if (user_length < 0) {
        xml_except(id, 43);
        return -1;
    }
    if (password_length < 0) {
        xml_except(id, 42);
        return -1;
    }
    qvxml_settings &s = xml_module[id].settings;
    xml_lock lock(id);
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

// ---- requests --------------------------------------------------------------------------------

int qvxml_get_values(int id) {
    return queue_request(id, XML_BUF_VALUES, [](xml_module_state &m) {
        m.values_done = kPending;
        m.values_xml[0] = '\0';
        m.values_len = 0;
    });
}

int qvxml_get_setup(int id) {
    return queue_request(id, XML_BUF_SETUP, [](xml_module_state &m) {
        m.setup_done = kPending;
        m.setup_xml[0] = '\0';
        m.setup_len = 0;
        m.setup_for_snmp = 0;
    });
}

int qvxml_get_snmp_manager(int id) {
    return queue_request(id, XML_BUF_SETUP, [](xml_module_state &m) {
        m.setup_done = kPending;
        m.snmp_done = kPending;
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
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    if (length > QVXML_BUFFER_SIZE - 1 || length < 0 || xml == nullptr) {
        xml_except(id, 81);
        return -1;
    }
    return queue_request(id, values ? XML_BUF_VALUES : XML_BUF_SETUP, [&](xml_module_state &m) {
        if (values) {
            m.load_values_done = kPending;
            copy_loaded(m.values_xml, xml, length);
            m.values_len = length;
        } else {
            m.load_setup_done = kPending;
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
        char body_head[] =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n"
            "<Idx>1</Idx>\n<Community>vesmal</Community>\n<IPaddr>";
        std::string body = body_head;
        body += address != nullptr ? address : "";
        body += "</IPaddr>\n<Port>" + std::to_string(port) +
                "</Port>\n<E>1</E>\n</Entry>\n</SnmpTraps>\n</Root>";
        const std::string request =
            "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        if (request.size() >= QVXML_BUFFER_SIZE) {
            xml_except(id, 81);
            return -1;
        }
        std::memcpy(out, request.data(), request.size());
        return 0;
    });
}

// ---- completion polling and waiting ---------------------------------------------------------

int qvxml_finish(int id, int kind) {
    if (kind > 10 || kind < 0) {
        xml_except(0, 2);
        return -1;
    }
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    xml_module_state &m = xml_module[id];
    bool finished;
    {
        xml_lock lock(id);
        switch (kind) {
            case 0:
            case 1:
                finished = m.state.load() == XML_STATE_RUNNING;
                break;
            case 2:
            case 3:
                finished = m.values_done.load() == kFinished;
                break;
            case 4:
            case 5:
                finished = m.setup_done.load() == kFinished;
                break;
            case 6:
                finished = m.snmp_done.load() == kFinished;
                break;
            case 7:
            case 8:
                finished = m.send_done.load() == kFinished;
                break;
            case 9:
                finished = m.load_values_done.load() == kFinished;
                break;
            default:
                finished = m.load_setup_done.load() == kFinished;
                break;
        }
    }
    if (finished) return 0;
    xml_except(0, 1);
    return -1;
}

namespace {

// One qvxml_wait_finish in progress on a module: owns the module's wait_sem from creation to
// destruction, on every way out (also when the waiting thread ends inside the wait).
class module_wait {
public:
    explicit module_wait(int id) : id_(id) {}
    module_wait(const module_wait &) = delete;
    module_wait &operator=(const module_wait &) = delete;
    ~module_wait() {
        if (active_) end();
    }

    // Under the module's lock: 40 for a kind above 1 on a module not running, 20 when another
    // wait runs or the semaphore cannot be created; else the wait begins, 0.
    int begin(int kind, int seconds) {
        xml_module_state &m = xml_module[id_];
        xml_lock lock(id_);
        start_state_ = m.state.load();
        generation_ = m.generation.load();
        if (kind >= 2 && start_state_ != XML_STATE_RUNNING) return 40;
        // One wait per module at a time: a second concurrent wait would share wait_sem.
        if (m.wait_active.load() == 1 || xml_sem_init(&m.wait_sem) != 0) return 20;
        m.wait_deadline = now_seconds() + seconds;
        m.wait_active = 1;
        active_ = true;
        return 0;
    }

    // Waits for the next wake-up; false once the deadline has passed or the module the wait
    // began with has been closed.
    bool next() {
        xml_module_state &m = xml_module[id_];
        qv_sem_wait(&m.wait_sem);
        xml_lock lock(id_);
        if (starting_or_running(start_state_) &&
            (m.generation.load() != generation_ || !starting_or_running(m.state.load())))
            closed_ = true;
        return m.wait_deadline.load() != 0 && !closed_;
    }

    bool closed() const { return closed_; }

    void end() {
        xml_module_state &m = xml_module[id_];
        xml_lock lock(id_);
        m.wait_active = 0;
        xml_sem_destroy(&m.wait_sem);
        active_ = false;
    }

private:
    int id_;
    bool active_ = false;
    bool closed_ = false;
    int start_state_ = XML_STATE_FREE;
    unsigned generation_ = 0;
};

}  // namespace

int qvxml_wait_finish(int id, int kind, int seconds) {
    if (kind > 10 || kind < 0) {
        xml_except(0, 2);
        return -1;
    }
    if (!id_in_table(id)) {
        xml_except(0, 18);
        return -1;
    }
    module_wait wait(id);
    const int fault = wait.begin(kind, seconds);
    if (fault != 0) {
        xml_except(fault == 40 ? id : 0, fault);
        return -1;
    }
    // The result is decided by the last poll: a request found finished counts as finished,
    // even in the second its deadline passed or its module was closed.
    bool finished = qvxml_finish(id, kind) == 0;
    while (!finished) {
        const bool go_on = wait.next();
        finished = qvxml_finish(id, kind) == 0;
        if (!go_on) break;
    }
    wait.end();
    if (finished) return 0;
    // A wait whose module was closed reports the module as not running, at once.
    if (wait.closed()) {
        xml_except(id, 40);
        return -1;
    }
    xml_except(0, 19);
    return -1;
}
