// Silencing libxml2's error reporting around one parse.
#pragma once

#include <libxml/globals.h>
#include <libxml/xmlerror.h>

// For its lifetime, sends libxml2's errors on the calling thread (libxml2 keeps the handlers
// per thread) to `structured` with `context`, drops generic messages, and then restores what
// the thread had before, so other users of libxml2 on that thread keep their own reporting.
// The library writes no log of its own: parse errors reach only the parse result.
class libxml2_error_scope {
public:
    static void ignore_structured(void *, xmlErrorPtr) {}
    static void ignore_generic(void *, const char *, ...) {}

    explicit libxml2_error_scope(void *context = nullptr,
                                 xmlStructuredErrorFunc structured = ignore_structured)
        : structured_(xmlStructuredError),
          structured_context_(xmlStructuredErrorContext),
          generic_(xmlGenericError),
          generic_context_(xmlGenericErrorContext) {
        xmlSetStructuredErrorFunc(context, structured);
        xmlSetGenericErrorFunc(context, ignore_generic);
    }
    ~libxml2_error_scope() {
        xmlSetStructuredErrorFunc(structured_context_, structured_);
        xmlSetGenericErrorFunc(generic_context_, generic_);
    }
    libxml2_error_scope(const libxml2_error_scope &) = delete;
    libxml2_error_scope &operator=(const libxml2_error_scope &) = delete;

private:
    xmlStructuredErrorFunc structured_;
    void *structured_context_;
    xmlGenericErrorFunc generic_;
    void *generic_context_;
};
