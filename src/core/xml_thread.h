// Per-id layer over the platform primitives: 100 re-entrant mutexes and 100 thread handles
// indexed by module id (0 = the library itself). Failures record a library code for the
// id (xml_except). Ids are not range-tested: callers pass 0..99.
#pragma once

#include "platform/qv_thread.h"

// The 100 mutexes exist for the whole life of the process: faults are recorded on any id,
// opened or not, and any thread may lock any id at any time. "Destroying" one when its
// module closes leaves it usable.
int xml_mutex_init(int id);     // 0, or -1 with code 23
int xml_mutex_lock(int id);     // 0, or -1 with code 24
int xml_mutex_unlock(int id);   // 0, or -1 with code 25
void xml_mutex_destroy(int id);

int xml_sem_init(qv_sem *s);          // 0 or -1; records nothing (callers record 20)
int xml_sem_post(int id, qv_sem *s);  // 0, or -1 with code 21 for id (refused: already posted)
int xml_sem_wait(int id, qv_sem *s);  // 0, or -1 with code 22 for id
void xml_sem_destroy(qv_sem *s);

int xml_thread_create(int id, qv_thread_entry entry);  // stores the handle; 0, or -1 (null)
int xml_thread_join(int id);    // 0 (handle freed and nulled) or -1; records nothing
int xml_thread_free(int id);    // releases the handle; 0
int xml_thread_cancel(int id);  // see qv_thread_cancel

// RAII guard over a per-id mutex, for library code.
class xml_lock {
public:
    explicit xml_lock(int id) : id_(id) { xml_mutex_lock(id_); }
    ~xml_lock() { xml_mutex_unlock(id_); }
    xml_lock(const xml_lock &) = delete;
    xml_lock &operator=(const xml_lock &) = delete;

private:
    int id_;
};
