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

/* ---- Library lifecycle and module table -------------------------------------------- */

int qvxml_init(void);
/* Closes every module, then stops the library's own thread. -1 with 80 on id 0 for an extra
 * qvxml_init still to be matched; -1 with 39 on id 0 when a module could not be closed (a
 * callback that does not return): the library then stays initialised and a later call may
 * finish the shutdown. 0 otherwise, also when the library was not initialised. */
int qvxml_uninit(void);
void qvxml_count_ref2zero(void);
void qvxml_xml_init_parser(void);
int qvxml_open(const char *host, int port, const qvxml_settings *settings, void *user);
int qvxml_open_many(void *user);
int qvxml_add_module(int id, const char *host, int port, const qvxml_settings *settings);
int qvxml_count_modules(int id);
int qvxml_active_modules(int id, const int *flags);
int qvxml_type_of(int id);
int qvxml_get_module(int id, char *addr, int *port);
int qvxml_get_module_ex(int id, char *host, char *addr, int *port);
int qvxml_get_module_many(int id, int index, char *addr, int *port);
int qvxml_get_module_many_ex(int id, int index, char *host, char *addr, int *port);
/* Closes module `id` from any thread but the module's own worker: asks the worker to end,
 * wakes it wherever it waits (a socket wait ends at once) and wakes the module's waiter,
 * which then fails with code 40 on the module; joins the worker (at most 3000 ms) and frees
 * the module. The id stays taken until all of that is done, so no concurrent open gets it.
 * Returns 0, or -1 with: 18 on id 0 (id outside 1..99), 16 on the id (not open), 39 on the
 * id (the worker did not end in time: the module stays closing and a later close may finish
 * it; or the call came from the module's own callback, which is refused and leaves the module
 * running). A close that finds another close of the module in progress waits for it. */
int qvxml_close(int id);
/* Closes the calling worker's own module from inside its callback (any callback or parse
 * hook of the module) and ends that thread: it does not return, and the module is freed once
 * the callback's frames are gone. Called on any other thread it is qvxml_close (and returns). */
void qvxml_close_for_callback(int id);
int qvxml_clr_callback(int any, qvxml_callbacks *callbacks);
int qvxml_clr_settings_struct(qvxml_settings *settings);
int qvxml_callback(int id, const qvxml_callbacks *callbacks);
int qvxml_authenticate_get(int id, const char *user, const char *password);
int qvxml_authenticate_set(int id, const char *user, const char *password);

/* ---- Requests ------------------------------------------------------------------------
 * Finish kinds for qvxml_finish / qvxml_wait_finish: 0,1 running; 2,3 values; 4,5 setup;
 * 6 SNMP cache; 7,8 send; 9 loaded values; 10 loaded setup.
 *
 * Queueing operations return 0, or -1 with a code on the module: 40 when it is not running,
 * 21 when a request still pending or being served uses the buffer this one would write (the
 * values document: values GET and load; the setup document: setup and SNMP GET, setup load
 * and a POST's reply; the POST request: every send operation, also while another thread
 * builds one). A refused call leaves every buffer untouched. Any thread, also a callback.
 * The send operations build the request on the calling thread outside the module's lock and
 * hand it over only if the module still runs (else -1 with 40). */

int qvxml_get_values(int id);
int qvxml_get_setup(int id);
int qvxml_get_snmp_manager(int id);
int qvxml_load_values(int id, const char *xml, int length);
int qvxml_load_setup(int id, const char *xml, int length);
int qvxml_send_setup_xml(int id, const char *xml, int length);
int qvxml_send_setup_xml_many(int id, const char *xml, int length);
int qvxml_send_setup(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count);
int qvxml_send_setup_many(int id, void (*modify)(kyvern_setup *setup));
int qvxml_set_snmp_manager(int id, const char *address, int port);
/* 0 when request `kind` of module `id` is finished; else -1 with code 1 on id 0. A kind
 * outside 0..10 records 2, an id outside 0..99 records 18, both on id 0. */
int qvxml_finish(int id, int kind);
/* Waits until request `kind` is finished (0) or `seconds` have passed (-1 with 19 on id 0,
 * within about a second after the deadline), whatever happens to the module meanwhile: when
 * the module it began with is closed, the wait ends at once with -1 and code 40 on the
 * module. Kinds 2..10 on a module that is not running: -1 with 40 at once. One wait per
 * module at a time (a second one: -1 with 20 on id 0); codes 2 and 18 as qvxml_finish. */
int qvxml_wait_finish(int id, int kind, int seconds);

/* ---- Result accessors -------------------------------------------------------------- */

int qvxml_get_values_xml(int id, char **xml, int *length);
int qvxml_get_setup_xml(int id, char **xml, int *length);
int qvxml_get_values_xml_many(int id, int index, char **xml, int *length);
int qvxml_get_setup_xml_many(int id, int index, char **xml, int *length);
int qvxml_get_values_xml_copy(int id, char *xml, int *length);
int qvxml_get_setup_xml_copy(int id, char *xml, int *length);
int qvxml_get_values_xml_many_copy(int id, int index, char *xml, int *length);
int qvxml_get_setup_xml_many_copy(int id, int index, char *xml, int *length);
int qvxml_get_values_to_file(int id, const char *path);
int qvxml_get_setup_to_file(int id, const char *path);
int qvxml_get_values_to_file_many(int id, int index, const char *path);
int qvxml_get_setup_to_file_many(int id, int index, const char *path);
int qvxml_get_values_cache(int id, kyvern_values **values, kyvern_values_entry_count **count);
int qvxml_get_setup_cache(int id, kyvern_setup **setup, kyvern_setup_entry_count **count);
int qvxml_get_values_cache_many(int id, int index, kyvern_values **values,
                                kyvern_values_entry_count **count);
int qvxml_get_setup_cache_many(int id, int index, kyvern_setup **setup,
                               kyvern_setup_entry_count **count);
int qvxml_get_values_cache_copy(int id, kyvern_values *values, kyvern_values_entry_count *count);
int qvxml_get_setup_cache_copy(int id, kyvern_setup *setup, kyvern_setup_entry_count *count);
int qvxml_get_values_cache_many_copy(int id, int index, kyvern_values *values,
                                     kyvern_values_entry_count *count);
int qvxml_get_setup_cache_many_copy(int id, int index, kyvern_setup *setup,
                                    kyvern_setup_entry_count *count);
int qvxml_get_values_many_status(int id, int index, int *time_stamp);
int qvxml_get_setup_many_status(int id, int index, int *time_stamp);
int qvxml_get_snmp_manager_cache(int id, char *address, int *port);

/* ---- Error records ----------------------------------------------------------------- */

/* Copies the fault record of `id` (0..99) into `out`. */
void qvxml_error(int id, xml_fault_record *out);
/* Copies the fault record of device `index` of many-device module `id` into `out`. */
void qvxml_error_many(int id, int index, xml_fault_record *out);
/* Prints the fault record of `id` as "%s (%i): %s (%i)\n": message, code, errno text,
 * errno. */
void qvxml_error_print(int id);

/* ---- Error code table -------------------------------------------------------------- */

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
/* printf-style log line: to standard output with a newline, or whole to the callback. */
void qv_debug(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
char *qv_strsep(char **cursor, const char *delimiters);
char *qv_strtok_r(char *text, const char *delimiters, char **cursor);
char *qv_basename(char *path);
unsigned int qv_htoi(const char *text);
/* Replaces every `from` in the NUL-terminated `text` by `to`, in place. */
void char_replace(char *text, char from, char to);

/* Base64 (RFC 4648 alphabet). Result codes: 0 success, 1 destination too small,
 * 3 rejected character. A null destination returns the length needed. */
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
