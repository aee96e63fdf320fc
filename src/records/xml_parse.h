// Parsing device documents into the module's records, and writing a setup record as XML.
#pragma once

#include <cstddef>

#include "qvxml.h"

// Parses `len` bytes of `data` (type 0 values, 1 setup) into the records of module `id`
// (0..99), allocating them on first use. Rewrites a prefixed root tag in `data` in place.
// REQUIRES: the caller holds mutex 0 (parses never overlap) and runs on the module's
// worker. Returns 0 (also for a document that is not well-formed: the records keep what
// was read), or -1 with code 45 (parse failed or the on_parse hook refused) or 5 (no
// memory); a type other than 0 or 1 returns -1 and records nothing.
int xml_parse(int id, char *data, int len, int type);

// Appends the setup document of `record`/`count` to the NUL-terminated text in `buffer`
// (`capacity` bytes in all). Returns 0, or -1 when the document would not fit, in which
// case nothing is written past `capacity` (callers refuse the record with code 12).
int struct2xml(const kyvern_setup *record, const kyvern_setup_entry_count *count, char *buffer,
               size_t capacity);
