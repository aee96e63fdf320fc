// SAX parse of a device document into the module's values or setup record.
#include "records/xml_parse.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/libxml2_errors.h"
#include "records/records.h"
#include "records/xml_post_parser.h"

namespace {

constexpr int code_no_memory = 5;
constexpr int code_xml_not_valid = 45;
// Longest piece of character data taken from one SAX call; longer pieces are cut to this
// (and then dropped by the width rule, no field being wider than 152 bytes).
constexpr int piece_max = 152;

// Levels of `path` that fit in its buffer: each level but the first adds at least two bytes.
constexpr size_t max_levels = XML_PATH_SIZE / 2;

// The path as it was before one element was appended to it.
struct path_level {
    uint32_t hash;  // xml_path_hash of the path
    int32_t event;  // its event, -1 for none
    uint32_t len;   // its length
};

// Parse state of one xml_parse call; all of it lives here (no globals), so parses on
// different threads cannot disturb each other. `path` holds the open elements' names joined
// by "_", with its hash and event kept up to date incrementally (a start tag hashes only
// the new name; an end tag restores the saved level). An element whose name would not fit
// in `path` is not appended: it and everything inside it count as "overflow" levels, whose
// text is ignored and whose end tags leave `path` alone, so nesting stays consistent.
struct xml_parse_ctx {
    int id;
    int type;
    int entry_index;  // slot used for fields of repeated sets
    int rows;
    char path[XML_PATH_SIZE];
    char entry_path[XML_PATH_SIZE];  // `path` when the last Entry started

    size_t path_len;
    uint32_t path_hash;
    int event;  // event of `path`, -1 when no row holds it
    size_t entry_path_len;
    int entry_set;       // set whose Entry path equals `entry_path`, -1 for none
    int overflow_depth;  // open elements not appended to `path`
    size_t depth;        // open elements appended to `path`
    const xml_record_layout *layout;
    void *record;
    void *counts;
    path_level levels[max_levels];
};

bool is_entry(const char *name, size_t len) {
    return len == 5 && std::memcmp(name, "Entry", 5) == 0;
}

int find_entry_set(const xml_parse_ctx *ctx) {
    for (int s = 0; s < ctx->layout->set_count; ++s) {
        const xml_set_desc &set = ctx->layout->sets[s];
        if (set.entry_path_len == ctx->entry_path_len &&
            std::memcmp(set.entry_path, ctx->entry_path, ctx->entry_path_len) == 0)
            return s;
    }
    return -1;
}

// Appends one piece (`len` bytes of `text`) to slot `index` of the field of `event`, `offset`
// bytes into it, when the field's text and the piece together keep width - 2 characters at
// most; otherwise the piece is dropped whole. Slots outside a set's arrays take nothing.
void save2struct(const xml_parse_ctx *ctx, int event, int offset, int index, const char *text,
                 int len) {
    if (event < 0 || event >= ctx->rows || len <= 0) return;
    const xml_field_desc &f = ctx->layout->fields[event];
    if (f.set < 0)
        index = 0;
    else if (index < 0 || index >= f.capacity)
        return;
    const int limit = f.width - 2;
    if (offset < 0 || offset > limit) return;
    const int n = len < piece_max ? len : piece_max;
    char *field = xml_field_slot(ctx->record, f, index) + offset;
    // Most pieces go to an empty field: skip the length scan for them.
    const int current =
        field[0] == '\0' ? 0
                         : static_cast<int>(strnlen(field, static_cast<size_t>(f.width - offset)));
    if (current + n > limit - offset) return;
    std::memcpy(field + current, text, static_cast<size_t>(n));
    field[current + n] = '\0';
}

void xml_values_save2struct(const xml_parse_ctx *ctx, int event, int offset, int index,
                            const char *text, int len) {
    save2struct(ctx, event, offset, index, text, len);
}

void xml_setup_save2struct(const xml_parse_ctx *ctx, int event, int offset, int index,
                           const char *text, int len) {
    save2struct(ctx, event, offset, index, text, len);
}

void start_element(void *user, const xmlChar *name_x, const xmlChar ** /*attributes*/) {
    auto *ctx = static_cast<xml_parse_ctx *>(user);
    const char *name = reinterpret_cast<const char *>(name_x);
    const size_t separator = ctx->path_len > 0 ? 1 : 0;
    if (ctx->overflow_depth > 0 || ctx->depth == max_levels ||
        ctx->path_len + separator > XML_PATH_SIZE - 1) {
        ++ctx->overflow_depth;
        return;
    }
    // Copy, measure and hash the name in one pass, stopping where the path (with its
    // terminator) would no longer fit.
    const size_t room = XML_PATH_SIZE - 1 - ctx->path_len - separator;
    char *out = ctx->path + ctx->path_len + separator;
    uint32_t hash = separator ? xml_path_hash(ctx->path_hash, "_", 1) : ctx->path_hash;
    size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        if (n == room) {  // too long: the path stays as it was
            ctx->path[ctx->path_len] = '\0';
            ++ctx->overflow_depth;
            return;
        }
        out[n] = name[n];
        hash = xml_path_hash(hash, name + n, 1);
    }
    ctx->levels[ctx->depth++] = {ctx->path_hash, ctx->event, static_cast<uint32_t>(ctx->path_len)};
    if (separator) ctx->path[ctx->path_len] = '_';
    out[n] = '\0';
    ctx->path_len += separator + n;
    ctx->path_hash = hash;
    ctx->event = xml_path_event_hashed(*ctx->layout, hash, ctx->path, ctx->path_len);

    if (is_entry(name, n)) {
        if (ctx->path_len != ctx->entry_path_len ||
            std::memcmp(ctx->path, ctx->entry_path, ctx->path_len) != 0) {
            ctx->entry_index = 0;
            std::memcpy(ctx->entry_path, ctx->path, ctx->path_len + 1);
            ctx->entry_path_len = ctx->path_len;
            ctx->entry_set = find_entry_set(ctx);
        }
    }
}

void end_element(void *user, const xmlChar *name_x) {
    auto *ctx = static_cast<xml_parse_ctx *>(user);
    if (ctx->overflow_depth > 0) {
        --ctx->overflow_depth;
        return;
    }
    if (ctx->depth == 0) return;  // nothing open: nothing to remove
    const char *name = reinterpret_cast<const char *>(name_x);
    if (ctx->entry_set >= 0 && name[0] == 'E' && std::strcmp(name, "Entry") == 0) {
        const xml_set_desc &set = ctx->layout->sets[ctx->entry_set];
        int32_t *count = xml_set_count(ctx->counts, set);
        // Entries beyond the capacity are not counted; their slot index stays at the
        // capacity, where the save step stores nothing.
        if (*count < set.capacity) ++*count;
        ctx->entry_index = *count;
    }
    // Removing the element restores the path it was appended to: never more than the path
    // holds, whatever the end tag's name.
    const path_level &level = ctx->levels[--ctx->depth];
    ctx->path_len = level.len;
    ctx->path[ctx->path_len] = '\0';
    ctx->path_hash = level.hash;
    ctx->event = level.event;
}

void chars_found(void *user, const xmlChar *text, int len) {
    auto *ctx = static_cast<xml_parse_ctx *>(user);
    if (ctx->event < 0 || ctx->overflow_depth > 0) return;
    const char *piece = reinterpret_cast<const char *>(text);
    if (ctx->type == 0)
        xml_values_save2struct(ctx, ctx->event, 0, ctx->entry_index, piece, len);
    else
        xml_setup_save2struct(ctx, ctx->event, 0, ctx->entry_index, piece, len);
}

// First-generation handler table (not marked as SAX2): element names arrive as written,
// prefix included. Only these three handlers are set. Each parse hands libxml2 its own
// copy, so no parser state is shared between threads.
xmlSAXHandler make_handlers() {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.startElement = start_element;
    h.endElement = end_element;
    h.characters = chars_found;
    return h;
}
const xmlSAXHandler mySAXParseCallbacks = make_handlers();

// Index of the first occurrence of `pattern` (`pattern_len` bytes, holding a ':') lying
// whole inside data[from, to), or -1. Anchored on the ':', which is rare in device documents,
// so the scan runs at memchr speed.
long find(const char *data, long from, long to, const char *pattern, long pattern_len) {
    const long anchor = std::strchr(pattern, ':') - pattern;
    for (long start = from; start + pattern_len <= to; ++start) {
        const void *colon = std::memchr(data + start + anchor, ':',
                                        static_cast<size_t>(to - pattern_len - start + 1));
        if (colon == nullptr) return -1;
        start = static_cast<const char *>(colon) - data - anchor;
        if (std::memcmp(data + start, pattern, static_cast<size_t>(pattern_len)) == 0) return start;
    }
    return -1;
}

// Rewrites a prefixed root start tag ("<val:Root ...>" / "<set:Root ...>") in the first half
// of the document to "<Root>" padded with blanks, and then the last matching prefixed end
// tag after it to "</Root>" padded with blanks, so the text keeps its length and stays
// well-formed. See xml_parse.h for the exact bounds.
void rewrite_root(char *data, long len, const char *prefix) {
    char start_tag[16];
    char end_tag[16];
    std::snprintf(start_tag, sizeof start_tag, "<%s:Root", prefix);
    std::snprintf(end_tag, sizeof end_tag, "</%s:Root>", prefix);
    const long start_len = 9;
    const long end_len = 11;
    if (len < 10) return;
    // The first pattern at start positions 0 .. len - 10 counts only when it starts in the
    // first half (len - p > p): searching that half alone gives the same answer.
    const long last_start = std::min(len - 10, (len - 1) / 2);
    const long p = find(data, 0, last_start + start_len, start_tag, start_len);
    if (p < 0 || len - p <= p) return;
    const char *gt = static_cast<const char *>(
        std::memchr(data + p + 1, '>', static_cast<size_t>(len - p - (p + 1))));
    if (gt == nullptr) return;
    const long q = gt - data;
    std::memset(data + p, ' ', static_cast<size_t>(q - p + 1));
    std::memcpy(data + p, "<Root>", 6);

    long last = -1;
    for (long at = q + 1; (at = find(data, at, len, end_tag, end_len)) >= 0; at += end_len)
        last = at;
    if (last < 0) return;
    std::memset(data + last, ' ', static_cast<size_t>(end_len));
    std::memcpy(data + last, "</Root>", 7);
}

// Allocates a zeroed T into `slot` unless one is there; false when that fails.
template <typename T>
bool ensure(T *&slot) {
    if (slot == nullptr) slot = static_cast<T *>(std::calloc(1, sizeof(T)));
    return slot != nullptr;
}

}  // namespace

int xml_parse(int id, char *data, int len, int type) {
    if (id < 0 || id >= QVXML_ID_COUNT_MAX) return -1;

    qvxml_parse_callback on_parse;
    qvxml_parsed_callback on_parsed;
    void *user;
    {
        xml_lock lock(id);
        on_parse = xml_module[id].settings.callbacks.on_parse;
        on_parsed = xml_module[id].settings.callbacks.on_parsed;
        user = xml_module[id].user_ptr;
    }
    if (on_parse != nullptr) {
        if (on_parse(id, user, data, len, type) == 0) return 0;
        xml_except(id, code_xml_not_valid);
        return -1;
    }

    if (type != 0 && type != 1) return -1;

    // About 80 KB of parse state: kept off the worker's stack.
    struct ctx_deleter {
        void operator()(xml_parse_ctx *c) const { std::free(c); }
    };
    std::unique_ptr<xml_parse_ctx, ctx_deleter> owner(
        static_cast<xml_parse_ctx *>(std::malloc(sizeof(xml_parse_ctx))));
    xml_parse_ctx *ctx = owner.get();
    if (ctx == nullptr) {
        xml_except_errno(id, code_no_memory, ENOMEM);
        return -1;
    }
    ctx->id = id;
    ctx->type = type;
    ctx->entry_index = 0;
    ctx->path[0] = '\0';
    ctx->entry_path[0] = '\0';
    ctx->path_len = 0;
    ctx->path_hash = XML_PATH_HASH_SEED;
    ctx->event = -1;
    ctx->entry_path_len = 0;
    ctx->entry_set = -1;
    ctx->overflow_depth = 0;
    ctx->depth = 0;

    const char *prefix;
    if (type == 0) {
        if (!ensure(p_kyvern_values_entry_count[id]) || !ensure(p_kyvern_values[id])) {
            xml_except_errno(id, code_no_memory, ENOMEM);
            return -1;
        }
        ctx->layout = &xml_values_layout;
        ctx->record = p_kyvern_values[id];
        ctx->counts = p_kyvern_values_entry_count[id];
        prefix = "val";
    } else if (type == 1) {
        if (!ensure(p_kyvern_setup_entry_count[id]) || !ensure(p_kyvern_setup[id])) {
            xml_except_errno(id, code_no_memory, ENOMEM);
            return -1;
        }
        ctx->layout = &xml_setup_layout;
        ctx->record = p_kyvern_setup[id];
        ctx->counts = p_kyvern_setup_entry_count[id];
        prefix = "set";
    } else {
        return -1;
    }
    ctx->rows = ctx->layout->rows;
    std::memset(ctx->record, 0, ctx->layout->record_size);
    std::memset(ctx->counts, 0, ctx->layout->count_size);

    xmlCheckVersion(20624);
    if (data != nullptr) rewrite_root(data, len, prefix);

    xmlSAXHandler handlers = mySAXParseCallbacks;
    int result;
    {
        libxml2_error_scope quiet;
        // A null buffer or a length of 0 or less makes libxml2 return a negative result.
        result = xmlSAXUserParseMemory(&handlers, ctx, data, len);
    }

    // The post-parser only reads values documents; after a setup document it has nothing to do.
    if (type == 0)
        qvg_pwr_post_parser(static_cast<kyvern_values *>(ctx->record),
                            static_cast<kyvern_values_entry_count *>(ctx->counts), data, len);
    if (on_parsed != nullptr)
        on_parsed(id, user, data, len, type, ctx->record, ctx->counts, &result);

    if (result < 0) {
        xml_except(id, code_xml_not_valid);
        return -1;
    }
    return 0;
}
