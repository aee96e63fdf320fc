// Platform layer: re-entrant mutex, binary semaphore, threads with a bounded join.
// Nothing above this layer touches pthreads or std::thread directly.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "platform/thread_annotations.h"

// Re-entrant mutex: the owning thread may lock again and must unlock as often. Lock and
// unlock report no failure. A capability for the thread-safety analysis, which knows no
// re-entry: a function that may run with the mutex already held takes it in a scope of its
// own (a nested call), never twice in one scope.
//
// All its bytes are zero while it is unlocked and unowned (a plain mutex, no owner, depth
// 0), so a constant-initialized table holding one per entry stays in zero-filled storage. A
// pthread recursive mutex's initializer is not zero: the whole module table, document
// buffers included, would then be stored in the program file.
class CAPABILITY("mutex") qv_mutex {
    static_assert(std::is_integral_v<pthread_t>, "a thread id is compared and stored as a number");

public:
    void lock() ACQUIRE() {
        const pthread_t self = pthread_self();
        // Only this thread ever stores its own id here, so seeing it means holding the mutex.
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        m_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() RELEASE() {
        if (--depth_ != 0) return;
        owner_.store(pthread_t{}, std::memory_order_relaxed);
        m_.unlock();
    }

private:
    std::mutex m_;
    // The holder; 0 when unlocked (a running thread's id, its descriptor's address, never is).
    std::atomic<pthread_t> owner_{};
    unsigned depth_ = 0;  // locks taken by the holder; touched by it only
};

int qv_thread_mutex_init(qv_mutex *m);  // always 0 (the mutex is usable from construction)
int qv_thread_mutex_lock(qv_mutex *m) ACQUIRE(*m);    // blocking, re-entrant; always 0
int qv_thread_mutex_unlock(qv_mutex *m) RELEASE(*m);  // held by the caller; always 0
void qv_thread_mutex_destroy(qv_mutex *m);  // leaves the mutex usable (ids live for the process)

// Binary semaphore: count 0..1, initial 0. A post while the count is 1 is refused.
struct qv_sem_object;
using qv_sem = qv_sem_object *;

int qv_sem_init(qv_sem *s);  // 0, or -1 with a null handle stored
int qv_sem_post(qv_sem *s);  // -1 when refused (count already 1) or the handle is null
// Blocks without limit until the count is 1 and takes it to 0; -1 only for a null handle.
// A library thread that has been asked to end (qv_thread_cancel) ends inside the wait, as by
// qv_thread_exit, within about a second, unless the semaphore is posted first.
int qv_sem_wait(qv_sem *s);
// Frees and nulls the handle; 0. REQUIRES: no thread waits on it or posts it any more.
int qv_sem_destroy(qv_sem *s);

// Threads. A handle is owned by whoever created it until qv_thread_join succeeds or
// qv_thread_free releases it; the thread itself never frees it. One owner at a time: a
// handle must not be joined and freed (or joined twice) concurrently.
struct qv_thread_object;
using qv_thread_handle = qv_thread_object *;
using qv_thread_entry = void (*)();

// Started at once; null on failure, with errno the creation's error (EAGAIN when the
// system has no thread to give, ENOMEM).
qv_thread_handle qv_thread_create(qv_thread_entry entry);
int qv_thread_status(qv_thread_handle handle);  // -1 for null, else 0
// Waits up to 3000 ms for the thread to end. Ended: frees the handle, 0. Otherwise -1 and
// the handle stays open (the thread runs on; a later join may succeed).
int qv_thread_join(qv_thread_handle handle);
int qv_thread_free(qv_thread_handle handle);  // releases the handle; the thread runs on; 0
// Forced termination cannot be done safely on POSIX (a thread killed inside a lock or in
// C++ code corrupts the process). Instead this asks the thread to end at its next library
// wait point (a semaphore wait, a socket readiness attempt), where it ends as by
// qv_thread_exit. A thread that is computing or holds a lock outside such a wait is never
// stopped: it ends at its next wait point, or not at all. Returns 0 when the request was
// recorded, -1 for a null handle. The handle stays owned by the caller (join or free it).
int qv_thread_cancel(qv_thread_handle handle);

// Ends the calling library thread at once: unwinds to the thread's entry (running
// destructors, so RAII locks such as xml_lock are released) and the thread ends as if its
// entry had returned, which is what a join observes. No code of the caller after this call
// runs. It unwinds by a private exception type: C frames on the way (callbacks written in
// C) need unwind tables, the default of gcc and clang on x86-64 Linux.
// On any other thread it ends that thread with pthread_exit (also an unwind running
// destructors); on the main thread the process then lives on until its other threads end.
// REQUIRES: no frame between here and the entry may be
// noexcept or swallow the unwind with a catch (...) that does not rethrow; no frame of
// libxml2 (or other C library that keeps state across a call) may be on the way, so it is
// never called from a SAX handler; locks taken with xml_mutex_lock instead of RAII stay
// locked.
[[noreturn]] void qv_thread_exit();

// True on a thread started by qv_thread_create (where qv_thread_exit may be used).
bool qv_thread_in_library_thread();

// True when the calling thread has been asked to end (qv_thread_cancel).
bool qv_thread_cancel_requested();

// Sleeps for `ms` milliseconds (the platform's Sleep).
void qv_sleep_ms(int ms);
