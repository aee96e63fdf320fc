// The setup upload filter: strips what a device must not take from an uploaded setup
// document and moves every Idx to the start of its entry.
#pragma once

// `document` is a writable buffer of `size` bytes holding the NUL-terminated document
// followed by zero bytes. On success it holds the rewritten document and the result is 0.
// On failure the result is -1, a code is recorded on `module` and the buffer is unchanged.
// Thread-safe (libxml2 must have been initialised).
int xml_setup_prepare(int module, char *document, int size);
