/*
 * qvxml.h - public interface of the device client library behind tarvik.
 *
 * The library keeps a table of device connections ("modules"), ids 1..99, each served
 * by a worker thread of its own; id 0 is the library itself (its fault record is the
 * library-wide one). Requests are asynchronous: queue one, then poll (qvxml_finish),
 * wait (qvxml_wait_finish) or take the completion callback. Every operation returns 0
 * (or an id, index or count) on success and -1 on failure, after recording one error
 * code in the fault record of the module concerned or of id 0 (read it with
 * qvxml_error, print it with qvxml_error_print, turn a bare code into its message with
 * qv_error_i2s).
 *
 * Ownership: the library owns every buffer and record. Records handed to callbacks are
 * copies valid only during the call; pointer accessors hand out pointers into library
 * storage, valid until the module is closed; copy accessors fill caller storage.
 *
 * Callbacks run on the module's worker thread with no library lock held. A callback may
 * end the process, or close its own module with qvxml_close_for_callback. C callbacks
 * must be compiled with unwind tables (the default of gcc and clang on x86-64 Linux, or
 * -fexceptions): qvxml_close_for_callback ends the worker by unwinding through them.
 *
 * This header compiles as C (C99 and later) and as C++.
 */
#ifndef QVXML_H
#define QVXML_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Limits ------------------------------------------------------------------------ */

#define QVXML_ID_COUNT_MAX 100      /* module ids 0..99; id 0 is the library itself */
#define QVXML_MODULES_MAX 500       /* devices of a many-device module */
#define QVXML_AUTHENTICATE_MAX 100  /* host, user and password buffers (99 characters) */
#define QVXML_BUFFER_SIZE 256000    /* document and request buffers */
#define QVXML_ERROR_TEXT_SIZE 104   /* texts of a fault record */
#define QVXML_ERROR_CODE_COUNT 90   /* codes 0..89 */

/* ---- Parsed device records ----------------------------------------------------------
 * Every field is NUL-terminated text of fixed width (terminator included), named after
 * its element path below the root with "_" for ".": the text of Agent.DeviceName is
 * member Agent_DeviceName, that of SenSet.Entry[i].Name is SenSet_Entry_Name[i].
 * Repeated sets are parallel arrays; the entry-count record says how many slots hold an
 * entry. time_stamp is the completion time (seconds since the epoch) of the request that
 * delivered the record, 0 until then. */

#define QV_FIELD(member, path, width) char member[width];
#define QV_SET_FIELD(set, member, path, width, capacity) char member[capacity][width];

typedef struct kyvern_values {
    int32_t time_stamp;
#include "qvxml_values_fields.def"
} kyvern_values;

typedef struct kyvern_setup {
    int32_t time_stamp;
#include "qvxml_setup_fields.def"
} kyvern_setup;

#undef QV_FIELD
#undef QV_SET_FIELD

#define QV_SET(name, capacity, entry_path) int32_t name;

/* Number of Entry elements read per set, in this order: BinaryInSet, BinaryOutSet, SenSet. */
typedef struct kyvern_values_entry_count {
#include "qvxml_values_sets.def"
} kyvern_values_entry_count;

/* BinaryInSet, BinaryOutSet, SenSet, TempRangeSet, GroupSet, SnmpTraps, MailDest,
 * SnmpAccess, User. */
typedef struct kyvern_setup_entry_count {
#include "qvxml_setup_sets.def"
} kyvern_setup_entry_count;

#undef QV_SET

/* ---- Fault record ------------------------------------------------------------------ */

/* The last fault recorded for one module id (or for one device of a many-device module). */
typedef struct xml_fault_record {
    int32_t errno_value;                      /* errno of the failed system call behind the
                                                 fault (ETIMEDOUT for a socket wait that ran
                                                 out); 0 for a fault the library found
                                                 itself (a document that does not parse, a
                                                 size limit, an HTTP status, a refused
                                                 request or id) */
    int32_t code;                             /* library code, 0..89 (others: message "NULL") */
    char errno_text[QVXML_ERROR_TEXT_SIZE];   /* text of errno_value */
    char message[QVXML_ERROR_TEXT_SIZE];      /* message of code */
} xml_fault_record;

/* ---- Callbacks and settings -------------------------------------------------------- */

/* `id` is the module id, `user` the pointer given to the open operation, `sub` the device
 * index of a many-device module or -1. Null records tell that the request failed; the
 * module's fault record holds the cause. */
typedef void (*qvxml_values_callback)(int id, void *user, int sub, kyvern_values *values,
                                      kyvern_values_entry_count *count);
typedef void (*qvxml_setup_callback)(int id, void *user, int sub, kyvern_setup *setup,
                                     kyvern_setup_entry_count *count);
typedef void (*qvxml_many_callback)(int id, void *user);
typedef void (*qvxml_connect_callback)(int id, void *user, int sub);
typedef void (*qvxml_connect_failure_callback)(int id, void *user, int sub,
                                               xml_fault_record *error);
/* Replaces the built-in parser; type 0 values, 1 setup; returns 0 on success. */
typedef int (*qvxml_parse_callback)(int id, void *user, char *data, int len, int type);
/* Runs after the built-in parse; record and count are those of `type`; *result is the
 * SAX parse result (negative = failure) and may be changed. */
typedef void (*qvxml_parsed_callback)(int id, void *user, char *data, int len, int type,
                                      void *record, void *count, int *result);

typedef struct qvxml_callbacks {
    qvxml_values_callback on_values;                 /* values GET or load ended */
    qvxml_setup_callback on_setup;                   /* setup GET, load or SNMP GET ended */
    qvxml_many_callback on_values_many;              /* values round of a many-device module */
    qvxml_many_callback on_setup_many;               /* setup round of a many-device module */
    qvxml_setup_callback on_send_setup;              /* POST ended; records = device's reply */
    qvxml_connect_callback on_connect;               /* after every successful connection */
    qvxml_connect_failure_callback on_connect_failure; /* after every failed connection */
    qvxml_parse_callback on_parse;
    qvxml_parsed_callback on_parsed;
} qvxml_callbacks;

typedef struct qvxml_settings {
    int test_connection;                       /* nonzero: connect once when the worker starts */
    char get_user[QVXML_AUTHENTICATE_MAX];     /* Basic authorization of GET setup.xml */
    char get_password[QVXML_AUTHENTICATE_MAX];
    char set_user[QVXML_AUTHENTICATE_MAX];     /* Basic authorization of POST setup.xml */
    char set_password[QVXML_AUTHENTICATE_MAX];
    qvxml_callbacks callbacks;
} qvxml_settings;

/* ---- Library lifecycle and module table --------------------------------------------
 * Codes are written by name (QV_E_*, the table is qvxml_errors.def). "On the id" means the
 * module's own fault record, "on id 0" the library-wide one. Unless a contract says
 * otherwise, an operation may be called on any thread, also from a callback, and an id
 * outside 0..99 fails with QV_E_ID_OUT_OF_RANGE on id 0. */

/* Starts the library and its own thread (the time-out thread). 0; or -1 with, on id 0:
 * QV_E_IN_USE_ELSEWHERE when it is already started (the call still counts: match it with a
 * failing qvxml_uninit or qvxml_count_ref2zero), QV_E_SEM_INIT or QV_E_THREAD0_CREATE.
 * REQUIRES: not concurrently with qvxml_uninit. */
int qvxml_init(void);
/* Closes every module, then stops the library's own thread. -1 with QV_E_IN_USE_ELSEWHERE on
 * id 0 for an extra qvxml_init still to be matched; -1 with QV_E_THREAD_NOT_EXIT on id 0 when
 * a module could not be closed (a callback that does not return): the library then stays
 * started and a later call may finish the shutdown; -1 with QV_E_THREAD0_NOT_EXIT when the
 * library's thread did not end. 0 otherwise, also when the library was not started.
 * REQUIRES: not from a callback. */
int qvxml_uninit(void);
/* Forgets the extra qvxml_init calls, so that the next qvxml_uninit shuts down. */
void qvxml_count_ref2zero(void);
/* Initialises the XML library (qvxml_init does it too). */
void qvxml_xml_init_parser(void);
/* Opens a module for the device at `host` (a dotted address or a name, at most 99
 * characters) and `port`, with a copy of `settings` (null: all empty) and `user` handed to
 * every callback. Returns the module's id (1..99): the module is starting; it takes
 * requests once its worker runs (qvxml_wait_finish(id, QVXML_FINISH_RUNNING, s)). With
 * settings->test_connection set the worker first connects once and calls on_connect or
 * on_connect_failure. -1 with, on id 0: QV_E_IP_NOT_VALID (host too long or null),
 * QV_E_USER_TOO_LONG / QV_E_PASSWORD_TOO_LONG (a credential not terminated within its
 * buffer), QV_E_ID_IN_USE (the id reserved for this open is taken), QV_E_THREAD_CREATE. At
 * most 98 modules run at once: the 99th open returns an id whose module stays starting. */
int qvxml_open(const char *host, int port, const qvxml_settings *settings, void *user);
/* Opens a many-device module with no devices and no settings (install its callbacks with
 * qvxml_callback, its GET credentials with qvxml_authenticate_get, its devices with
 * qvxml_add_module). Returns its id, or -1 as qvxml_open. */
int qvxml_open_many(void *user);
/* Adds a device (host at most 99 characters, port, a copy of the required `settings`) to
 * many-device module `id` and returns its index (0..499). -1 with, on the id, in this order:
 * QV_E_ID_NOT_FOUND (not a many-device module), QV_E_IP_NOT_VALID, QV_E_USER_TOO_LONG /
 * QV_E_PASSWORD_TOO_LONG, QV_E_TOO_MANY_DEVICES (already 500), QV_E_IP_PORT_IN_USE (the same
 * host text and port is there), QV_E_NO_MEMORY. Meant for set-up, before requests. */
int qvxml_add_module(int id, const char *host, int port, const qvxml_settings *settings);
/* The number of devices of many-device module `id`; -1 with QV_E_ID_NOT_FOUND on the id when
 * it is not one. */
int qvxml_count_modules(int id);
/* Sets the `active` flag of every device of many-device module `id` from `flags` (one per
 * device; 0 leaves the device out of the rounds). Returns 0 and records nothing, also for an
 * id or `flags` that cannot be used. REQUIRES: `flags` holds qvxml_count_modules(id) ints. */
int qvxml_active_modules(int id, const int *flags);
/* 1 for a many-device module, 0 for a single-device one; -1 with QV_E_THREAD_NOT_RUN on the
 * id when the module is not running. */
int qvxml_type_of(int id);
/* Copies the address found when the module's host was last resolved (`addr`, 16 bytes,
 * empty before the first connection), the port and, for the _ex form, the host (`host`, 100
 * bytes) into caller storage; a null out pointer is skipped. 0; or -1 with, on the id,
 * QV_E_THREAD_NOT_RUN (not running) or QV_E_ID_NOT_FOUND (a many-device module). */
int qvxml_get_module(int id, char *addr, int *port);
int qvxml_get_module_ex(int id, char *host, char *addr, int *port);
/* The same for device `index` of many-device module `id`: -1 with QV_E_ID_NOT_FOUND (not a
 * many-device module) or QV_E_INDEX_NOT_FOUND (no such device) on the id. */
int qvxml_get_module_many(int id, int index, char *addr, int *port);
int qvxml_get_module_many_ex(int id, int index, char *host, char *addr, int *port);
/* Closes module `id` from any thread but the module's own worker: asks the worker to end,
 * wakes it wherever it waits (a socket wait ends at once) and wakes the module's waiter,
 * which then fails with QV_E_THREAD_NOT_RUN on the module; joins the worker (at most 3000 ms)
 * and frees the module: its records, devices and documents, so every pointer an accessor
 * handed out is invalid afterwards. The id stays taken until all of that is done, so no
 * concurrent open gets it. 0; or -1 with: QV_E_ID_OUT_OF_RANGE on id 0 (id outside 1..99),
 * QV_E_ID_NOT_FOUND on the id (not open), QV_E_THREAD_NOT_EXIT on the id (the worker did not
 * end in time: the module stays closing and a later close may finish it; or the call came
 * from the module's own callback, which is refused and leaves the module running). A close
 * that finds another close of the module in progress waits for it. */
int qvxml_close(int id);
/* Closes the calling worker's own module from inside its callback (any callback or parse
 * hook of the module) and ends that thread: it does not return, and the module is freed once
 * the callback's frames are gone. Called on any other thread it is qvxml_close (and returns). */
void qvxml_close_for_callback(int id);
/* Empties the nine slots of `callbacks` (null: nothing). The first argument is not used.
 * Returns 0. */
int qvxml_clr_callback(int any, qvxml_callbacks *callbacks);
/* Zeroes the whole of `settings` (null: nothing). Returns 0. */
int qvxml_clr_settings_struct(qvxml_settings *settings);
/* Replaces the nine callback slots of running module `id` by `callbacks` (null: empties
 * them); the next dispatch sees them. 0; or -1 with QV_E_THREAD_NOT_RUN on the id. */
int qvxml_callback(int id, const qvxml_callbacks *callbacks);
/* Replace the GET credentials (setup.xml is fetched with Basic authorization when the user is
 * not empty) or the POST credentials of module `id`, each at most 99 characters (null:
 * empty). 0; or -1 with QV_E_USER_TOO_LONG (checked first) or QV_E_PASSWORD_TOO_LONG on the
 * id. No state check: meant for set-up, before requests. */
int qvxml_authenticate_get(int id, const char *user, const char *password);
int qvxml_authenticate_set(int id, const char *user, const char *password);

/* ---- Requests ------------------------------------------------------------------------ */

/* Finish kinds of qvxml_finish and qvxml_wait_finish: what has finished. 1, 3, 5 and 8 are
 * twins of 0, 2, 4 and 7 and mean the same. */
typedef enum qvxml_finish_kind {
    QVXML_FINISH_RUNNING = 0,       /* the module's worker runs: the module takes requests */
    QVXML_FINISH_VALUES = 2,        /* values GET or values load */
    QVXML_FINISH_SETUP = 4,         /* setup GET, SNMP-manager GET, setup load or a POST */
    QVXML_FINISH_SNMP_CACHE = 6,    /* SNMP manager cache refreshed */
    QVXML_FINISH_SEND = 7,          /* POST of a setup document (any send operation) */
    QVXML_FINISH_LOADED_VALUES = 9, /* parse of a loaded values document */
    QVXML_FINISH_LOADED_SETUP = 10, /* parse of a loaded setup document */
    QVXML_FINISH_LAST = 10
} qvxml_finish_kind;

/* Queueing operations ask the module's worker for one request and return at once: 0 when it
 * is queued, or -1 with a code on the module: QV_E_THREAD_NOT_RUN when the module is not
 * running, QV_E_SEM_POST when a request still pending or being served uses the buffer this
 * one would write (the values document: values GET and load; the setup document: setup and
 * SNMP GET, setup load and a POST's reply; the POST request: every send operation, also
 * while another thread builds one). A refused call leaves every buffer untouched. A request
 * queued while the worker is busy with another one is served after it; its wake-up signal
 * may be refused then (QV_E_SEM_POST recorded, 0 returned: the request waits for the next
 * signal). The request ends with its completion callback (null records on failure; the
 * module's fault record tells why) and is marked finished, also after a failure. */

/* Fetches values.xml (no authorization) and parses it into the module's values record;
 * completes with on_values; finish kind QVXML_FINISH_VALUES. */
int qvxml_get_values(int id);
/* Fetches setup.xml (with the GET credentials) into the setup record; on_setup;
 * QVXML_FINISH_SETUP. */
int qvxml_get_setup(int id);
/* As qvxml_get_setup, then refreshes the SNMP manager cache (qvxml_get_snmp_manager_cache)
 * from the first SnmpTraps entry; QVXML_FINISH_SNMP_CACHE once refreshed. */
int qvxml_get_snmp_manager(int id);
/* Parses `length` bytes of `xml` (copied: it stops at a NUL, the rest is zero-filled) as a
 * values (setup) document on the worker, as if fetched; on_values (on_setup);
 * QVXML_FINISH_LOADED_VALUES (_SETUP). First check: a length outside 0..255999 or a null
 * `xml` fails with QV_E_LENGTH_TOO_LARGE on the id. Many-device modules do not serve loads. */
int qvxml_load_values(int id, const char *xml, int length);
int qvxml_load_setup(int id, const char *xml, int length);
/* POSTs `length` bytes of the setup document `xml` (need not be NUL-terminated), filtered for
 * upload (the device's read-only parts removed), with the module's POST credentials; the
 * reply, the device's setup document, is parsed into the setup record; on_send_setup;
 * QVXML_FINISH_SEND. The request is built on the calling thread before it is queued; a build
 * that fails returns -1 with its code on the id and queues nothing: QV_E_FILE_TOO_LARGE (the
 * request would not fit 256000 bytes), QV_E_NO_MEMORY, or the filter's QV_E_XML_NOT_VALID,
 * QV_E_BUFFER_FULL, QV_E_LENGTH_TOO_LARGE, QV_E_NULL_POINTER. A module closed while the
 * request is built: QV_E_THREAD_NOT_RUN. */
int qvxml_send_setup_xml(int id, const char *xml, int length);
/* The same for every device of many-device module `id` (active or not), each with its own
 * POST credentials; served in one round. */
int qvxml_send_setup_xml_many(int id, const char *xml, int length);
/* As qvxml_send_setup_xml, with the document written from `setup` and its `count`. */
int qvxml_send_setup(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count);
/* For every device of many-device module `id`: calls `modify` (if not null) on a copy of the
 * device's setup record, on the calling thread with no library lock held, stores the
 * modified copy back as the device's record and builds the device's POST from it; served in
 * one round. */
int qvxml_send_setup_many(int id, void (*modify)(kyvern_setup *setup));
/* POSTs a setup document whose only SNMP trap destination is `address`:`port` (no
 * authorization); QVXML_FINISH_SEND. QV_E_LENGTH_TOO_LARGE when the request would not fit. */
int qvxml_set_snmp_manager(int id, const char *address, int port);
/* 0 when request `kind` (a qvxml_finish_kind) of module `id` is finished; else -1 with
 * QV_E_NOT_FINISHED on id 0 (also for a request never asked). A kind outside 0..10 records
 * QV_E_ACTION_NOT_VALID on id 0. */
int qvxml_finish(int id, int kind);
/* Waits until request `kind` is finished (0) or `seconds` have passed (-1 with QV_E_TIMEOUT
 * on id 0, within about a second after the deadline), whatever happens to the module
 * meanwhile: when the module it began with is closed, the wait ends at once with -1 and
 * QV_E_THREAD_NOT_RUN on the module. Kinds above 1 on a module that is not running: -1 with
 * QV_E_THREAD_NOT_RUN at once. One wait per module at a time (a second one: -1 with
 * QV_E_SEM_INIT on id 0). Other codes as qvxml_finish. REQUIRES: not on the module's own
 * worker (its request cannot finish while the worker waits). */
int qvxml_wait_finish(int id, int kind, int seconds);

/* ---- Result accessors ----------------------------------------------------------------
 * The last document and records of a module (single forms) or of device `index` of a
 * many-device module (_many forms). Checks, in order, each failing with -1 and its code on
 * the id: the id; for _many forms the index (QV_E_INDEX_NOT_VALID); the last fault of the
 * module (of the device, whose record is then copied into the module's) must be one that
 * leaves the document sound (none, QV_E_NOT_FINISHED, QV_E_INDEX_NOT_VALID,
 * QV_E_FILE_NOT_FOUND, QV_E_FILE_NOT_VALID, QV_E_ID_NOT_FOUND, or a credential length code),
 * else -1 with the record as it is; for single forms the request must be finished
 * (QV_E_NOT_FINISHED); the document must not be empty (QV_E_FILE_NOT_FOUND) and must hold
 * "<?xml" (QV_E_FILE_NOT_VALID). Read them from the completion callback or after the request
 * has finished, not while another request of that kind runs. */

/* Pointer forms: `*xml` points into library storage (NUL-terminated, `*length` bytes), valid
 * until the next request of that kind or the module's close. */
int qvxml_get_values_xml(int id, char **xml, int *length);
int qvxml_get_setup_xml(int id, char **xml, int *length);
int qvxml_get_values_xml_many(int id, int index, char **xml, int *length);
int qvxml_get_setup_xml_many(int id, int index, char **xml, int *length);
/* Copy forms: the text and its NUL into `xml`, which must hold 256000 bytes. */
int qvxml_get_values_xml_copy(int id, char *xml, int *length);
int qvxml_get_setup_xml_copy(int id, char *xml, int *length);
int qvxml_get_values_xml_many_copy(int id, int index, char *xml, int *length);
int qvxml_get_setup_xml_many_copy(int id, int index, char *xml, int *length);
/* File forms: the document as received, written to `path` (created or truncated); extra
 * codes QV_E_FILE_OPEN, QV_E_FILE_WRITE, QV_E_FILE_CLOSE. */
int qvxml_get_values_to_file(int id, const char *path);
int qvxml_get_setup_to_file(int id, const char *path);
int qvxml_get_values_to_file_many(int id, int index, const char *path);
int qvxml_get_setup_to_file_many(int id, int index, const char *path);
/* Record pointers into library storage, valid until the next parse of that kind or the
 * close; QV_E_ACTION_NOT_VALID when the module has no record (none parsed yet, or an
 * on_parse hook replaced the parser). The _many forms give the device's copies. */
int qvxml_get_values_cache(int id, kyvern_values **values, kyvern_values_entry_count **count);
int qvxml_get_setup_cache(int id, kyvern_setup **setup, kyvern_setup_entry_count **count);
int qvxml_get_values_cache_many(int id, int index, kyvern_values **values,
                                kyvern_values_entry_count **count);
int qvxml_get_setup_cache_many(int id, int index, kyvern_setup **setup,
                               kyvern_setup_entry_count **count);
/* Record copies into caller storage; otherwise as the pointer forms. */
int qvxml_get_values_cache_copy(int id, kyvern_values *values, kyvern_values_entry_count *count);
int qvxml_get_setup_cache_copy(int id, kyvern_setup *setup, kyvern_setup_entry_count *count);
int qvxml_get_values_cache_many_copy(int id, int index, kyvern_values *values,
                                     kyvern_values_entry_count *count);
int qvxml_get_setup_cache_many_copy(int id, int index, kyvern_setup *setup,
                                    kyvern_setup_entry_count *count);
/* The completion time of device `index`'s last values (setup) record in `*time_stamp`
 * (seconds since the epoch, 0 before the first), then 0 when its document passes the
 * document checks; no fault gate. */
int qvxml_get_values_many_status(int id, int index, int *time_stamp);
int qvxml_get_setup_many_status(int id, int index, int *time_stamp);
/* The SNMP manager found by the last qvxml_get_snmp_manager: `address` (16 bytes) and
 * `port`; -1 with QV_E_IP_PORT_NOT_FOUND on the id when there is none. */
int qvxml_get_snmp_manager_cache(int id, char *address, int *port);

/* ---- Error records ----------------------------------------------------------------- */

/* Readers of the fault records; they record nothing themselves. Any thread.
 * REQUIRES: `out` points to a whole record. */

/* Copies the fault record of `id` into `out` (taken under the id's lock). For an id outside
 * 0..99 `out` is filled as a record of QV_E_ID_OUT_OF_RANGE with errno 0 and an empty errno
 * text. */
void qvxml_error(int id, xml_fault_record *out);
/* Copies the fault record of device `index` of many-device module `id` into `out`. When there
 * is no such device (not a many-device module, index outside its devices) `out` is filled as
 * a record of QV_E_INDEX_NOT_VALID (QV_E_ID_OUT_OF_RANGE for an id outside 0..99) with errno
 * 0, so a caller that looks only at the code sees a failure. */
void qvxml_error_many(int id, int index, xml_fault_record *out);
/* Prints the fault record of `id` to standard output as "%s (%i): %s (%i)\n": message, code,
 * errno text, errno; then flushes it. A record never written prints " (0):  (0)". */
void qvxml_error_print(int id);

/* ---- Error code table -------------------------------------------------------------- */

/* The library's codes by name (QV_E_THREAD_NOT_RUN is 40, "Thread not run"); the rows and
 * messages are include/qvxml_errors.def. */
typedef enum qv_error_code {
#define QV_ERROR(code, name, message) QV_E_##name = code,
#include "qvxml_errors.def"
    QV_E_COUNT_ /* one past the last code: QVXML_ERROR_CODE_COUNT */
} qv_error_code;

typedef struct qv_error_entry {
    int32_t code;
    const char *message;
} qv_error_entry;

/* Row n holds code n, n = 0..89. */
extern const qv_error_entry qv_error_number2str[QVXML_ERROR_CODE_COUNT];
/* Copies the message of `code` (0..89; REQUIRES it) into `buffer` (at least 38 bytes) and
 * returns `buffer`. */
char *qv_error_i2s(int code, char *buffer);

/* ---- Utilities: debug log, strings, files, Base64 ---------------------------------- */

typedef void (*qv_debug_callback)(const char *text, void *user);
/* Installs the log callback (null: log to standard output). Call before threads run. */
void qvgapi_debug(qv_debug_callback callback, void *user);
/* printf-style log line: to standard output with a newline (one locked write), or formatted
 * whole, without a newline, and handed to the callback (a line that cannot be formatted or
 * allocated is dropped). Any thread. */
void qv_debug(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
/* strsep: the text at *cursor up to the first of `delimiters`, which is overwritten by NUL;
 * *cursor moves past it (null after the last token); null when *cursor is null. */
char *qv_strsep(char **cursor, const char *delimiters);
/* strtok_r: the next token of `text` (null: continue at *cursor), skipping delimiters
 * before it; null when no token is left. */
char *qv_strtok_r(char *text, const char *delimiters, char **cursor);
/* The last component of `path` after "\\" (or, without one, "/"); a trailing separator is
 * removed first, in place. REQUIRES: `path` NUL-terminated and writable. */
char *qv_basename(char *path);
/* The value of the hexadecimal digits of `text` (other characters are skipped), modulo
 * 2^32. */
unsigned int qv_htoi(const char *text);
/* Replaces every `from` in the NUL-terminated `text` by `to`, in place; a null text or a
 * `from` of NUL changes nothing. */
void char_replace(char *text, char from, char to);

/* Base64 (RFC 4648 alphabet, "=" padding). Outputs are never NUL-terminated. Each function
 * returns the characters or bytes written, or with a null destination the number needed;
 * `*result_code` (when given): B64_RC_OK, B64_RC_INSUFFICIENT_BUFFER (nothing written) or
 * B64_RC_DATA_ERROR (decoding: a character rejected by the flags; `*bad_character` points at
 * it). b64_encode2's line length: B64_F_LINE_LEN_USE_PARAM takes `line_length` (a multiple
 * of 4; negative: 64), or one of the fixed lengths; lines end with CR LF. A caller error (a
 * bad flag or line length) stops the program with a message naming the failed check. */
#define B64_F_LINE_LEN_USE_PARAM 0x0000
#define B64_F_LINE_LEN_INFINITE 0x0001
#define B64_F_LINE_LEN_64 0x0002
#define B64_F_LINE_LEN_76 0x0003
#define B64_F_STOP_ON_UNKNOWN_CHAR 0x0100
#define B64_F_STOP_ON_BAD_CHAR 0x0200
#define B64_RC_OK 0
#define B64_RC_INSUFFICIENT_BUFFER 1
#define B64_RC_DATA_ERROR 3

size_t b64_encode(const void *source, size_t source_size, char *destination,
                  size_t destination_size);
size_t b64_encode2(const void *source, size_t source_size, char *destination,
                   size_t destination_size, unsigned flags, int line_length, int *result_code);
size_t b64_decode(const char *source, size_t source_size, void *destination,
                  size_t destination_size);
size_t b64_decode2(const char *source, size_t source_size, void *destination,
                   size_t destination_size, unsigned flags, const char **bad_character,
                   int *result_code);

#ifdef __cplusplus
}
#endif

#endif /* QVXML_H */
