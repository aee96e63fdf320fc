// Platform layer on the C++ standard library: re-entrant mutex, binary semaphore, threads
// with a bounded join and a thread-exit that unwinds to the thread's entry.
#include "platform/qv_thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

int qv_thread_mutex_init(qv_mutex *) {
    return 0;
}
int qv_thread_mutex_lock(qv_mutex *m) {
    m->lock();
    return 0;
}
int qv_thread_mutex_unlock(qv_mutex *m) {
    m->unlock();
    return 0;
}
void qv_thread_mutex_destroy(qv_mutex *) {}

// ---- threads -----------------------------------------------------------------------------

namespace {

// Thrown by qv_thread_exit, caught only by the thread trampoline. Not derived from
// std::exception so that no ordinary handler takes it by mistake.
struct qv_thread_exit_signal {};

// Shared between the handle and the running thread: whichever lets go last frees it.
struct thread_state {
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    std::atomic<bool> cancel{false};
};

thread_local thread_state *current_thread = nullptr;

}  // namespace

struct qv_thread_object {
    std::thread thread;
    std::shared_ptr<thread_state> state;
};

qv_thread_handle qv_thread_create(qv_thread_entry entry) {
    if (entry == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *handle = new (std::nothrow) qv_thread_object;
    if (handle == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    try {
        handle->state = std::make_shared<thread_state>();
        handle->thread = std::thread([entry, state = handle->state] {
            current_thread = state.get();
            // Signals the end on every way out, so a join sees it.
            struct end_guard {
                thread_state *s;
                ~end_guard() {
                    std::lock_guard<std::mutex> lock(s->m);
                    s->ended = true;
                    s->cv.notify_all();
                }
            } guard{state.get()};
            try {
                entry();
            } catch (const qv_thread_exit_signal &) {
                // The thread asked to end: this is its normal end.
            }
        });
    } catch (const std::system_error &e) {
        // The error of the thread's creation (EAGAIN: no resources), for the caller's record.
        delete handle;
        errno = e.code().value();
        return nullptr;
    } catch (...) {
        delete handle;
        errno = ENOMEM;
        return nullptr;
    }
    return handle;
}

int qv_thread_status(qv_thread_handle handle) {
    return handle == nullptr ? -1 : 0;
}

int qv_thread_join(qv_thread_handle handle) {
    if (handle == nullptr) return -1;
    // A thread cannot see its own end: fail at once instead of waiting 3000 ms for nothing.
    if (handle->state.get() == current_thread) return -1;
    {
        std::unique_lock<std::mutex> lock(handle->state->m);
        if (!handle->state->cv.wait_for(lock, std::chrono::milliseconds(3000),
                                        [&] { return handle->state->ended; }))
            return -1;
    }
    // The entry has finished; join returns as soon as the thread's last destructors ran.
    if (handle->thread.joinable()) handle->thread.join();
    delete handle;
    return 0;
}

int qv_thread_free(qv_thread_handle handle) {
    if (handle == nullptr) return 0;
    // A std::thread must not be destroyed while joinable: freeing means detaching.
    if (handle->thread.joinable()) handle->thread.detach();
    delete handle;
    return 0;
}

int qv_thread_cancel(qv_thread_handle handle) {
    if (handle == nullptr) return -1;
    handle->state->cancel.store(true);
    return 0;
}

bool qv_thread_in_library_thread() {
    return current_thread != nullptr;
}

bool qv_thread_cancel_requested() {
    return current_thread != nullptr && current_thread->cancel.load();
}

void qv_thread_exit() {
    if (current_thread != nullptr) throw qv_thread_exit_signal{};
    // Not a library thread, so no trampoline would catch the signal: end the thread the
    // platform's way (a forced unwind that also runs destructors), as the caller asked.
    pthread_exit(nullptr);
}

void qv_sleep_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- binary semaphore ----------------------------------------------------------------------

struct qv_sem_object {
    std::mutex m;
    std::condition_variable cv;
    bool posted = false;
};

int qv_sem_init(qv_sem *s) {
    *s = new (std::nothrow) qv_sem_object;
    return *s == nullptr ? -1 : 0;
}

int qv_sem_post(qv_sem *s) {
    if (s == nullptr || *s == nullptr) return -1;
    qv_sem_object *sem = *s;
    std::lock_guard<std::mutex> lock(sem->m);
    if (sem->posted) return -1;
    sem->posted = true;
    sem->cv.notify_one();
    return 0;
}

int qv_sem_wait(qv_sem *s) {
    if (s == nullptr || *s == nullptr) return -1;
    qv_sem_object *sem = *s;
    std::unique_lock<std::mutex> lock(sem->m);
    // Wakes once a second to honour a cancellation request of the waiting thread. The lock
    // of the semaphore is released before the unwind so that posters are never blocked.
    while (!sem->posted) {
        if (qv_thread_cancel_requested()) {
            lock.unlock();
            qv_thread_exit();
        }
        sem->cv.wait_for(lock, std::chrono::seconds(1));
    }
    sem->posted = false;
    return 0;
}

int qv_sem_destroy(qv_sem *s) {
    if (s == nullptr) return 0;
    delete *s;
    *s = nullptr;
    return 0;
}
