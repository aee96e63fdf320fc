// Parsing device documents into the module's records, and writing a setup record as XML.
#pragma once

#include <cstddef>

#include "core/xml_module.h"
#include "platform/thread_annotations.h"
#include "qvxml.h"

// Bytes of the element-path buffers of a parse (the open elements' names joined by "_").
inline constexpr size_t XML_PATH_SIZE = 10000;

// Parses `len` bytes of `data` (type 0 values, 1 setup) into the records of module `id`
// (0..99): p_kyvern_values/p_kyvern_values_entry_count or p_kyvern_setup/
// p_kyvern_setup_entry_count, allocated with malloc on the module's first parse of that
// type (free them with xml_records_free) and cleared to zero before every parse.
//
// When the module's on_parse hook is set it replaces all of this: 0 from it gives 0,
// anything else -1 with QV_E_XML_NOT_VALID; records are then neither allocated nor touched.
// Otherwise libxml2's SAX parser runs over the text; then the power-meter post-parser
// (values only) and the module's on_parsed hook (which may change the parse result).
// Both hooks get the module's user pointer.
//
// Root rewrite, in `data` itself: the first "<val:Root" (values) or "<set:Root" (setup)
// starting at 0 .. len - 10, if it starts in the first half (len - p > p) and a ">" follows
// at some q < len - p, has bytes p..q replaced by "<Root>" padded with blanks; then the last
// "</val:Root>" / "</set:Root>" after q within `len` becomes "</Root>" padded with blanks.
// The text keeps its length; nothing else is changed and nothing outside `len` is touched.
//
// Storing: a piece of character data (at most 152 bytes of it) is appended to its field
// when the field then holds at most width - 2 characters, else dropped whole.
// Bounds: Entry elements beyond a set's capacity are neither counted nor stored (counts
// never exceed the capacity). An element whose path would not fit in XML_PATH_SIZE bytes
// (terminator included) is not added to the path: its text and that of everything inside
// it are ignored, and its end tag leaves the path as it was. Closing an element never cuts
// more than the path holds. libxml2's error output is silenced on the calling thread for
// the length of the parse (its previous handlers are restored afterwards).
//
// Returns 0 on success, also for a document that is not well-formed (libxml2's positive error
// number: the records keep what was read up to the error); -1 with QV_E_XML_NOT_VALID for a
// negative parse result (empty or null text, for instance) or a refusing on_parse hook; -1 with
// QV_E_NO_MEMORY when a record cannot be allocated; -1 without a code for an `id` outside 0..99 or
// a `type` other than 0 or 1. All parse state is private to the call.
// The caller holds mutex 0 (parses never overlap; the records are shared).
// REQUIRES: `data` holds at least `len` writable bytes.
int xml_parse(int id, char *data, int len, int type) REQUIRES(xml_module[0].mutex);

// Appends the setup document of `record`/`count` to the NUL-terminated text in `buffer` (`capacity`
// bytes in all): an XML declaration line, then every element of the record in record order, one per
// line, lines separated by single line feeds, no line feed at the end. Element text is written as
// stored except that "&" becomes "&amp;", "<" "&lt;" and the ">" of "]]>" "&gt;", so the document
// is well-formed and parses back to the same record. Counts below 0 are taken as 0 and counts above
// a set's capacity as the capacity. Returns 0, or -1 when the document would not fit (or `buffer`
// holds no terminator within `capacity`): the text in `buffer` is then left as it was and nothing
// is written at or past `capacity` (callers refuse the record with QV_E_FILE_TOO_LARGE). Runs in
// time linear in its output; thread-safe for distinct buffers.
int struct2xml(const kyvern_setup *record, const kyvern_setup_entry_count *count, char *buffer,
               size_t capacity);
