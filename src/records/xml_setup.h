// The setup upload filter: strips what a device must not take from an uploaded setup
// document and moves every Idx to the start of its entry.
// Glossary: it_is_blacklist is the library's documented name of the filter's path test ("is
// this path one the filter removes").
#pragma once

// `document` is a writable buffer of `size` bytes holding the NUL-terminated document
// followed by zero bytes. On success it holds the rewritten document and the result is 0.
// On failure the result is -1, a code is recorded on `module` and the buffer is unchanged.
// Thread-safe (libxml2 must have been initialised).
//
// The rewritten document is "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" followed by the
// kept elements (no attributes, comments or processing instructions; empty-element tags as a
// start and an end tag), text with '&' and '<' escaped, and runs of newlines collapsed to one.
// The root is written by its local name (set:Root becomes Root) and element paths are formed
// from that name, so prefixed and unprefixed roots are filtered alike. Every Idx element is
// removed where it stands and its value (all of its text, possibly empty) is written as
// "\n<Idx>value</Idx>" right after the start tag of the element that held it; an element
// that held no Idx receives none, and a value whose element was removed is removed with it.
// The whole document is read (up to its terminator or `size` bytes) before anything is
// written to `document`.
//
// Failure codes:
//   QV_E_NO_MEMORY        the filter's work memory could not be allocated.
//   QV_E_XML_NOT_VALID    `size` <= 0, or the document is not well-formed. The one
//                         error accepted is an end tag of the root that does not match
//                         its start tag (a stored document whose root start tag alone
//                         was rewritten to <Root>): the whole document has then been
//                         read and the output's root is closed. Also a document
//                         of which nothing is kept (its root is an Idx element).
//   QV_E_BUFFER_FULL      the rewritten text would exceed 255999 characters, or it
//                         would not fit `size` bytes with its terminator, or the
//                         document holds more than 999 Idx elements.
//   QV_E_LENGTH_TOO_LARGE the text of one Idx element exceeds 99 bytes, or an element
//                         path (names of the open elements joined by '_') exceeds 9999.
//   QV_E_NULL_POINTER     `document` is null (or an internal item is missing).
// Nothing is ever cut: a document beyond a bound is refused whole.
// Thread-safety: may run on any thread, also while other threads parse; it installs silent
// libxml2 error handlers for the calling thread only and restores the thread's previous ones.
int xml_setup_prepare(int module, char *document, int size);

// 1 when `path` (element names from the root, joined by '_', such as "Root_Network_IPAddr") is
// one of the 19 paths the filter removes, else 0 (also for null).
int it_is_blacklist(const char *path);
