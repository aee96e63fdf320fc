// Per-id layer over the platform primitives: the re-entrant mutex of each module id (the
// `mutex` of its xml_module entry) and 100 thread handles indexed by module id (0 = the
// library itself). Failures record a library code for the id (xml_except). Ids are not
// range-tested: callers pass 0..99.
#pragma once

#include "core/xml_module.h"
#include "platform/qv_thread.h"
#include "platform/thread_annotations.h"

// The 100 mutexes exist for the whole life of the process: faults are recorded on any id,
// opened or not, and any thread may lock any id at any time. "Destroying" one when its
// module closes leaves it usable.
int xml_mutex_init(int id);  // 0, or -1 with code 23
// Blocking, re-entrant; 0, or -1 with code 24.
int xml_mutex_lock(int id) ACQUIRE(xml_module[id].mutex);
// The caller holds it; 0, or -1 with code 25.
int xml_mutex_unlock(int id) RELEASE(xml_module[id].mutex);
void xml_mutex_destroy(int id);  // the mutex stays usable (see above)

// Binary semaphores (count 0..1), owned by the caller and passed by address.
int xml_sem_init(qv_sem *s);  // 0 or -1; records nothing (callers record 20)
// 0, or -1 with code 21 for `id` when refused (already posted; the count stays 1 and a
// single waiter still wakes) or the handle is null.
int xml_sem_post(int id, qv_sem *s);
// Blocks without limit; 0, or -1 with code 22 for `id` (null handle). A library thread
// asked to end (xml_thread_cancel) ends inside the wait; see qv_sem_wait.
int xml_sem_wait(int id, qv_sem *s);
void xml_sem_destroy(qv_sem *s);

// Thread handles, one per id (0 = the library's own thread, n = the worker of module n).
// Each entry is read and written under an internal lock, so the starter, the joiner and the
// worker itself (freeing its own handle) may use it from different threads.
// Starts `entry` at once and stores its handle (null on failure) in entry `id`; returns 0,
// or -1 when the thread could not be started, with errno the creation's error. Records
// nothing (callers record 37 or 38 with that errno: xml_except_errno).
int xml_thread_create(int id, qv_thread_entry entry);
// Waits up to 3000 ms for the thread of `id` to end. Ended: the handle is freed and the
// entry nulled, 0. Otherwise -1 and the handle stays in its entry (the thread runs on; a
// later join may succeed); also -1 for an empty entry or when called by that thread itself.
// Records nothing (callers record 36 or 39).
int xml_thread_join(int id);
int xml_thread_free(int id);    // releases and nulls the handle; the thread runs on; 0
int xml_thread_cancel(int id);  // asks the thread to end at its next wait; see qv_thread_cancel

// RAII guard over a per-id mutex, for library code. Use it for any lock held across a wait
// or a callback: a thread that ends itself (qv_thread_exit) releases it on the way out.
// Name the mutex the way the function names the fields it guards: `xml_lock lock(m)` for a
// function that works on an entry `m`, `xml_lock lock(id)` for one that writes
// `xml_module[id]` (or guards no field: the parse lock is xml_lock(0)).
class SCOPED_CAPABILITY xml_lock {
public:
    explicit xml_lock(int id) ACQUIRE(xml_module[id].mutex) : id_(id) { xml_mutex_lock(id_); }
    explicit xml_lock(xml_module_state &m) ACQUIRE(m.mutex) : id_(xml_id_of(m)) {
        xml_mutex_lock(id_);
    }
    ~xml_lock() RELEASE() { xml_mutex_unlock(id_); }
    xml_lock(const xml_lock &) = delete;
    xml_lock &operator=(const xml_lock &) = delete;

private:
    int id_;
};
