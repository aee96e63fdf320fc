// Completion polling (qvxml_finish) and waiting (qvxml_wait_finish). A wait is woken by the
// finish marks and the start of its module's worker, by the time-out thread once its
// deadline has passed, and by a close of its module.
#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_thread.h"

namespace {

// The request flag that finish kind `kind` (0..10) reads; null for the running kinds, which
// read the module's state.
std::atomic<int> *finish_flag(xml_module_state &m, int kind) {
    switch (kind) {
        case QVXML_FINISH_VALUES:
        case QVXML_FINISH_VALUES + 1:
            return &m.values_done;
        case QVXML_FINISH_SETUP:
        case QVXML_FINISH_SETUP + 1:
            return &m.setup_done;
        case QVXML_FINISH_SNMP_CACHE:
            return &m.snmp_done;
        case QVXML_FINISH_SEND:
        case QVXML_FINISH_SEND + 1:
            return &m.send_done;
        case QVXML_FINISH_LOADED_VALUES:
            return &m.load_values_done;
        case QVXML_FINISH_LOADED_SETUP:
            return &m.load_setup_done;
        default:
            return nullptr;
    }
}

bool kind_valid(int kind) {
    if (kind >= 0 && kind <= QVXML_FINISH_LAST) return true;
    xml_except(0, QV_E_ACTION_NOT_VALID);
    return false;
}

}  // namespace

int qvxml_finish(int id, int kind) {
    if (!kind_valid(kind) || !client_id_checked(id)) return -1;
    xml_module_state &m = xml_module[id];
    bool finished;
    {
        xml_lock lock(m);
        const std::atomic<int> *flag = finish_flag(m, kind);
        finished =
            flag != nullptr ? flag->load() == XML_FINISHED : m.state.load() == XML_STATE_RUNNING;
    }
    if (finished) return 0;
    xml_except(0, QV_E_NOT_FINISHED);
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
        xml_lock lock(m);
        start_state_ = m.state.load();
        generation_ = m.generation.load();
        if (kind > QVXML_FINISH_RUNNING + 1 && start_state_ != XML_STATE_RUNNING)
            return QV_E_THREAD_NOT_RUN;
        // One wait per module at a time: a second concurrent wait would share wait_sem.
        if (m.wait_active.load() == 1 || xml_sem_init(&m.wait_sem) != 0) return QV_E_SEM_INIT;
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
        xml_lock lock(m);
        if (starting_or_running(start_state_) &&
            (m.generation.load() != generation_ || !starting_or_running(m.state.load())))
            closed_ = true;
        return m.wait_deadline.load() != 0 && !closed_;
    }

    bool closed() const { return closed_; }

    void end() {
        xml_module_state &m = xml_module[id_];
        xml_lock lock(m);
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
    if (!kind_valid(kind) || !client_id_checked(id)) return -1;
    module_wait wait(id);
    const int fault = wait.begin(kind, seconds);
    if (fault != 0) {
        xml_except(fault == QV_E_THREAD_NOT_RUN ? id : 0, fault);
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
        xml_except(id, QV_E_THREAD_NOT_RUN);
        return -1;
    }
    xml_except(0, QV_E_TIMEOUT);
    return -1;
}
