// SAX parse of a device document into the module's values or setup record.
#include "records/xml_parse.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/libxml2_errors.h"
#include "records/path_nodes.h"
#include "records/records.h"
#include "records/short_copy.h"
#include "records/xml_post_parser.h"

namespace {

// Longest piece of character data taken from one SAX call; longer pieces are cut to this
// (and then dropped by the width rule, no field being wider than 152 bytes).
constexpr int piece_max = 152;

// Levels of `path` that fit in its buffer: each level but the first adds at least two bytes.
constexpr size_t max_levels = XML_PATH_SIZE / 2;

// Distinct element paths a parse remembers (path_node), and the slots of the table that finds
// them: a device document has a few hundred; a document with more parses the rest of its
// paths the slow way, with the same result.
constexpr int node_max = 1024;
constexpr int node_slots = 2 * node_max;  // power of two, at most half full
constexpr int node_none = path_nodes::none;
constexpr int node_root = 0;  // the empty path, before the first start tag

// Where the save step puts the text of one event: slot i of the field is at
// offset + i * stride. A single field has stride 0 and no slot limit, so every index gives
// its one slot; a set field takes indexes below its capacity only.
struct field_slots {
    uint32_t offset;
    uint32_t stride;
    uint32_t capacity;
    int32_t limit;  // characters the field holds: width - 2
};

template <size_t N>
constexpr std::array<field_slots, N> make_field_slots(const xml_field_desc (&fields)[N]) {
    std::array<field_slots, N> out{};
    for (size_t i = 0; i < N; ++i) {
        const bool single = fields[i].set < 0;
        out[i] = {fields[i].offset, single ? 0u : fields[i].width,
                  single ? UINT32_MAX : fields[i].capacity, fields[i].width - 2};
    }
    return out;
}
constexpr auto values_slots = make_field_slots(xml_values_fields);
constexpr auto setup_slots = make_field_slots(xml_setup_fields);

// One element path met in this parse, reached from its parent's path by one element name.
// libxml2 hands out element names from the parse's dictionary, where a name has one address
// for as long as the parse runs: a start tag whose (parent path, name address) was met before
// finds here what its path gives (length, hash, event) without copying, hashing or looking
// up its path. Only names the dictionary owns are remembered, so an address never stands for
// two names during the parse.
struct path_node {
    const xmlChar *name;   // in the parse's dictionary
    uint32_t hash;         // xml_path_hash of the path
    int16_t parent;        // parent path_node
    int16_t first;         // the child node met first below it last time, or node_none
    int16_t next;          // the sibling node that followed it last time, or node_none
    int16_t event;         // event of the path, -1 for none
    int16_t parent_event;  // event of the parent's path
    uint16_t name_len;     // strlen(name)
    uint16_t path_len;     // length of the path; it fits `path` with its terminator
    uint16_t parent_len;   // length of the parent's path
    bool entry;            // the name is "Entry"
};
static_assert(sizeof(path_node) <= 32, "the handlers read a node in one cache line");
static_assert(node_max <= INT16_MAX && XML_PATH_SIZE <= UINT16_MAX && XML_SETUP_ROWS <= INT16_MAX);

// The path as it was before one element was appended to it without a node (a path with a
// node is restored from the node's parent): its node, or, for a path that has none, its
// hash, event and length.
struct path_level {
    int32_t node;   // path_node of the path, node_none when it has none
    uint32_t hash;  // xml_path_hash of the path (node_none only)
    int32_t event;  // its event, -1 for none (node_none only)
    uint32_t len;   // its length (node_none only)
};

// Parse state of one xml_parse call; all of it lives here (no globals), so parses on
// different threads cannot disturb each other. The path is the open elements' names joined
// by "_". Its event is kept in `event`; while the path has a node, the node holds its length
// and hash, otherwise `path_len` and `path_hash` do. A start tag whose path has a node takes
// everything from it; any other hashes only the new name (the hash goes on from the parent
// path's); an end tag goes back to the parent node or restores the saved level. The text
// of the path is written into `path` only when something reads it (a start tag without a
// node, an Entry start tag): `path` holds the first `text_len` bytes of the path, and the
// names of nodes the rest. An element whose name would not fit in `path` is not appended:
// it and everything inside it count as "overflow" levels, whose text is ignored and whose
// end tags leave the path alone, so nesting stays consistent.
struct xml_parse_ctx {
    int event;                 // event of the path, -1 when no row holds it
    int node;                  // path_node of the path, node_none when it has none
    int prev;                  // the child of `node` that ended last, node_none since it started
    int entry_index;           // slot used for fields of repeated sets
    int overflow_depth;        // open elements not appended to the path
    size_t depth;              // open elements appended to the path
    size_t text_len;           // leading bytes of the path written in `path`
    int entry_set;             // set whose Entry path equals `entry_path`, -1 for none
    int entry_node;            // a path_node whose path equals `entry_path`, or node_none
    const field_slots *slots;  // by event
    char *record;
    void *counts;
    int rows;
    int type;
    const xml_record_layout *layout;
    size_t path_len;     // node_none only
    uint32_t path_hash;  // node_none only
    size_t entry_path_len;
    xmlDictPtr dict;  // the dictionary of the running parse
    int node_count;
    int16_t node_slot[node_slots];  // path_node index, -1 for an empty slot
    alignas(64) path_node nodes[node_max];
    path_level levels[max_levels];
    char path[XML_PATH_SIZE];
    char entry_path[XML_PATH_SIZE];  // the path when the last Entry started
};

// The node of the element starting now (named `name`) below the path's node, or node_none.
inline int child_node(xml_parse_ctx *ctx, const xmlChar *name) {
    return path_nodes::child<&path_node::name>(ctx, name);
}

// Makes `path_len` and `path_hash` those of the path also while it has a node.
void sync_path(xml_parse_ctx *ctx) {
    if (ctx->node < 0) return;
    ctx->path_len = ctx->nodes[ctx->node].path_len;
    ctx->path_hash = ctx->nodes[ctx->node].hash;
}

// Remembers the path (just extended by `name`, `path_len` and `path_hash` up to date) as the
// node reached from `parent`, when the table has room and the dictionary owns the name;
// returns the new node or node_none.
int add_node(xml_parse_ctx *ctx, int parent, const xmlChar *name, size_t name_len, bool entry) {
    if (ctx->node_count == node_max || ctx->dict == nullptr || xmlDictOwns(ctx->dict, name) != 1)
        return node_none;
    const int n = ctx->node_count++;
    path_node &node = ctx->nodes[n];
    node.name = name;
    node.hash = ctx->path_hash;
    node.parent = static_cast<int16_t>(parent);
    node.first = node_none;
    node.next = node_none;
    node.event = static_cast<int16_t>(ctx->event);
    node.parent_event = ctx->nodes[parent].event;
    node.name_len = static_cast<uint16_t>(name_len);
    node.path_len = static_cast<uint16_t>(ctx->path_len);
    node.parent_len = ctx->nodes[parent].path_len;
    node.entry = entry;
    path_nodes::insert(ctx, parent, name, n);
    return n;
}

// Writes the whole path into `path`, terminated, and brings `path_len` and `path_hash` up to
// date. The bytes past `text_len` belong to levels appended with a node: the chain of nodes
// from the path's own node down gives them.
void write_path(xml_parse_ctx *ctx) {
    sync_path(ctx);
    if (ctx->text_len == ctx->path_len) return;
    for (int n = ctx->node; n > node_root && ctx->nodes[n].path_len > ctx->text_len;
         n = ctx->nodes[n].parent) {
        const path_node &node = ctx->nodes[n];
        const size_t at = node.path_len - node.name_len;
        std::memcpy(ctx->path + at, node.name, node.name_len);
        if (at > 0) ctx->path[at - 1] = '_';
    }
    ctx->path[ctx->path_len] = '\0';
    ctx->text_len = ctx->path_len;
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

// An Entry element has just been appended to the path (whose node is `node`, or node_none):
// an Entry at another path than the last one starts its set's slots again at 0.
void entry_started(xml_parse_ctx *ctx, int node) {
    if (node >= 0 && node == ctx->entry_node) return;  // one node, one path: the same path
    write_path(ctx);
    if (ctx->path_len != ctx->entry_path_len ||
        std::memcmp(ctx->path, ctx->entry_path, ctx->path_len) != 0) {
        ctx->entry_index = 0;
        std::memcpy(ctx->entry_path, ctx->path, ctx->path_len + 1);
        ctx->entry_path_len = ctx->path_len;
        ctx->entry_set = find_entry_set(ctx);
    }
    ctx->entry_node = node;
}

// An Entry element ends: the count of its set goes up (while below the capacity) and the
// next entry's fields go to the slot after it.
void entry_ended(xml_parse_ctx *ctx) {
    const xml_set_desc &set = ctx->layout->sets[ctx->entry_set];
    int32_t *count = xml_set_count(ctx->counts, set);
    // Entries beyond the capacity are not counted; their slot index stays at the capacity,
    // where the save step stores nothing.
    if (*count < set.capacity) ++*count;
    ctx->entry_index = *count;
}

// Copies `n` bytes (1 .. piece_max) without a call, in word moves that read and write nothing
// outside the `n` bytes (the last one may overlap the one before it).
inline void copy_piece(char *to, const char *from, size_t n) {
    if (n >= 16) {
        char block[16];
        for (size_t at = 0; at + 16 < n; at += 16) {
            std::memcpy(block, from + at, 16);
            std::memcpy(to + at, block, 16);
        }
        std::memcpy(block, from + n - 16, 16);
        std::memcpy(to + n - 16, block, 16);
    } else {
        copy_short(to, from, n);
    }
}

// The text a field already holds, for a piece that goes to a field that is not empty (a
// second piece of one element, such as the text after an entity reference).
[[gnu::noinline, gnu::cold]] int held_length(const char *field, const field_slots &f) {
    return static_cast<int>(strnlen(field, static_cast<size_t>(f.limit) + 2));
}

// Appends one piece (`len` bytes of `text`) to slot `index` of the field of `event`, when
// the field's text and the piece together keep width - 2 characters at most; otherwise the
// piece is dropped whole. Slots outside a set's arrays take nothing. The same rule for
// values and setup documents.
inline void save2struct(const xml_parse_ctx *ctx, int event, int index, const char *text, int len) {
    if (event < 0 || event >= ctx->rows || len <= 0) return;
    const field_slots &f = ctx->slots[event];
    if (static_cast<uint32_t>(index) >= f.capacity) return;  // also a negative index
    const int n = len < piece_max ? len : piece_max;
    char *field = ctx->record + f.offset + static_cast<size_t>(index) * f.stride;
    // Most pieces go to an empty field: no length scan for them.
    const int current = field[0] == '\0' ? 0 : held_length(field, f);
    if (current + n > f.limit) return;
    copy_piece(field + current, text, static_cast<size_t>(n));
    field[current + n] = '\0';
}

bool is_entry(const char *name, size_t len) {
    return len == 5 && std::memcmp(name, "Entry", 5) == 0;
}

// A start tag whose path has no node yet: copies, measures and hashes the name in one pass,
// stopping where the path (with its terminator) would no longer fit, and looks the path up.
[[gnu::noinline]] void start_element_slow(xml_parse_ctx *ctx, const xmlChar *name_x) {
    const char *name = reinterpret_cast<const char *>(name_x);
    sync_path(ctx);
    const size_t separator = ctx->path_len > 0 ? 1 : 0;
    if (ctx->depth == max_levels || ctx->path_len + separator > XML_PATH_SIZE - 1) {
        ++ctx->overflow_depth;
        return;
    }
    write_path(ctx);
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
    const int parent = ctx->node;
    ctx->levels[ctx->depth++] = {parent, ctx->path_hash, ctx->event,
                                 static_cast<uint32_t>(ctx->path_len)};
    if (separator) ctx->path[ctx->path_len] = '_';
    out[n] = '\0';
    ctx->path_len += separator + n;
    ctx->text_len = ctx->path_len;
    ctx->path_hash = hash;
    ctx->event = xml_path_event_hashed(*ctx->layout, hash, ctx->path, ctx->path_len);
    const bool entry = is_entry(name, n);
    ctx->node = parent >= 0 ? add_node(ctx, parent, name_x, n, entry) : node_none;
    ctx->prev = node_none;
    if (entry) entry_started(ctx, ctx->node);
}

void start_element(void *user, const xmlChar *name, const xmlChar ** /*attributes*/) {
    auto *ctx = static_cast<xml_parse_ctx *>(user);
    const int n = ctx->overflow_depth == 0 ? child_node(ctx, name) : node_none;
    if (n < 0) {
        if (ctx->overflow_depth > 0)
            ++ctx->overflow_depth;
        else
            start_element_slow(ctx, name);
        return;
    }
    // The node's path fitted when the node was made, below the same parent path as now.
    const path_node &node = ctx->nodes[n];
    ++ctx->depth;
    ctx->event = node.event;
    ctx->node = n;
    ctx->prev = node_none;
    if (node.entry) entry_started(ctx, n);
}

// The end of an element appended without a node: the saved level gives the path back.
[[gnu::noinline]] void end_element_slow(xml_parse_ctx *ctx, const char *name) {
    if (ctx->entry_set >= 0 && name[0] == 'E' && std::strcmp(name, "Entry") == 0) entry_ended(ctx);
    const path_level &level = ctx->levels[--ctx->depth];
    ctx->node = level.node;
    ctx->prev = node_none;
    if (level.node >= 0) {
        const path_node &node = ctx->nodes[level.node];
        ctx->event = node.event;
        if (ctx->text_len > node.path_len) ctx->text_len = node.path_len;
    } else {
        ctx->path_len = level.len;
        ctx->path_hash = level.hash;
        ctx->event = level.event;
        if (ctx->text_len > ctx->path_len) ctx->text_len = ctx->path_len;
    }
}

// Removing an element restores the path it was appended to: never more than the path holds,
// whatever the end tag's name.
void end_element(void *user, const xmlChar *name) {
    auto *ctx = static_cast<xml_parse_ctx *>(user);
    if (ctx->overflow_depth > 0) {
        --ctx->overflow_depth;
        return;
    }
    const int n = ctx->node;
    if (n <= node_root) {
        // node_root: nothing open, nothing to remove. node_none: no node to go back by.
        if (n == node_none) end_element_slow(ctx, reinterpret_cast<const char *>(name));
        return;
    }
    // The element ending appended the node's name; the node's parent is the path before it.
    // libxml2 hands the end tag the start tag's name, at the same address.
    const path_node &node = ctx->nodes[n];
    if (node.name != name) {
        const char *text = reinterpret_cast<const char *>(name);
        if (ctx->entry_set >= 0 && text[0] == 'E' && std::strcmp(text, "Entry") == 0)
            entry_ended(ctx);
    } else if (node.entry && ctx->entry_set >= 0) {
        entry_ended(ctx);
    }
    --ctx->depth;
    ctx->prev = n;
    ctx->node = node.parent;
    ctx->event = node.parent_event;
    if (ctx->text_len > node.parent_len) ctx->text_len = node.parent_len;
}

// Out of line, so that the pieces that go nowhere (the line breaks between elements) cost
// chars_found almost nothing.
[[gnu::noinline]] void store_piece(const xml_parse_ctx *ctx, const char *piece, int len) {
    save2struct(ctx, ctx->event, ctx->entry_index, piece, len);
}

void chars_found(void *user, const xmlChar *text, int len) {
    const auto *ctx = static_cast<const xml_parse_ctx *>(user);
    if (ctx->event >= 0 && ctx->overflow_depth == 0)
        store_piece(ctx, reinterpret_cast<const char *>(text), len);
}

// First-generation handler table (not marked as SAX2): element names arrive as written,
// prefix included. Only these three handlers are set, the text handler twice: a parse that
// builds no tree never has libxml2 report a blank run as ignorable (it is text either way),
// and with one handler for both libxml2 skips its per-run test whether the run is ignorable.
// Each parse hands libxml2 its own copy, so no parser state is shared between threads.
xmlSAXHandler make_handlers() {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.startElement = start_element;
    h.endElement = end_element;
    h.characters = chars_found;
    h.ignorableWhitespace = chars_found;
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
        xml_except(id, QV_E_XML_NOT_VALID);
        return -1;
    }

    if (type != 0 && type != 1) return -1;

    // About 130 KB of parse state: kept off the worker's stack.
    struct ctx_deleter {
        void operator()(xml_parse_ctx *c) const { std::free(c); }
    };
    std::unique_ptr<xml_parse_ctx, ctx_deleter> owner(
        static_cast<xml_parse_ctx *>(std::malloc(sizeof(xml_parse_ctx))));
    xml_parse_ctx *ctx = owner.get();
    if (ctx == nullptr) {
        xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
        return -1;
    }
    ctx->type = type;
    ctx->entry_index = 0;
    ctx->path[0] = '\0';
    ctx->entry_path[0] = '\0';
    ctx->path_len = 0;
    ctx->text_len = 0;
    ctx->path_hash = XML_PATH_HASH_SEED;
    ctx->event = -1;
    ctx->node = node_root;
    ctx->prev = node_none;
    ctx->entry_path_len = 0;
    ctx->entry_node = node_none;
    ctx->entry_set = -1;
    ctx->overflow_depth = 0;
    ctx->depth = 0;
    ctx->dict = nullptr;
    // node_root: the empty path, the parent of the root element's node.
    ctx->nodes[node_root] = {
        nullptr, XML_PATH_HASH_SEED, node_none, node_none, node_none, -1, -1, 0, 0, 0, false};
    ctx->node_count = 1;
    std::memset(ctx->node_slot, 0xff, sizeof ctx->node_slot);

    const char *prefix;
    if (type == 0) {
        if (!ensure(p_kyvern_values_entry_count[id]) || !ensure(p_kyvern_values[id])) {
            xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
            return -1;
        }
        ctx->layout = &xml_values_layout;
        ctx->slots = values_slots.data();
        ctx->record = reinterpret_cast<char *>(p_kyvern_values[id]);
        ctx->counts = p_kyvern_values_entry_count[id];
        prefix = "val";
    } else if (type == 1) {
        if (!ensure(p_kyvern_setup_entry_count[id]) || !ensure(p_kyvern_setup[id])) {
            xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
            return -1;
        }
        ctx->layout = &xml_setup_layout;
        ctx->slots = setup_slots.data();
        ctx->record = reinterpret_cast<char *>(p_kyvern_setup[id]);
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

    int result;
    {
        libxml2_error_scope quiet;
        // A null buffer or a length of 0 or less makes libxml2 return a negative result.
        result = path_nodes::sax_parse(mySAXParseCallbacks, ctx, data, len);
    }

    // The post-parser only reads values documents; after a setup document it has nothing to do.
    if (type == 0)
        qvg_pwr_post_parser(reinterpret_cast<kyvern_values *>(ctx->record),
                            static_cast<kyvern_values_entry_count *>(ctx->counts), data, len);
    if (on_parsed != nullptr)
        on_parsed(id, user, data, len, type, ctx->record, ctx->counts, &result);

    if (result < 0) {
        xml_except(id, QV_E_XML_NOT_VALID);
        return -1;
    }
    return 0;
}
