// The module table: per-module state, many-device lists, per-module record pointers and
// the library globals, plus the completion dispatch run_callback.
#pragma once

#include <atomic>
#include <cstring>

#include "platform/qv_thread.h"
#include "platform/thread_annotations.h"
#include "qvxml.h"

// The life of a module id, `state` of its entry. Every transition is made under the id's
// mutex, by the party named:
//
//   free ──open──> starting ──worker──> running ──close──> closing ──release──> free
//                     └──────────────close──────────────────┘
//
// free -> starting   qvxml_open / qvxml_open_many, holding the start-up gate; `generation`
//                    goes up by one, so anything that remembers an earlier module of the id
//                    can tell it is gone.
// starting -> free   the opener, when the worker thread cannot be started.
// starting -> running  the module's worker, once started (a worker that cannot reserve the
//                    next id or create its semaphore ends and leaves the module starting).
// starting/running -> closing  the first closer: qvxml_close on any thread other than the
//                    module's worker (`closer` = XML_CLOSER_CALLER), or qvxml_close_for_callback
//                    on the worker itself (XML_CLOSER_SELF). The closer asks the worker to end
//                    and wakes it wherever it waits (request semaphore, socket, waiter).
// closing -> free    the closer once the worker has ended: the caller after joining it, the
//                    worker on its way out of its thread. Only then are the records, devices,
//                    socket and semaphore released and the id free for the next open. A join
//                    that fails leaves the module closing with no closer (`closer` =
//                    XML_CLOSER_NONE): a later close joins again, or the worker releases the
//                    module itself when it ends.
//
// Queueing operations serve only running modules; a wait of a module that leaves running or
// starting ends at once; the time-out thread serves every waiter whatever the state.
enum xml_state : int {
    XML_STATE_FREE = 0,
    XML_STATE_STARTING = -1,
    XML_STATE_RUNNING = 1,
    XML_STATE_CLOSING = 2,
};

// Who owns a close in progress (meaningful while closing).
enum xml_closer : int { XML_CLOSER_NONE = 0, XML_CLOSER_CALLER = 1, XML_CLOSER_SELF = 2 };

// Values of a module's request flags (values_done, setup_done, ...).
enum xml_request_flag : int { XML_NEVER_ASKED = -1, XML_PENDING = 0, XML_FINISHED = 1 };

// Kinds of library threads, qvxml_thread_type.
enum xml_thread_kind : int { XML_THREAD_TIMEOUT = 0, XML_THREAD_SINGLE = 1, XML_THREAD_MANY = 2 };

// The document buffers of a module, as bits: a queueing operation never writes a buffer that
// a request still pending, being served or being built uses.
enum xml_buffer : int { XML_BUF_VALUES = 1, XML_BUF_SETUP = 2, XML_BUF_POST = 4 };

// One entry of xml_module (ids 0..99; id 0 is never a module). `mutex` guards the fields
// marked GUARDED_BY; the others follow the contracts beside them:
//  - the atomics (state, generation, the request flags, the wait's deadline and flag) are
//    read without the lock; they change under it where the state machine above says so;
//  - the document buffers and their lengths belong to the module's worker while a request
//    that uses them is pending or in service (buffers_in_use); a caller writes them only
//    under the lock and only when they are not in use, and reads them after the request has
//    finished;
//  - last_failed is the worker's own (the opener clears it before the worker starts).
struct xml_module_state {
    // Re-entrant; lives for the whole process, whether the id is open or not (faults are
    // recorded on any id at any time). Mutex 0 is the library's parse lock: it may be held
    // while a module's mutex is taken, never the reverse.
    qv_mutex mutex;
    // The endpoint, written under the lock: host and port by the opener (cleared at
    // release), addr by the worker's exchange when it resolves host. The worker hands addr
    // and host to its exchange as pointers, without the lock: no other thread writes them
    // while it runs.
    char addr[16] GUARDED_BY(mutex);  // dotted address found when `host` was last resolved
    char host[QVXML_AUTHENTICATE_MAX] GUARDED_BY(mutex);
    int port GUARDED_BY(mutex);
    std::atomic<int> state;            // xml_state
    std::atomic<unsigned> generation;  // raised by every open of the id
    int closer GUARDED_BY(mutex);      // xml_closer, while closing
    int serving GUARDED_BY(mutex);     // xml_buffer bits of the request the worker serves
    bool building GUARDED_BY(mutex);   // a caller builds a POST request for this module
    int last_failed;
    std::atomic<int> values_done;  // -1 never asked, 0 pending, 1 finished
    std::atomic<int> setup_done;
    std::atomic<int> load_values_done;
    std::atomic<int> load_setup_done;
    std::atomic<int> send_done;  // 1 at open
    std::atomic<int> snmp_done;  // 1 at open
    char snmp_ip[16] GUARDED_BY(mutex);
    int snmp_port GUARDED_BY(mutex);
    int setup_for_snmp GUARDED_BY(mutex);
    int values_len;  // before a GET: capacity; after: bytes stored
    int setup_len;
    char values_xml[QVXML_BUFFER_SIZE];
    char setup_xml[QVXML_BUFFER_SIZE];
    char post_buf[QVXML_BUFFER_SIZE];
    // The semaphore handles are created, posted and destroyed under the lock; their owner
    // (the worker for request_sem, the waiting caller for wait_sem) waits on them without it.
    qv_sem request_sem GUARDED_BY(mutex);
    qv_sem wait_sem GUARDED_BY(mutex);
    std::atomic<long long> wait_deadline;  // seconds since the epoch; 0 = timed out
    std::atomic<int> wait_active;
    void *user_ptr GUARDED_BY(mutex);
    qvxml_settings settings GUARDED_BY(mutex);  // callers replace parts while the worker runs
};

// One device of a many-device module; allocated by qvxml_add_module, owned by the library.
struct xml_submodule_state {
    char addr[16];
    char host[QVXML_AUTHENTICATE_MAX];
    int active;
    int port;
    int values_len;
    int setup_len;
    char values_xml[QVXML_BUFFER_SIZE];
    char setup_xml[QVXML_BUFFER_SIZE];
    char post_buf[QVXML_BUFFER_SIZE];
    kyvern_values values;
    kyvern_values_entry_count values_count;
    kyvern_setup setup;
    kyvern_setup_entry_count setup_count;
    xml_fault_record error;
    qvxml_settings settings;
};

struct modules_list_entry {
    int count;  // -1: not a many-device module; else devices added
    xml_submodule_state *sub[QVXML_MODULES_MAX];
};

extern xml_module_state xml_module[QVXML_ID_COUNT_MAX];
extern modules_list_entry modules_list[QVXML_ID_COUNT_MAX];

// The id of an entry of xml_module.
inline int xml_id_of(const xml_module_state &m) {
    return static_cast<int>(&m - xml_module);
}

// Per-module parsed records, null until the module's first parse of that kind; allocated
// by xml_parse, freed by closing the module.
extern kyvern_values *p_kyvern_values[QVXML_ID_COUNT_MAX];
extern kyvern_values_entry_count *p_kyvern_values_entry_count[QVXML_ID_COUNT_MAX];
extern kyvern_setup *p_kyvern_setup[QVXML_ID_COUNT_MAX];
extern kyvern_setup_entry_count *p_kyvern_setup_entry_count[QVXML_ID_COUNT_MAX];

// Library globals.
extern std::atomic<int> qvxml_count_ref;  // -1 not initialised
extern int id_count;                      // id the next open will use
extern std::atomic<int> qvxml_exit;       // 1 tells the time-out thread to end
extern int qvxml_thread_type;             // xml_thread_kind of the thread being started
extern qv_sem xml_sem;                    // start-up gate

// Copies a whole record, or clears `to` when there is no record yet.
template <typename T>
void xml_copy_record(T *to, const T *from) {
    if (from != nullptr)
        std::memcpy(to, from, sizeof *to);
    else
        std::memset(to, 0, sizeof *to);
}

// Completion kinds of run_callback.
enum xml_completion_kind : int { XML_KIND_VALUES = 0, XML_KIND_SETUP = 1, XML_KIND_SEND = 2 };

// Completion dispatch. Stamps the module's record of `kind` (values for kind 0, setup for
// kinds 1 and 2, when it exists) and, for `sub` >= 0, the matching record copy of device
// `sub`, with the current time; then calls the slot of `kind` (on_values, on_setup,
// on_send_setup) of module `id` with (id, user_ptr, sub, record, count). An empty slot ends
// the dispatch. `failed`: null record and count. Otherwise copies of the module's record and
// entry counts (cleared copies when the record does not exist, and when an on_parse slot
// replaces the built-in parser), valid during the call only, in memory of the calling thread.
// The slots are read under the mutex of `id`; the call itself runs with no lock held and may
// end the thread (qv_thread_exit), which unwinds through here.
// REQUIRES: `id` 0..99, `kind` 0..2; runs on the module's worker.
void run_callback(int id, int sub, int kind, int failed) EXCLUDES(xml_module[id].mutex);

// The two halves of run_callback. A worker stamps the records before it marks a request
// finished, so a caller woken by the mark never reads a record whose stamp is still to come,
// and delivers afterwards.
void xml_stamp_records(int id, int sub, int kind);
void xml_deliver(int id, int sub, int kind, int failed) EXCLUDES(xml_module[id].mutex);
