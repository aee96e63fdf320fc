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
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/xml_global.h"
#include "records/libxml2_errors.h"
#include "records/path_nodes.h"
#include "records/short_copy.h"

namespace {

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

// One collected Idx value. `owner` is the ordinal (1-based, in document order) of the start
// tag of the element that holds the Idx element; both passes see the same elements in the
// same order (one parser, one document, the same handlers), so pass 2 finds the entry by its
// ordinal alone.
struct idx_item {
    long owner;
    int idx_length;
    char idx[idx_size];
};

// Distinct element paths a pass remembers (filter_node), and the slots of the table that
// finds them: a setup document has a few hundred; a document with more handles the rest of
// its start tags the slow way, with the same result.
constexpr int node_max = 1024;
constexpr int node_slots = 2 * node_max;  // power of two, at most half full
constexpr int node_none = path_nodes::none;
constexpr int node_root = 0;  // the empty path, before the first start tag
constexpr int tag_size = 32;  // bytes of a node's prepared tag (the tag and scratch after it)

// One element path met in this pass, reached from its parent's path by one element name.
// libxml2 hands out element names from the parse's dictionary, where a name has one address
// for as long as the parse runs: a start tag whose (parent path, name address) was met before
// finds here all that its name and path decide (the name as written, its length, the path's
// length, whether it is an Idx element, whether its path is on the blacklist) without
// copying, measuring or comparing text. Only names the dictionary owns are remembered.
struct filter_node {
    const xmlChar *key;  // the name as reported, in the parse's dictionary
    int parent;          // parent filter_node
    int first;           // the child node met first below it last time, or node_none
    int next;            // the sibling node that followed it last time, or node_none
    int parent_length;   // length of the path before it
    bool is_idx;         // the name is exactly "Idx"
    bool listed;         // the path is on the blacklist (known in pass 2 only)
};
static_assert(sizeof(filter_node) <= 32, "the handlers read a node in one cache line");

// What the handlers of a node read less often (apart, so that the nodes stay small).
struct filter_node_text {
    const char *name;  // the name as it enters the path and the output (element_name)
    int name_length;
    int path_length;  // length of the path ending in this name; it fits `path`
    // Pass 2: "<name>" and "</name>", written with one move each when the name is short.
    int tag_length[2];  // 0 when the name is too long for `tag`
    char tag[2][tag_size];
};

// One open element, as far as its filter_node does not tell it.
struct frame {
    int path_length;  // length of the path before this element's name was appended
    long ordinal;     // pass 1: ordinal of this element's start tag
    bool is_idx;      // the element is named exactly "Idx"
    int outer_idx;    // pass 1, Idx elements: item that received text before it opened
    int parent;       // the filter_node of the path before it (elements without a node)
};

struct setup_filter_context {
    int pass;            // 1 or 2
    int stopped;         // any of out_of_memory, items_exhausted, refused: handlers do nothing
    int refused;         // bound exceeded: the code to record, 0 while within bounds
    int depth;           // open elements
    int node;            // filter_node of the path, node_none when it has none
    int prev;            // the child of `node` that ended last, node_none since it started
    int path_length;     // length of the path while it has no node (a node holds its own)
    int text_length;     // pass 2: leading bytes of the path written in `path`
    int suppress_depth;  // depth of the element that switched copying off; 0 while copying
    int in_idx;          // number of open Idx elements
    int current_idx;     // pass 1: item receiving text (-1: none)
    int item_index;      // pass 1: values collected; pass 2: next item to insert
    int item_count;      // values collected by pass 1
    long next_owner;     // pass 2: owner of the next item to insert (LONG_MAX: none left)
    int out_length;
    long ordinal;           // start tags seen in this pass
    int copy_on;            // 1 while elements and text are copied to the output
    int out_of_memory;      // work memory ran out
    int items_exhausted;    // an item to insert was missing
    int error_count;        // parser errors (warnings not counted) in this pass
    int first_error;        // libxml2 code of the first of them
    int first_error_depth;  // open elements when it was reported
    xmlDictPtr dict;        // the dictionary of the running parse
    int node_count;

    int16_t node_slot[node_slots];  // filter_node index, -1 for an empty slot
    alignas(64) filter_node nodes[node_max];
    filter_node_text node_text[node_max];
    frame frames[max_depth + 1];
    char out[out_size];
    char path[path_size];
    int16_t order[item_slots];  // items by owner (stable), filled after pass 1
    idx_item items[item_slots];
    xmlSAXHandler sax;  // per-call copy of the pass's handler table
};

bool halted(const setup_filter_context *c) {
    return c->stopped != 0;
}

void refuse(setup_filter_context *c, int code) {
    if (c->refused == 0) c->refused = code;
    c->stopped = 1;
}

// Copies `n` bytes without a call for the short ones (names, most texts), in word moves that
// read and write nothing outside the `n` bytes (the second may overlap the first).
inline void copy_bytes(char *to, const char *from, size_t n) {
    if (n >= 16) {
        std::memcpy(to, from, n);
    } else {
        copy_short(to, from, n);
    }
}

// Appends `length` bytes to the output; refuses with 75 when they would not fit with the
// terminator. The output is terminated once, when it is copied out.
void append(setup_filter_context *c, const char *text, int length) {
    if (c->refused) return;
    if (length > out_size - 1 - c->out_length) {
        refuse(c, QV_E_BUFFER_FULL);
        return;
    }
    copy_bytes(c->out + c->out_length, text, static_cast<size_t>(length));
    c->out_length += length;
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

// Sixteen bytes held in a vector register (GCC's generic vectors: SSE2, NEON or plain words).
typedef unsigned char bytes16 __attribute__((vector_size(16)));
typedef uint64_t words2 __attribute__((vector_size(16)));

// Whether any byte of `v` is one append_text does not copy as it is: one comparison per kind.
inline bool has_special(bytes16 v) {
    const bytes16 hit = (v == '\n') | (v == '&') | (v == '<') | (v == '>');
    const words2 halves = reinterpret_cast<words2>(hit);
    return (halves[0] | halves[1]) != 0;
}

inline bytes16 load16(const char *p) {
    bytes16 v;
    std::memcpy(&v, p, 16);
    return v;
}

// The `n` (0..15) bytes at `p` as the first bytes of a vector whose other bytes are zero (and
// so not special), read by word loads that stay inside the `n` bytes. Built in registers: a
// vector loaded from bytes just stored one by one would wait for the stores.
inline bytes16 load_short(const char *p, size_t n) {
    uint64_t low = 0, high = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (n >= 8) {
        std::memcpy(&low, p, 8);
        if (n > 8) {
            std::memcpy(&high, p + n - 8, 8);
            high >>= (16 - n) * 8;  // drop the bytes `low` holds
        }
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        low = head | (static_cast<uint64_t>(tail) >> ((8 - n) * 8) << 32);
    } else {
        for (size_t i = 0; i < n; ++i)
            low |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    return reinterpret_cast<bytes16>(words2{low, high});
#else
    char padded[16] = {};
    copy_bytes(padded, p, n & 15u);
    return load16(padded);
#endif
}

// append_text for a piece that holds bytes to escape or newlines.
[[gnu::noinline]] void append_text_escaped(setup_filter_context *c, const char *text, int length) {
    char *const begin = c->out;
    char *const limit = c->out + out_size - 1;  // the terminator may go here, nothing else
    char *o = begin + c->out_length;
    for (int i = 0; i < length;) {
        // A run of bytes copied as they are.
        int run = i;
        while (run < length && text_class.of[static_cast<unsigned char>(text[run])] == 0) ++run;
        if (run > i) {
            if (limit - o < run - i) goto full;
            copy_bytes(o, text + i, static_cast<size_t>(run - i));
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
        copy_bytes(o, replacement, static_cast<size_t>(n));
        o += n;
    }
    c->out_length = static_cast<int>(o - begin);
    return;
full:
    refuse(c, QV_E_BUFFER_FULL);
}

// Appends character data as XML text: the parser hands it over with references replaced, so
// '&' and '<' are escaped again, and a '>' that would close "]]>" is escaped as well. A newline
// directly after a newline is dropped, so that runs of newlines (blank lines) become one.
// Refuses with 75 when the text would not fit with the terminator.
//
// Most pieces are a single line break or plain text: plain text is checked and copied sixteen
// bytes at a time, straight into the output; bytes past the piece's end written on the way
// are scratch that the next append overwrites (the output's length says where it ends).
inline void append_text(setup_filter_context *c, const char *text, int length) {
    if (c->refused) return;
    char *const o = c->out + c->out_length;
    const int room = out_size - 1 - c->out_length;  // the terminator may go after it
    if (length == 1 && text[0] == '\n') {
        if (c->out_length > 0 && o[-1] == '\n') return;
        if (room < 1) {
            refuse(c, QV_E_BUFFER_FULL);
            return;
        }
        *o = '\n';
        c->out_length += 1;
        return;
    }
    if (room >= 16 && length < 16) {
        const bytes16 v = load_short(text, static_cast<size_t>(length));
        if (!has_special(v)) {
            std::memcpy(o, &v, 16);
            c->out_length += length;
            return;
        }
    } else if (room >= length && length >= 16) {
        int at = 0;
        for (; at + 16 < length; at += 16) {
            const bytes16 v = load16(text + at);
            if (has_special(v)) break;
            std::memcpy(o + at, &v, 16);
        }
        const bytes16 tail = load16(text + length - 16);  // the last sixteen, overlapping
        if (at + 16 >= length && !has_special(tail)) {
            std::memcpy(o + length - 16, &tail, 16);
            c->out_length += length;
            return;
        }
    }
    append_text_escaped(c, text, length);
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
        refuse(c, QV_E_BUFFER_FULL);
        return;
    }
    char *at = c->out + c->out_length;
    *at++ = '<';
    if (end) *at++ = '/';
    copy_bytes(at, name, static_cast<size_t>(name_length));
    at[name_length] = '>';
    c->out_length += length;
}

// Appends the start tag (`end` false) or end tag of the element of `node`.
inline void write_node_tag(setup_filter_context *c, const filter_node_text &node, bool end) {
    const int length = node.tag_length[end];
    if (length > 0 && !c->refused && out_size - 1 - c->out_length >= tag_size) {
        std::memcpy(c->out + c->out_length, node.tag[end], tag_size);
        c->out_length += length;
        return;
    }
    write_tag(c, end, node.name, node.name_length);
}

// The node of the element starting now (named `key`) below the path's node, or node_none.
inline int child_node(setup_filter_context *c, const xmlChar *key) {
    return path_nodes::child<&filter_node::key>(c, key);
}

// Remembers the path just appended (by `key`, written as `name`) as the node reached from
// `parent`, when the table has room and the dictionary owns the name; returns the new node
// or node_none. Pass 2 reads the path's text for the blacklist: it must be written.
int add_node(setup_filter_context *c, int parent, const xmlChar *key, const char *name,
             int name_length, bool is_idx) {
    if (c->node_count == node_max || c->dict == nullptr || xmlDictOwns(c->dict, key) != 1)
        return node_none;
    const int n = c->node_count++;
    filter_node &node = c->nodes[n];
    node.key = key;
    node.parent = parent;
    node.first = node_none;
    node.next = node_none;
    node.parent_length = c->node_text[parent].path_length;
    node.is_idx = is_idx;
    node.listed = c->pass == 2 && on_blacklist(c->path, c->path_length);
    filter_node_text &text = c->node_text[n];
    text.name = name;  // `key` itself or its local part: in the dictionary as well
    text.name_length = name_length;
    text.path_length = c->path_length;
    text.tag_length[0] = text.tag_length[1] = 0;
    if (c->pass == 2 && name_length + 3 <= tag_size) {
        std::memset(text.tag, 0, sizeof text.tag);
        text.tag[0][0] = '<';
        std::memcpy(text.tag[0] + 1, name, static_cast<size_t>(name_length));
        text.tag[0][name_length + 1] = '>';
        text.tag[1][0] = '<';
        text.tag[1][1] = '/';
        std::memcpy(text.tag[1] + 2, name, static_cast<size_t>(name_length));
        text.tag[1][name_length + 2] = '>';
        text.tag_length[0] = name_length + 2;
        text.tag_length[1] = name_length + 3;
    }
    path_nodes::insert(c, parent, key, n);
    return n;
}

// Makes `path_length` that of the path also while the path has a node.
void sync_path(setup_filter_context *c) {
    if (c->node >= 0) c->path_length = c->node_text[c->node].path_length;
}

// Pass 2: writes the whole path into `path`. The bytes past `text_length` belong to elements
// appended with a node: the chain of nodes from the path's own node down gives them.
void write_path(setup_filter_context *c) {
    sync_path(c);
    if (c->text_length == c->path_length) return;
    for (int n = c->node; n > node_root && c->node_text[n].path_length > c->text_length;
         n = c->nodes[n].parent) {
        const filter_node_text &node = c->node_text[n];
        const int at = node.path_length - node.name_length;
        std::memcpy(c->path + at, node.name, static_cast<size_t>(node.name_length));
        if (at > 0) c->path[at - 1] = '_';
    }
    c->text_length = c->path_length;
}

// Pass 1: opens a new item for an Idx element held by the element on top of the stack.
void collect_idx_start(setup_filter_context *c) {
    // 999 values at most: the table's last slot stays empty, as a terminator.
    if (c->item_index >= item_slots - 1) {
        refuse(c, QV_E_BUFFER_FULL);
        return;
    }
    idx_item &item = c->items[c->item_index];
    item.idx_length = 0;
    item.owner = c->depth > 0 ? c->frames[c->depth - 1].ordinal : 0;
    c->current_idx = c->item_index;
    c->item_index++;
}

// After pass 1: orders the items by owner (stable), so that pass 2 meets them in the order of
// their entries' start tags also when an Idx inside a child element precedes its parent's.
void sort_items(setup_filter_context *c) {
    for (int i = 0; i < c->item_count; ++i) {
        const int16_t item = static_cast<int16_t>(i);
        int j = i;
        for (; j > 0 && c->items[c->order[j - 1]].owner > c->items[item].owner; --j)
            c->order[j] = c->order[j - 1];
        c->order[j] = item;
    }
}

// Pass 2: the owner of the next value to insert, LONG_MAX when none is left.
void update_next_owner(setup_filter_context *c) {
    c->next_owner =
        c->item_index < c->item_count ? c->items[c->order[c->item_index]].owner : LONG_MAX;
}

// Pass 2: inserts the values whose entry is the element just opened (ordinal `ordinal`), when
// its start tag was written; values of entries that were not written are dropped with them.
[[gnu::noinline]] void insert_idx(setup_filter_context *c, long ordinal, bool written) {
    while (c->item_index < c->item_count && !halted(c)) {
        const idx_item &item = c->items[c->order[c->item_index]];
        if (item.owner > ordinal) break;
        if (item.owner == ordinal && written) {
            append_text(c, "\n", 1);
            append(c, "<Idx>", 5);
            append_text(c, item.idx, item.idx_length);
            append(c, "</Idx>", 6);
        }
        c->item_index++;
    }
    update_next_owner(c);
}

// Pass 2, after an element (named `name`) was appended: copying goes off at an Idx element or
// a blacklisted path (`listed`), else its start tag is written; then the values of this
// entry follow.
inline void copy_start(setup_filter_context *c, bool is_idx, bool listed,
                       const filter_node_text *node, const char *name, int name_length) {
    if (c->suppress_depth == 0) {
        if (is_idx || listed)
            c->suppress_depth = c->depth;
        else if (node != nullptr)
            write_node_tag(c, *node, false);
        else
            write_tag(c, false, name, name_length);
    }
    c->copy_on = c->suppress_depth == 0;
    // Values are due at the element that owns the next one (or at one past it, when the
    // owner's start tag never came: the values are then dropped).
    if (c->next_owner <= c->ordinal) insert_idx(c, c->ordinal, c->copy_on != 0);
}

// Pass 2, at the end tag of an element (named `name`): written while copying, and copying
// comes back on after the element that switched it off.
inline void copy_end(setup_filter_context *c, const filter_node_text *node, const char *name,
                     int name_length) {
    if (c->suppress_depth == 0) {
        if (node != nullptr)
            write_node_tag(c, *node, true);
        else
            write_tag(c, true, name, name_length);
    }
    if (c->suppress_depth == c->depth + 1) c->suppress_depth = 0;
    c->copy_on = c->suppress_depth == 0;
}

// A start tag whose path has no node yet: finds its name as written, measures it, appends it
// to the path (pass 2 writes the path's text) within the path's bound, and remembers the path.
[[gnu::noinline]] void start_element_slow(setup_filter_context *c, const xmlChar *raw_name) {
    const char *name = element_name(c, reinterpret_cast<const char *>(raw_name));
    const bool is_idx = name[0] == 'I' && name[1] == 'd' && name[2] == 'x' && name[3] == '\0';
    if (c->depth >= max_depth) {
        refuse(c, QV_E_LENGTH_TOO_LARGE);
        return;
    }
    frame &f = c->frames[c->depth];
    f.is_idx = is_idx;
    f.outer_idx = c->current_idx;
    if (is_idx && c->pass == 1) {
        collect_idx_start(c);
        if (halted(c)) return;
    }

    // Append "_" and the name to the path (no "_" before the first name), within its bound.
    sync_path(c);
    const int name_start = c->path_length + (c->path_length > 0 ? 1 : 0);
    const size_t name_length = std::strlen(name);
    if (name_start > path_size - 1 ||
        name_length > static_cast<size_t>(path_size - 1 - name_start)) {
        refuse(c, QV_E_LENGTH_TOO_LARGE);
        return;
    }
    if (c->pass == 2) {
        write_path(c);
        if (c->path_length > 0) c->path[c->path_length] = '_';
        std::memcpy(c->path + name_start, name, name_length);
    }
    const int parent = c->node;
    f.path_length = c->path_length;
    f.ordinal = ++c->ordinal;
    f.parent = parent;
    c->path_length = name_start + static_cast<int>(name_length);
    c->text_length = c->path_length;
    c->depth++;
    if (is_idx) c->in_idx++;
    const int node =
        parent >= 0 ? add_node(c, parent, raw_name, name, static_cast<int>(name_length), is_idx)
                    : node_none;
    c->node = node;
    c->prev = node_none;
    if (c->pass == 2)
        copy_start(c, is_idx,
                   node >= 0 ? c->nodes[node].listed : on_blacklist(c->path, c->path_length),
                   node >= 0 ? &c->node_text[node] : nullptr, c->path + name_start,
                   c->path_length - name_start);
}

// The end of an element appended without a node: its frame gives the path back. In pass 2
// its name is still in the path's text, written by its start tag.
[[gnu::noinline]] void end_element_slow(setup_filter_context *c) {
    const frame &f = c->frames[c->depth];
    if (f.is_idx) {
        c->in_idx--;
        c->current_idx = f.outer_idx;  // text after a nested Idx belongs to the outer one
    }
    if (c->pass == 2) {
        const int name_start = f.path_length + (f.path_length > 0 ? 1 : 0);
        copy_end(c, nullptr, c->path + name_start, c->path_length - name_start);
    }
    c->path_length = f.path_length;
    c->node = f.parent;
    c->prev = node_none;
    if (c->text_length > c->path_length) c->text_length = c->path_length;
}

// The end of the element whose start made the path's node `node`: the node's parent is the
// path before it.
inline void leave_node(setup_filter_context *c, int n) {
    const filter_node &node = c->nodes[n];
    c->prev = n;
    c->node = node.parent;
    if (c->text_length > node.parent_length) c->text_length = node.parent_length;
}

// What both passes do when an element ends: the depth and the Idx nesting are given back.
// The node of the element, or node_none when it had none (the slow path has then ended it).
inline int end_of_element(setup_filter_context *c) {
    c->depth--;
    const int n = c->node;
    if (n < 0) {
        end_element_slow(c);
        return node_none;
    }
    if (c->nodes[n].is_idx) {
        c->in_idx--;
        c->current_idx = c->frames[c->depth].outer_idx;
    }
    return n;
}

// The node of the element starting now, or node_none when it has none (the slow path has
// then started it).
inline int start_of_element(setup_filter_context *c, const xmlChar *raw_name) {
    const int n = child_node(c, raw_name);
    if (n < 0) start_element_slow(c, raw_name);
    return n;
}

// ---- Pass 1: collect every Idx value with the ordinal of the element that holds it ----

void collect_start(void *user, const xmlChar *raw_name, const xmlChar ** /*attributes*/) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c)) return;
    const int n = start_of_element(c, raw_name);
    if (n < 0) return;
    // The node's path fitted when the node was made, below the same path and at the same depth
    // as now.
    const filter_node &node = c->nodes[n];
    frame &f = c->frames[c->depth];
    if (node.is_idx) {
        f.is_idx = true;
        f.outer_idx = c->current_idx;
        collect_idx_start(c);
        if (halted(c)) return;
        c->in_idx++;
    }
    f.ordinal = ++c->ordinal;
    c->node = n;
    c->prev = node_none;
    c->depth++;
}

void collect_end(void *user, const xmlChar * /*raw_name*/) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || c->depth == 0) return;
    const int n = end_of_element(c);
    if (n >= 0) leave_node(c, n);
}

// The text of an open Idx element, joined into its value (a reference splits it).
[[gnu::noinline]] void collect_idx_text(setup_filter_context *c, const char *text, int length) {
    idx_item &item = c->items[c->current_idx];
    if (length > idx_size - 1 - item.idx_length) {
        refuse(c, QV_E_LENGTH_TOO_LARGE);
        return;
    }
    std::memcpy(item.idx + item.idx_length, text, static_cast<size_t>(length));
    item.idx_length += length;
}

void collect_chars(void *user, const xmlChar *raw_text, int length) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || length <= 0) return;
    if (c->in_idx != 0 && c->current_idx >= 0)
        collect_idx_text(c, reinterpret_cast<const char *>(raw_text), length);
}

// ---- Pass 2: write the kept elements and text, each entry's values after its start tag ----

void start_element(void *user, const xmlChar *raw_name, const xmlChar ** /*attributes*/) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c)) return;
    const int n = start_of_element(c, raw_name);
    if (n < 0) return;
    const filter_node &node = c->nodes[n];
    if (node.is_idx) {
        frame &f = c->frames[c->depth];
        f.is_idx = true;
        f.outer_idx = c->current_idx;
        c->in_idx++;
    }
    ++c->ordinal;
    c->node = n;
    c->prev = node_none;
    c->depth++;
    copy_start(c, node.is_idx, node.listed, &c->node_text[n], nullptr, 0);
}

// The end tag is written with the name its start tag entered the path with (the parser has
// checked that they match).
void end_element(void *user, const xmlChar * /*raw_name*/) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || c->depth == 0) return;
    const int n = end_of_element(c);
    if (n < 0) return;
    copy_end(c, &c->node_text[n], nullptr, 0);
    leave_node(c, n);
}

void chars_found(void *user, const xmlChar *raw_text, int length) {
    auto *c = static_cast<setup_filter_context *>(user);
    if (halted(c) || length <= 0) return;
    if (c->suppress_depth == 0 && c->in_idx == 0)
        append_text(c, reinterpret_cast<const char *>(raw_text), length);
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

// First-generation tables: the three handlers of the pass and nothing else (the text handler
// also for blank runs: without a tree libxml2 reports none as ignorable, and with one handler
// for both it skips its per-run test); both passes see the same parser events.
xmlSAXHandler make_callbacks(startElementSAXFunc start, endElementSAXFunc end,
                             charactersSAXFunc chars) {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.initialized = 1;
    h.startElement = start;
    h.endElement = end;
    h.characters = chars;
    h.ignorableWhitespace = chars;
    return h;
}

const xmlSAXHandler collectCallbacks = make_callbacks(collect_start, collect_end, collect_chars);
const xmlSAXHandler mySAXParseCallbacks = make_callbacks(start_element, end_element, chars_found);

int fail(int module, setup_filter_context *c, int code) {
    std::free(c);
    // Only an allocation that failed follows a failed call; the rest is the filter's verdict.
    xml_except_errno(module, code, code == QV_E_NO_MEMORY ? ENOMEM : 0);
    return -1;
}

// Runs one pass; 0, or the code that refuses the document.
int run_pass(setup_filter_context *c, const char *document, int length) {
    c->in_idx = 0;
    c->item_index = 0;
    c->path_length = 0;
    c->text_length = 0;
    c->depth = 0;
    c->suppress_depth = 0;
    c->ordinal = 0;
    c->current_idx = -1;
    c->error_count = 0;
    c->first_error = 0;
    c->first_error_depth = 0;
    filter_node &root = c->nodes[node_root];
    root.key = nullptr;
    root.parent = root.first = root.next = node_none;
    root.parent_length = 0;
    root.is_idx = root.listed = false;
    filter_node_text &root_text = c->node_text[node_root];
    root_text.name = nullptr;
    root_text.name_length = root_text.path_length = 0;
    root_text.tag_length[0] = root_text.tag_length[1] = 0;
    c->node_count = 1;
    c->node = node_root;
    c->prev = node_none;
    std::memset(c->node_slot, 0xff, sizeof c->node_slot);
    update_next_owner(c);
    c->sax = c->pass == 1 ? collectCallbacks : mySAXParseCallbacks;
    const int result = path_nodes::sax_parse(c->sax, c, document, length);
    if (result < 0) return QV_E_XML_NOT_VALID;
    if (c->out_of_memory) return QV_E_NO_MEMORY;
    if (c->items_exhausted) return QV_E_NULL_POINTER;
    if (result > 0) {
        // A document that is not well-formed ended the parse early: posting what came before
        // the error would send half a configuration. One case has been read whole: the only
        // error is a root end tag that does not match the root start tag (a stored document
        // whose root start tag alone was rewritten); the root is then closed here.
        const bool root_end_mismatch = result == XML_ERR_TAG_NAME_MISMATCH && c->error_count == 1 &&
                                       c->first_error == XML_ERR_TAG_NAME_MISMATCH &&
                                       c->first_error_depth == 1 && c->depth == 1;
        if (!root_end_mismatch) return QV_E_XML_NOT_VALID;
        if (c->pass == 2 && !c->refused && c->suppress_depth == 0) {
            // The root's start tag was written (no blacklist path is a single name; only a
            // root named Idx is not); the path is now the root's local name.
            write_path(c);
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
        xml_except(module, QV_E_NULL_POINTER);
        return -1;
    }
    if (size <= 0) {
        xml_except(module, QV_E_XML_NOT_VALID);
        return -1;
    }
    auto *c = static_cast<setup_filter_context *>(std::malloc(sizeof(setup_filter_context)));
    if (c == nullptr) {
        xml_except_errno(module, QV_E_NO_MEMORY, ENOMEM);
        return -1;
    }
    c->copy_on = 1;
    c->out_of_memory = 0;
    c->items_exhausted = 0;
    c->out_length = 0;
    c->refused = 0;
    c->stopped = 0;
    c->item_index = 0;
    c->item_count = 0;
    c->dict = nullptr;

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
    if (code == 0 && c->out_length == 0) code = QV_E_XML_NOT_VALID;
    if (code != 0) return fail(module, c, code);

    const int out_length = c->out_length;  // newline runs were collapsed while appending
    if (out_length > size - 1 - declaration_length) return fail(module, c, QV_E_BUFFER_FULL);
    std::memcpy(document, declaration, declaration_length);
    std::memcpy(document + declaration_length, c->out, out_length);
    const int written = declaration_length + out_length;
    std::memset(document + written, 0, static_cast<size_t>(size - written));
    std::free(c);
    return 0;
}
