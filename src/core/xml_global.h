// Per-id fault records (the library's last-error reporting) and two small helpers.
#pragma once

#include "qvxml.h"

// The last fault of each module id 0..99, guarded by the mutex of the same id.
extern xml_fault_record xml_fault[QVXML_ID_COUNT_MAX];

// Records `code` for `id` (0..99): the message of the code (unknown codes: "NULL" with the
// code kept as given), the calling thread's errno and its text (thread-safe), the code.
// Preserves errno.
void xml_except(int id, int code);
// Copies one whole record from `from` to `to` while holding the mutex of `id`.
void xml_except_copy(int id, xml_fault_record *to, const xml_fault_record *from);
// Writes `length` bytes of `data` to `path` (mode "w"). 0, or -1 with code 6 (open),
// 7 (write) or 9 (close) recorded for `id`.
int write_xml(int id, const char *path, const char *data, int length);
