// Field and set tables of the values and setup records, generated from the one field table
// (include/qvxml_*_fields.def, include/qvxml_*_sets.def) that also generates the record
// structs. The parser's path-to-event lookup and save step and the record-to-XML writer are
// all driven by these tables, so a field cannot be added in one place and forgotten in
// another. All tables are constant: safe to read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qvxml.h"

#define QV_CAT_(a, b) a##b
#define QV_CAT(a, b) QV_CAT_(a, b)

// Index of each repeated set in its entry-count record (the order of the count members).
enum xml_values_set_index : int {
#define QV_SET(name, capacity, entry_path) XML_VALUES_SET_##name,
#include "qvxml_values_sets.def"
#undef QV_SET
    XML_VALUES_SET_COUNT
};

enum xml_setup_set_index : int {
#define QV_SET(name, capacity, entry_path) XML_SETUP_SET_##name,
#include "qvxml_setup_sets.def"
#undef QV_SET
    XML_SETUP_SET_COUNT
};

// Event numbers: the row of each field in its table (XML_SETUP_EV_Info == 160).
#define QV_FIELD(member, path, width) QV_CAT(QV_EV_PREFIX, member),
#define QV_SET_FIELD(set, member, path, width, capacity) QV_CAT(QV_EV_PREFIX, member),
#define QV_EV_PREFIX XML_VALUES_EV_
enum xml_values_event : int {
#include "qvxml_values_fields.def"
    XML_VALUES_EV_COUNT
};
#undef QV_EV_PREFIX
#define QV_EV_PREFIX XML_SETUP_EV_
enum xml_setup_event : int {
#include "qvxml_setup_fields.def"
    XML_SETUP_EV_COUNT
};
#undef QV_EV_PREFIX
#undef QV_FIELD
#undef QV_SET_FIELD

// One text field of a record (one row of the field table; the row number is the event
// number). A field of a repeated set is a parallel array: slot i of it is at
// offset + i * width.
struct xml_field_desc {
    const char *path;   // element path, e.g. "Root_SenSet_Entry_Name"
    uint16_t path_len;  // strlen(path)
    uint32_t offset;    // byte offset of slot 0 in the record
    uint16_t width;     // bytes per slot, terminator included
    uint16_t capacity;  // slots: 1 for a single field, the set's capacity otherwise
    int8_t set;         // index of the field's set in the entry-count record, -1 if single
};

// One repeated set.
struct xml_set_desc {
    const char *name;        // "SenSet"
    int capacity;            // slots of each of its arrays
    const char *entry_path;  // element path of its Entry, "Root_SenSet_Entry"
    uint16_t entry_path_len;
    uint32_t count_offset;  // byte offset of its int32_t count in the entry-count record
};

// A row of the parser's path-to-event tables; `event` equals the row's position.
struct xml_name2event_row {
    const char *name;
    int event;
};

inline constexpr int XML_VALUES_ROWS = 46;
inline constexpr int XML_SETUP_ROWS = 161;

#define QV_FIELD(member, path, width) \
    {path, sizeof(path) - 1, offsetof(QV_RECORD, member), width, 1, -1},
#define QV_SET_FIELD(set, member, path, width, capacity)   \
    {path,  sizeof(path) - 1, offsetof(QV_RECORD, member), \
     width, capacity,         QV_CAT(QV_SET_PREFIX, set)},

#define QV_RECORD kyvern_values
#define QV_SET_PREFIX XML_VALUES_SET_
inline constexpr xml_field_desc xml_values_fields[] = {
#include "qvxml_values_fields.def"
};
#undef QV_RECORD
#undef QV_SET_PREFIX

#define QV_RECORD kyvern_setup
#define QV_SET_PREFIX XML_SETUP_SET_
inline constexpr xml_field_desc xml_setup_fields[] = {
#include "qvxml_setup_fields.def"
};
#undef QV_RECORD
#undef QV_SET_PREFIX
#undef QV_FIELD
#undef QV_SET_FIELD

#define QV_SET(name, capacity, entry_path) \
    {#name, capacity, entry_path, sizeof(entry_path) - 1, offsetof(QV_COUNT, name)},
#define QV_COUNT kyvern_values_entry_count
inline constexpr xml_set_desc xml_values_sets[] = {
#include "qvxml_values_sets.def"
};
#undef QV_COUNT
#define QV_COUNT kyvern_setup_entry_count
inline constexpr xml_set_desc xml_setup_sets[] = {
#include "qvxml_setup_sets.def"
};
#undef QV_COUNT
#undef QV_SET

// The parser's path-to-event tables (46 and 161 rows), in event order.
#define QV_FIELD(member, path, width) {path, QV_CAT(QV_EV_PREFIX, member)},
#define QV_SET_FIELD(set, member, path, width, capacity) {path, QV_CAT(QV_EV_PREFIX, member)},
#define QV_EV_PREFIX XML_VALUES_EV_
inline constexpr xml_name2event_row xml_values_name2event[] = {
#include "qvxml_values_fields.def"
};
#undef QV_EV_PREFIX
#define QV_EV_PREFIX XML_SETUP_EV_
inline constexpr xml_name2event_row xml_setup_name2event[] = {
#include "qvxml_setup_fields.def"
};
#undef QV_EV_PREFIX
#undef QV_FIELD
#undef QV_SET_FIELD

// Everything a table-driven consumer needs about one document type.
struct xml_record_layout {
    int type;  // 0 values, 1 setup
    const xml_field_desc *fields;
    int rows;
    const xml_set_desc *sets;
    int set_count;
    const xml_name2event_row *name2event;
    size_t record_size;  // sizeof the record struct
    size_t count_size;   // sizeof the entry-count struct
};

extern const xml_record_layout xml_values_layout;
extern const xml_record_layout xml_setup_layout;

// Event number of the element path `path` (`len` bytes, not necessarily terminated) in the
// table of `layout`, or -1 when no row holds exactly that path (case-sensitive, whole
// string). Constant time in the number of rows (a hash table built from the field table
// at compile time); linear in `len`.
int xml_path_event(const xml_record_layout &layout, const char *path, size_t len);

// The hash behind the lookup (FNV-1a), usable incrementally: a parser that extends its path
// by "_" and a name continues the hash of the path instead of hashing it anew.
inline constexpr uint32_t XML_PATH_HASH_SEED = 2166136261u;
constexpr uint32_t xml_path_hash(uint32_t hash, const char *text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 16777619u;
    }
    return hash;
}
// xml_path_event for a path whose hash (from XML_PATH_HASH_SEED) is `hash`.
int xml_path_event_hashed(const xml_record_layout &layout, uint32_t hash, const char *path,
                          size_t len);

// Slot `index` of field `f` in `record` (a kyvern_values or kyvern_setup of f's layout).
// REQUIRES: 0 <= index < f.capacity.
inline char *xml_field_slot(void *record, const xml_field_desc &f, int index) {
    return static_cast<char *>(record) + f.offset + static_cast<size_t>(index) * f.width;
}
inline const char *xml_field_slot(const void *record, const xml_field_desc &f, int index) {
    return static_cast<const char *>(record) + f.offset + static_cast<size_t>(index) * f.width;
}

// The count of set `s` in an entry-count record of the set's layout.
inline int32_t *xml_set_count(void *counts, const xml_set_desc &s) {
    return reinterpret_cast<int32_t *>(static_cast<char *>(counts) + s.count_offset);
}
inline const int32_t *xml_set_count(const void *counts, const xml_set_desc &s) {
    return reinterpret_cast<const int32_t *>(static_cast<const char *>(counts) + s.count_offset);
}

// Writes `record` and `counts` of `layout` as a document in the text form of struct2xml,
// appended to the NUL-terminated text in `buffer` (`capacity` bytes in all). Counts are
// taken as 0 when negative and as the set's capacity when above it, so no slot outside the
// arrays is read. Returns 0, or -1 when the document (with its terminator) would not fit or
// `buffer` holds no terminator within `capacity`; the text already in `buffer` is then left
// as it was and nothing is written at or past `capacity`. struct2xml is this for setup.
int xml_record2xml(const xml_record_layout &layout, const void *record, const void *counts,
                   char *buffer, size_t capacity);

// Frees the four parsed records of module `id` (0..99) and nulls their pointers (the
// p_kyvern_* tables). Records are allocated by xml_parse with malloc.
// REQUIRES: no parse of `id` runs and no caller still uses the pointers (hold mutex 0).
void xml_records_free(int id);
