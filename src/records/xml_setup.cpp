// The setup upload filter. Two SAX passes over the caller's document: the first collects the
// text of every Idx element together with the element that holds it, the second writes the
// kept elements and text to a private output buffer and inserts each collected Idx right after
// the start tag of its own entry. The caller's buffer is written only once everything has
// succeeded and the result is known to fit.
//
// All state lives in one heap context per call: the filter runs on callers' threads while
// worker threads parse other documents, so nothing here is shared except constant tables.
#include "records/xml_setup.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/xml_global.h"
#include "records/libxml2_errors.h"

namespace {

constexpr int code_memory = 5;         // "Memory not found"
constexpr int code_not_valid = 45;     // "XML file not valid"
constexpr int code_buffer_full = 75;   // "Buffer is full"
constexpr int code_length = 81;        // "Length > LENGTH_MAX"
constexpr int code_null_pointer = 85;  // "Assert: Pointer is NULL"

constexpr int out_size = 256000;  // output text, terminator included
constexpr int path_size = 10000;  // element path, terminator included
constexpr int item_slots = 1000;  // item table: at most 999 values, the last slot stays empty
constexpr int idx_size = 100;     // Idx text, terminator included
// Every open element adds at least one character and one separator to the path, so the path
// bound also bounds the depth.
constexpr int max_depth = path_size / 2 + 1;

constexpr char declaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
constexpr int declaration_length = sizeof declaration - 1;

// Paths whose elements (with everything inside them) a device must not take from an upload.
struct listed_path {
    const char *path;
    int length;
};
template <int N>
constexpr listed_path listed(const char (&path)[N]) {
    return {path, N - 1};
}
constexpr listed_path blacklist[19] = {
    listed("Root_Agent"),
    listed("Root_BinaryInSet_Entry_Value"),
    listed("Root_BinaryInSet_Entry_State"),
    listed("Root_BinaryOutSet_Entry_Type"),
    listed("Root_SenSet_Entry_Value"),
    listed("Root_SenSet_Entry_Units"),
    listed("Root_SenSet_Entry_State"),
    listed("Root_Network_IPAddr"),
    listed("Root_Network_Submask"),
    listed("Root_Network_Gateway"),
    listed("Root_Network_HTTPport"),
    listed("Root_Network_DHCP"),
    listed("Root_Time_TimeShift"),
    listed("Root_Time_Date"),
    listed("Root_Time_Time"),
    listed("Root_MIBIISysGroup_SysName"),
    listed("Root_User_Entry_Idx"),
    listed("Root_User_Entry_Name"),
    listed("Root_User_Entry_Pswd"),
};

constexpr unsigned long long blacklist_lengths = [] {
    unsigned long long mask = 0;
    for (const listed_path &entry : blacklist) mask |= 1ull << entry.length;
    return mask;
}();

// The blacklist test on a path of known length: lengths first, so most paths cost no
// comparison of text.
bool on_blacklist(const char *path, int length) {
    if (length >= 64 || ((blacklist_lengths >> length) & 1) == 0) return false;
    for (const listed_path &entry : blacklist) {
        // Listed paths of one length differ in their last character or right after "Root_".
        if (entry.length != length || entry.path[length - 1] != path[length - 1] ||
            entry.path[5] != path[5])
            continue;
        if (std::memcmp(entry.path, path, length) == 0) return true;
    }
    return false;
}

// One collected Idx value, one heap block each. `owner` is the ordinal (1-based, in document
// order) of the start tag of the element that holds the Idx element; both passes count start
// tags alike, so pass 2 finds the entry by it. `path` is that element's path (at most
// path_size bytes with its terminator), kept as a check; it is stored in the same block right
// after the fixed part, sized to the path, so that a few hundred entries cost kilobytes, not
// megabytes of fresh pages on every call.
struct idx_item {
    char idx[idx_size];
    int idx_length;
    long owner;
    char *path;
};

idx_item *new_item(const char *path, int path_length) {
    void *block = std::malloc(sizeof(idx_item) + path_length + 1);
    if (block == nullptr) return nullptr;
    auto *item = static_cast<idx_item *>(block);
    item->path = static_cast<char *>(block) + sizeof(idx_item);
    std::memcpy(item->path, path, path_length + 1);
    item->idx[0] = '\0';
    item->idx_length = 0;
    item->owner = 0;
    return item;
}

// One open element.
struct frame {
    int path_length;  // length of the path before this element's name was appended
    long ordinal;     // ordinal of this element's start tag
    bool is_idx;      // the element is named exactly "Idx"
    int outer_idx;    // pass 1: item that received text before this element opened (-1: none)
};

struct setup_filter_context {
    int copy_on;          // 1 while elements and text are copied to the output
    int pass;             // 1 or 2
    int item_index;       // pass 1: values collected; pass 2: next item to insert
    int in_idx;           // number of open Idx elements
    int out_of_memory;    // an item block could not be allocated
    int items_exhausted;  // an item to insert was missing

    // Bookkeeping kept so that nothing is rescanned and no bound is passed; next to the flags
    // above, so that a handler call touches few cache lines.
    int stopped;  // any of out_of_memory, items_exhausted, refused: handlers do nothing
    int refused;  // bound exceeded: the code to record, 0 while within bounds
    int out_length;
    int path_length;
    int depth;              // open elements
    int suppress_depth;     // depth of the element that switched copying off; 0 while copying
    long ordinal;           // start tags seen in this pass
    int item_count;         // values collected by pass 1
    int current_idx;        // pass 1: item receiving text (-1: none)
    int error_count;        // parser errors (warnings not counted) in this pass
    int first_error;        // libxml2 code of the first of them
    int first_error_depth;  // open elements when it was reported

    char out[out_size];
    char path[path_size];
    idx_item *items[item_slots];
    frame frames[max_depth + 1];
    xmlSAXHandler sax;  // per-call copy of mySAXParseCallbacks
};

bool halted(const setup_filter_context *c) {
    return c->stopped != 0;
}

void refuse(setup_filter_context *c, int code) {
    if (c->refused == 0) c->refused = code;
    c->stopped = 1;
}

// Appends `length` bytes to the output; refuses with 75 when they would not fit with the
// terminator.
void append(setup_filter_context *c, const char *text, int length) {
    if (c->refused) return;
    if (length > out_size - 1 - c->out_length) {
        refuse(c, code_buffer_full);
        return;
    }
    std::memcpy(c->out + c->out_length, text, length);
    c->out_length += length;
    c->out[c->out_length] = '\0';
}

// How append_text treats each byte: 0 copied, 1 newline, 2 '&', 3 '<', 4 '>'.
constexpr struct text_classes {
    unsigned char of[256];
    constexpr text_classes() : of() {
        of[static_cast<unsigned char>('\n')] = 1;
        of[static_cast<unsigned char>('&')] = 2;
        of[static_cast<unsigned char>('<')] = 3;
        of[static_cast<unsigned char>('>')] = 4;
    }
} text_class;

// Appends character data as XML text: the parser hands it over with references replaced, so
// '&' and '<' are escaped again, and a '>' that would close "]]>" is escaped as well. A newline
// directly after a newline is dropped, so that runs of newlines (blank lines) become one.
// Refuses with 75 when the text would not fit with the terminator.
void append_text(setup_filter_context *c, const char *text, int length) {
    if (c->refused) return;
    char *const begin = c->out;
    char *const limit = c->out + out_size - 1;  // the terminator may go here, nothing else
    char *o = begin + c->out_length;
    int i = 0;
    while (i < length) {
        // A run of bytes copied as they are.
        int run = i;
        while (run < length && text_class.of[static_cast<unsigned char>(text[run])] == 0) ++run;
        if (run > i) {
            if (limit - o < run - i) goto full;
            std::memcpy(o, text + i, run - i);
            o += run - i;
            i = run;
            if (i == length) break;
        }
        const char *replacement;
        int n;
        switch (text_class.of[static_cast<unsigned char>(text[i++])]) {
            case 1:
                if (o != begin && o[-1] == '\n') continue;
                replacement = "\n";
                n = 1;
                break;
            case 2:
                replacement = "&amp;";
                n = 5;
                break;
            case 3:
                replacement = "&lt;";
                n = 4;
                break;
            default:
                if (o - begin >= 2 && o[-1] == ']' && o[-2] == ']') {
                    replacement = "&gt;";
                    n = 4;
                } else {
                    replacement = ">";
                    n = 1;
                }
                break;
        }
        if (limit - o < n) goto full;
        std::memcpy(o, replacement, n);
        o += n;
    }
    *o = '\0';
    c->out_length = static_cast<int>(o - begin);
    return;
full:
    refuse(c, code_buffer_full);
}

// The name as it enters the path and the output: the root by its local name, so that a
// prefixed root (set:Root) is filtered like an unprefixed one; other elements as reported.
// A root whose text after its last colon is no name ("a:", "a:1") keeps its whole name, so
// the output never holds a tag such as "<>" or "<1>".
const char *element_name(const setup_filter_context *c, const char *name) {
    if (c->depth != 0) return name;
    const char *colon = std::strrchr(name, ':');
    if (colon == nullptr) return name;
    const char *local = colon + 1;
    return xmlValidateNCName(reinterpret_cast<const xmlChar *>(local), 0) == 0 ? local : name;
}

// Appends "<name>" (`end` false) or "</name>".
void write_tag(setup_filter_context *c, bool end, const char *name, int name_length) {
    const int length = name_length + (end ? 3 : 2);
    if (c->refused) return;
    if (length > out_size - 1 - c->out_length) {
        refuse(c, code_buffer_full);
        return;
    }
    char *at = c->out + c->out_length;
    *at++ = '<';
    if (end) *at++ = '/';
    std::memcpy(at, name, name_length);
    at[name_length] = '>';
    c->out_length += length;
    c->out[c->out_length] = '\0';
}

// Pass 1: opens a new item for an Idx element held by the element on top of the stack.
void collect_idx_start(setup_filter_context *c) {
    // 999 values at most: the table's last slot stays empty, as a terminator.
    if (c->item_index >= item_slots - 1) {
        refuse(c, code_buffer_full);
        return;
    }
    idx_item *item = new_item(c->path, c->path_length);
    if (item == nullptr) {
        c->out_of_memory = 1;
        c->stopped = 1;
        return;
    }
    item->owner = c->depth > 0 ? c->frames[c->depth - 1].ordinal : 0;
    c->items[c->item_index] = item;
    c->current_idx = c->item_index;
    c->item_index++;
}

// After pass 1: orders the items by owner (stable), so that pass 2 meets them in the order of
// their entries' start tags also when an Idx inside a child element precedes its parent's.
void sort_items(setup_filter_context *c) {
    for (int i = 1; i < c->item_count; ++i) {
        idx_item *item = c->items[i];
        int j = i;
        for (; j > 0 && c->items[j - 1]->owner > item->owner; --j) c->items[j] = c->items[j - 1];
        c->items[j] = item;
    }
}

// Pass 2: inserts the values whose entry is the element just opened (ordinal `ordinal`), when
// its start tag was written; values of entries that were not written are dropped with them.
void insert_idx(setup_filter_context *c, long ordinal, bool written) {
    while (c->item_index < c->item_count && !halted(c)) {
        const idx_item *item = c->items[c->item_index];
        if (item == nullptr) {
            c->items_exhausted = 1;
            c->stopped = 1;
            return;
        }
        if (item->owner > ordinal) return;
        if (item->owner == ordinal && written && std::strcmp(item->path, c->path) == 0) {
            append_text(c, "\n", 1);
            append(c, "<Idx>", 5);
            append_text(c, item->idx, item->idx_length);
            append(c, "</Idx>", 6);
        }
        c->item_index++;
    }
}

void start_element(void *user, const xmlChar *raw_name, const xmlChar **attributes) {
    (void)attributes;
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c)) return;
    const char *name = element_name(c, reinterpret_cast<const char *>(raw_name));
    const bool is_idx = name[0] == 'I' && name[1] == 'd' && name[2] == 'x' && name[3] == '\0';
    if (c->depth >= max_depth) {
        refuse(c, code_length);
        return;
    }
    frame &f = c->frames[c->depth];
    f.is_idx = is_idx;
    f.outer_idx = c->current_idx;
    if (is_idx && c->pass == 1) {
        collect_idx_start(c);  // records the path before "Idx" is appended
        if (halted(c)) return;
    }

    // Append "_" and the name to the path (no "_" before the first name), within its bound.
    const int name_start = c->path_length + (c->path_length > 0 ? 1 : 0);
    char *const end = c->path + path_size - 1;  // room for the terminator
    char *dst = c->path + name_start;
    for (const char *src = name; *src != '\0'; ++src) {
        if (dst >= end) {
            refuse(c, code_length);
            return;
        }
        *dst++ = *src;
    }
    *dst = '\0';
    if (c->path_length > 0) c->path[c->path_length] = '_';
    f.path_length = c->path_length;
    f.ordinal = ++c->ordinal;
    c->path_length = static_cast<int>(dst - c->path);
    c->depth++;
    if (is_idx) c->in_idx++;
    if (c->pass == 1) return;

    if (c->suppress_depth == 0) {
        if (is_idx || on_blacklist(c->path, c->path_length)) {
            c->suppress_depth = c->depth;
        } else {
            write_tag(c, false, c->path + name_start, c->path_length - name_start);
        }
    }
    c->copy_on = c->suppress_depth == 0;
    if (c->item_index < c->item_count) insert_idx(c, f.ordinal, c->copy_on != 0);
}

// The end tag is written with the name its start tag entered the path with (the parser has
// checked that they match).
void end_element(void *user, const xmlChar *raw_name) {
    (void)raw_name;
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || c->depth == 0) return;
    c->depth--;
    const frame &f = c->frames[c->depth];
    if (f.is_idx) {
        c->in_idx--;
        c->current_idx = f.outer_idx;  // text after a nested Idx belongs to the outer one
    }

    if (c->pass == 2) {
        if (c->suppress_depth == 0) {
            const int name_start = f.path_length + (f.path_length > 0 ? 1 : 0);
            write_tag(c, true, c->path + name_start, c->path_length - name_start);
        }
        if (c->suppress_depth == c->depth + 1) c->suppress_depth = 0;
        c->copy_on = c->suppress_depth == 0;
    }
    c->path_length = f.path_length;
    c->path[c->path_length] = '\0';
}

void chars_found(void *user, const xmlChar *raw_text, int length) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || length <= 0) return;
    const char *text = reinterpret_cast<const char *>(raw_text);
    if (c->pass == 1) {
        // Pieces of one Idx element (a reference splits its text) are joined into one value.
        if (c->in_idx == 0 || c->current_idx < 0) return;
        idx_item *item = c->items[c->current_idx];
        if (length > idx_size - 1 - item->idx_length) {
            refuse(c, code_length);
            return;
        }
        std::memcpy(item->idx + item->idx_length, text, length);
        item->idx_length += length;
        item->idx[item->idx_length] = '\0';
        return;
    }
    if (c->suppress_depth == 0 && c->in_idx == 0) append_text(c, text, length);
}

// Counts the parser's errors of this pass without printing them. Called on the parsing thread.
using error_argument =
    std::conditional_t<std::is_invocable_v<xmlStructuredErrorFunc, void *, const xmlError *>,
                       const xmlError *, xmlErrorPtr>;
void count_error(void *user, error_argument error) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (c == nullptr || error == nullptr || error->level < XML_ERR_ERROR) return;
    if (c->error_count++ == 0) {
        c->first_error = error->code;
        c->first_error_depth = c->depth;
    }
}

xmlSAXHandler make_callbacks() {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.initialized = 1;  // first-generation table: the three handlers below and nothing else
    h.startElement = start_element;
    h.endElement = end_element;
    h.characters = chars_found;
    return h;
}

const xmlSAXHandler mySAXParseCallbacks = make_callbacks();

int idx_free(setup_filter_context *c) {
    for (idx_item *&item : c->items) {
        std::free(item);
        item = nullptr;
    }
    return 0;
}

int fail(int module, setup_filter_context *c, int code) {
    idx_free(c);
    std::free(c);
    // Only an allocation that failed follows a failed call; the rest is the filter's verdict.
    xml_except_errno(module, code, code == code_memory ? ENOMEM : 0);
    return -1;
}

// Runs one pass; 0, or the code that refuses the document.
int run_pass(setup_filter_context *c, const char *document, int length) {
    c->in_idx = 0;
    c->item_index = 0;
    c->path[0] = '\0';
    c->path_length = 0;
    c->depth = 0;
    c->suppress_depth = 0;
    c->ordinal = 0;
    c->current_idx = -1;
    c->error_count = 0;
    c->first_error = 0;
    c->first_error_depth = 0;
    c->sax = mySAXParseCallbacks;
    const int result = xmlSAXUserParseMemory(&c->sax, c, document, length);
    if (result < 0) return code_not_valid;
    if (c->out_of_memory) return code_memory;
    if (c->items_exhausted) return code_null_pointer;
    if (result > 0) {
        // A document that is not well-formed ended the parse early: posting what came before
        // the error would send half a configuration. One case has been read whole: the only
        // error is a root end tag that does not match the root start tag (a stored document
        // whose root start tag alone was rewritten); the root is then closed here.
        const bool root_end_mismatch = result == XML_ERR_TAG_NAME_MISMATCH && c->error_count == 1 &&
                                       c->first_error == XML_ERR_TAG_NAME_MISMATCH &&
                                       c->first_error_depth == 1 && c->depth == 1;
        if (!root_end_mismatch) return code_not_valid;
        if (c->pass == 2 && !c->refused && c->suppress_depth == 0) {
            // The root's start tag was written (no blacklist path is a single name; only a
            // root named Idx is not); the path is now the root's local name.
            write_tag(c, true, c->path, c->path_length);
        }
    }
    if (c->refused) return c->refused;
    return 0;
}

}  // namespace

int it_is_blacklist(const char *path) {
    if (path == nullptr) return 0;
    return on_blacklist(path, static_cast<int>(std::strlen(path))) ? 1 : 0;
}

int xml_setup_prepare(int module, char *document, int size) {
    if (document == nullptr) {
        xml_except(module, code_null_pointer);
        return -1;
    }
    if (size <= 0) {
        xml_except(module, code_not_valid);
        return -1;
    }
    auto *c = static_cast<setup_filter_context *>(std::malloc(sizeof(setup_filter_context)));
    if (c == nullptr) {
        xml_except_errno(module, code_memory, ENOMEM);
        return -1;
    }
    c->copy_on = 1;
    c->out_of_memory = 0;
    c->items_exhausted = 0;
    c->out[0] = '\0';
    c->out_length = 0;
    c->refused = 0;
    c->stopped = 0;
    for (idx_item *&item : c->items) item = nullptr;
    c->item_index = 0;
    c->item_count = 0;

    // The document ends at its terminator; the zero bytes after it are no part of it.
    const int length = static_cast<int>(strnlen(document, static_cast<size_t>(size)));
    int code = 0;
    {
        libxml2_error_scope quiet(c,
                                  count_error);  // also covers the version check, which may print
        xmlCheckVersion(20624);
        for (c->pass = 1; c->pass <= 2 && code == 0; ++c->pass) {
            code = run_pass(c, document, length);
            if (c->pass == 1) {
                c->item_count = c->item_index;
                sort_items(c);
            }
        }
    }
    // Nothing kept (the root itself was an Idx, which is removed): no document to post.
    if (code == 0 && c->out_length == 0) code = code_not_valid;
    if (code != 0) return fail(module, c, code);

    const int out_length = c->out_length;  // newline runs were collapsed while appending
    if (out_length > size - 1 - declaration_length) return fail(module, c, code_buffer_full);
    std::memcpy(document, declaration, declaration_length);
    std::memcpy(document + declaration_length, c->out, out_length);
    const int written = declaration_length + out_length;
    std::memset(document + written, 0, static_cast<size_t>(size - written));
    idx_free(c);
    std::free(c);
    return 0;
}
