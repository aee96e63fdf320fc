// Private interface between the files of the client runtime: lifecycle.cpp (library start
// and stop, open and close), modules.cpp (module table queries, callbacks, credentials),
// requests.cpp (queueing operations), workers.cpp (the library's threads), wait.cpp (polling
// and waiting) and accessors.cpp (results). The public operations are declared in qvxml.h;
// the life of a module id is the state machine of core/xml_module.h.
//
// Locking: each module's state, request flags and SNMP cache are guarded by the mutex of its
// id. Mutex 0 (the parse lock) may be held while a module's mutex is taken, never the
// reverse, so codes for id 0 are recorded only after a module's mutex has been released.
// Every lock held across a callback, a parse or a wait is scope-bound (xml_lock): a thread
// that ends inside (qvxml_close_for_callback from a hook) releases it on the way out.
#pragma once

#include <cstddef>

#include "core/xml_module.h"
#include "qvxml.h"

inline bool id_in_table(int id) {
    return id >= 0 && id < QVXML_ID_COUNT_MAX;
}

// True for an id of the module table (0..99). Otherwise records QV_E_ID_OUT_OF_RANGE on id 0
// and returns false: the first check of every operation that takes an id.
bool client_id_checked(int id);

// Records `code` for a refused operation on module `id` (on id 0 when `id` is outside the
// table) and returns -1.
int refuse(int id, int code);

inline bool starting_or_running(int state) {
    return state == XML_STATE_STARTING || state == XML_STATE_RUNNING;
}

// Length of a NUL-terminated text of at most `capacity` bytes, or -1 when it is not
// terminated within them.
long bounded_length(const char *text, size_t capacity);

// Seconds since the epoch.
long long now_seconds();

// The code for a settings record whose credentials are not terminated within their buffers:
// QV_E_USER_TOO_LONG (checked first) or QV_E_PASSWORD_TOO_LONG; 0 when they are (or for a
// null record).
int credential_fault(const qvxml_settings *settings);

// The xml_buffer bits that a request pending, in service or being built uses.
int buffers_in_use(const xml_module_state &m) REQUIRES(m.mutex);

// A device of a many-device module, zeroed, in pages of its own; null when memory ran out.
// Most of it is document buffers (values, setup, upload) and records that a device's requests
// may never use: a page takes memory only when first written, so a device holds what its
// requests touched, whatever the allocator held before (calloc clears a block the heap hands
// back again, which takes all of it at once). Freed with free_device_state (null: nothing).
xml_submodule_state *new_device_state();
void free_device_state(xml_submodule_state *device);

// ---- threads (workers.cpp) ---------------------------------------------------------------

// The module whose worker runs on the calling thread; 0 on every other thread.
extern thread_local int current_worker;

// Entry of every library thread; reads qvxml_thread_type (an xml_thread_kind) written by the
// starter under the start-up gate.
void qv_thread();

// Reserves the id the next open will use (id_count): id_count + 1 when it is at most 99 and
// free, else the first free id of 1..99. Returns 0, or -1 when no id is free (id_count then
// keeps its value). REQUIRES: the caller holds the start-up gate xml_sem.
int qvxml_next_id();

// Marks request `kind` (an xml_completion_kind) of module `id` finished: values_done,
// setup_done, or send_done and setup_done become finished. The first mark of a request
// (`again` false) also ends the service of its buffers; the second, after its callback,
// never finishes a request of that kind queued meanwhile. With `refresh_snmp` 1 the SNMP
// manager cache is refreshed from the module's setup record and snmp_done set. Wakes a
// running qvxml_wait_finish. Runs on the module's worker.
void finish_request(int id, int kind, int refresh_snmp, bool again);
// finish_request(id, kind, refresh_snmp, false).
void qvxml_loop_one_finish(int id, int kind, int refresh_snmp);

// Posts the module's wait_sem when a qvxml_wait_finish runs on it. Any thread.
void wake_waiter(int id);

// Ends the time-out thread's one-second pause at once; REQUIRES: qvxml_exit set.
void stop_timeout_thread();

// ---- closing (lifecycle.cpp) -------------------------------------------------------------

// qvxml_close on a thread other than the module's worker. The first closer owns the close:
// it asks the worker to end, wakes it and the waiter, joins the worker and releases the
// module. 0; or -1 with QV_E_ID_NOT_FOUND (the id is free) or QV_E_THREAD_NOT_EXIT (the
// worker did not end within 3000 ms: the module stays closing with no closer; or another
// party's close did not end within 4000 ms). A close that finds another owner waits for it.
// Not with the module's mutex held: the worker it joins takes it.
int close_module(int id) EXCLUDES(xml_module[id].mutex);

// Frees what a closed module held and makes its id free (closing -> free); wakes closes that
// wait for it. REQUIRES: the module's worker has ended, or is the calling thread on its way
// out.
void release_module(int id);

// Closes module `id` (REQUIRES: 1..99): with `join` it is close_module; without, it is
// qvxml_close_for_callback (on the module's worker it ends the calling thread).
int xml_close(int id, int join);
