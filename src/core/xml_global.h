// Per-id fault records (the library's last-error reporting) and two small helpers.
// The public readers of the records and char_replace are declared, with their contracts, in
// qvxml.h.
#pragma once

#include "qvxml.h"

// The last fault of each module id 0..99, zero at start (code 0, errno 0, empty texts).
// Entry n is guarded by the mutex of id n (xml_module[n].mutex); read it with qvxml_error.
extern xml_fault_record xml_fault[QVXML_ID_COUNT_MAX];

// Records `code` for `id` as a fault the library found itself (a document that does not
// parse, a size limit, a missing document, a refused state or request, an id or argument
// check, an HTTP error status): errno 0 with its text, whatever errno holds, so that the
// record never names the leftover of an unrelated earlier system call. Overwrites the whole
// record: the message of the code (an unknown code is kept as given, with the message
// "NULL"), the errno and its text, the code. Holds the mutex of `id` for the write; may be
// called while the caller already holds it. An id outside 0..99 is recorded on id 0 (the
// library's record), as failures that concern no module are. Preserves errno. Any thread.
void xml_except(int id, int code);

// As xml_except, for a fault that follows a failed system call (a socket, connect, send or
// recv, a file's open, write or close, a thread's creation, name resolution, an allocation):
// records `error`, that call's errno saved right after it (anything run in between may
// change errno), and its text (taken thread-safely). A readiness wait that ran out records
// ETIMEDOUT, the errno the system gives a connection that timed out. `error` 0 records as
// xml_except does. Preserves errno. Any thread.
void xml_except_errno(int id, int code, int error);

// Copies one whole record from `from` to `to` while holding the mutex of `id` (0..99).
// REQUIRES: both point to whole records (they may be the same).
void xml_except_copy(int id, xml_fault_record *to, const xml_fault_record *from);

// The public readers (qvxml_error, qvxml_error_many, qvxml_error_print) are declared with
// their contracts in qvxml.h.

// Writes `length` bytes of `data` to the file `path`, opened with mode "w" (created or
// truncated). Returns 0, or -1 with a code recorded for `id`: 6 when the file cannot be
// opened, 7 when the bytes are not all written (the file may then exist, empty or partly
// written) or when there is nothing that could be written (a negative length, or a null
// `data` with a positive length: the file is not touched), 9 when closing fails. The failed
// open, write or close is recorded with its errno; the refused arguments (and a null `path`,
// recorded as 6) with errno 0. A length of 0 writes an empty file. The caller keeps
// ownership of `data`.
int write_xml(int id, const char *path, const char *data, int length);
