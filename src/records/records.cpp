// The record tables: path-to-event tables, the compile-time path hash and the layout checks.
#include "records/records.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/xml_module.h"

// ---- Layout pinned at compile time --------------------------------------------------------

static_assert(sizeof(kyvern_values) == 37524, "kyvern_values layout changed");
static_assert(sizeof(kyvern_setup) == 129540, "kyvern_setup layout changed");
static_assert(sizeof(kyvern_values_entry_count) == 3 * sizeof(int32_t));
static_assert(sizeof(kyvern_setup_entry_count) == 9 * sizeof(int32_t));
static_assert(offsetof(kyvern_values, time_stamp) == 0 && offsetof(kyvern_setup, time_stamp) == 0);
static_assert(std::size(xml_values_fields) == XML_VALUES_ROWS);
static_assert(std::size(xml_setup_fields) == XML_SETUP_ROWS);
static_assert(std::size(xml_values_sets) == XML_VALUES_SET_COUNT && XML_VALUES_SET_COUNT == 3);
static_assert(std::size(xml_setup_sets) == XML_SETUP_SET_COUNT && XML_SETUP_SET_COUNT == 9);

namespace {

constexpr bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The text fields follow time_stamp without gaps, in table order, and fill the record to
// its end: the table order is the record order.
template <size_t N>
constexpr bool fields_in_record_order(const xml_field_desc (&fields)[N], size_t record_size) {
    size_t next = sizeof(int32_t);
    for (const auto &f : fields) {
        if (f.offset != next) return false;
        next += static_cast<size_t>(f.width) * f.capacity;
    }
    return next == record_size;
}

// Every path lies below Root and ends in a leaf; a set field sits in its set's Entry, has
// the set's capacity, and the fields of one set are contiguous rows (the writer emits one
// Entry block per set); the counts are consecutive int32_t in set order.
template <size_t N, size_t S>
constexpr bool fields_match_sets(const xml_field_desc (&fields)[N], const xml_set_desc (&sets)[S]) {
    int last_set = -1;
    bool seen[S] = {};
    for (const auto &f : fields) {
        std::string_view path(f.path, f.path_len);
        if (!starts_with(path, "Root_") || path.back() == '_' || f.width < 2) return false;
        if (f.set < 0) {
            if (f.capacity != 1 || path.find("_Entry_") != std::string_view::npos) return false;
            last_set = -1;
            continue;
        }
        const auto set = static_cast<size_t>(f.set);
        if (set >= S || f.capacity != sets[set].capacity) return false;
        std::string_view entry(sets[set].entry_path, sets[set].entry_path_len);
        if (!starts_with(path, entry) || path.size() <= entry.size() + 1 ||
            path[entry.size()] != '_')
            return false;
        if (static_cast<int>(set) != last_set) {
            if (seen[set]) return false;
            seen[set] = true;
            last_set = static_cast<int>(set);
        }
    }
    for (size_t s = 0; s < S; ++s)
        if (!seen[s] || sets[s].count_offset != s * sizeof(int32_t)) return false;
    return true;
}

static_assert(fields_in_record_order(xml_values_fields, sizeof(kyvern_values)));
static_assert(fields_in_record_order(xml_setup_fields, sizeof(kyvern_setup)));
static_assert(fields_match_sets(xml_values_fields, xml_values_sets));
static_assert(fields_match_sets(xml_setup_fields, xml_setup_sets));

// ---- Path lookup: open addressing over an FNV-1a hash, built at compile time ----------------

constexpr uint32_t fnv1a(const char *text, size_t len) {
    return xml_path_hash(XML_PATH_HASH_SEED, text, len);
}

template <size_t Slots>
struct path_hash {
    std::array<int16_t, Slots> slot{};  // event number, -1 for an empty slot
    int max_probe = 0;                  // longest probe sequence of a listed path
    bool unique = true;                 // no path stands in two rows
};

template <size_t Slots, size_t N>
constexpr path_hash<Slots> build_hash(const xml_field_desc (&fields)[N]) {
    static_assert((Slots & (Slots - 1)) == 0 && Slots >= 2 * N);
    path_hash<Slots> t;
    for (auto &s : t.slot) s = -1;
    for (size_t row = 0; row < N; ++row) {
        std::string_view path(fields[row].path, fields[row].path_len);
        size_t i = fnv1a(path.data(), path.size()) & (Slots - 1);
        int probe = 1;
        while (t.slot[i] >= 0) {
            const auto &other = fields[t.slot[i]];
            if (std::string_view(other.path, other.path_len) == path) t.unique = false;
            i = (i + 1) & (Slots - 1);
            ++probe;
        }
        t.slot[i] = static_cast<int16_t>(row);
        if (probe > t.max_probe) t.max_probe = probe;
    }
    return t;
}

constexpr auto values_hash = build_hash<128>(xml_values_fields);
constexpr auto setup_hash = build_hash<1024>(xml_setup_fields);
static_assert(values_hash.unique && setup_hash.unique, "a path stands in two rows");
static_assert(values_hash.max_probe <= 4 && setup_hash.max_probe <= 4, "poor path hash spread");

// Equality of two short texts, a word at a time (paths are a few dozen bytes).
inline bool same_bytes(const char *a, const char *b, size_t len) {
    if (len < 8) return std::memcmp(a, b, len) == 0;
    uint64_t x, y;
    for (size_t i = 0; i + 8 < len; i += 8) {
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    std::memcpy(&x, a + len - 8, 8);  // the last eight bytes, overlapping the loop's
    std::memcpy(&y, b + len - 8, 8);
    return x == y;
}

template <size_t Slots>
int lookup(const path_hash<Slots> &t, const xml_field_desc *fields, uint32_t hash, const char *path,
           size_t len) {
    size_t i = hash & (Slots - 1);
    for (;;) {
        const int row = t.slot[i];
        if (row < 0) return -1;
        const auto &f = fields[row];
        if (f.path_len == len && same_bytes(f.path, path, len)) return row;
        i = (i + 1) & (Slots - 1);
    }
}

}  // namespace

namespace {
// Each path-to-event row names its own field: event = row, path = the field's path.
template <size_t N>
constexpr bool rows_match_fields(const xml_name2event_row (&rows)[N],
                                 const xml_field_desc (&fields)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (rows[i].event != static_cast<int>(i) ||
            std::string_view(rows[i].name) != std::string_view(fields[i].path, fields[i].path_len))
            return false;
    return true;
}
static_assert(rows_match_fields(xml_values_name2event, xml_values_fields));
static_assert(rows_match_fields(xml_setup_name2event, xml_setup_fields));
static_assert(XML_VALUES_EV_COUNT == XML_VALUES_ROWS && XML_SETUP_EV_COUNT == XML_SETUP_ROWS);
}  // namespace

const xml_record_layout xml_values_layout = {0,
                                             xml_values_fields,
                                             XML_VALUES_ROWS,
                                             xml_values_sets,
                                             XML_VALUES_SET_COUNT,
                                             xml_values_name2event,
                                             sizeof(kyvern_values),
                                             sizeof(kyvern_values_entry_count)};
const xml_record_layout xml_setup_layout = {1,
                                            xml_setup_fields,
                                            XML_SETUP_ROWS,
                                            xml_setup_sets,
                                            XML_SETUP_SET_COUNT,
                                            xml_setup_name2event,
                                            sizeof(kyvern_setup),
                                            sizeof(kyvern_setup_entry_count)};

int xml_path_event_hashed(const xml_record_layout &layout, uint32_t hash, const char *path,
                          size_t len) {
    if (layout.type == 0) return lookup(values_hash, xml_values_fields, hash, path, len);
    return lookup(setup_hash, xml_setup_fields, hash, path, len);
}

int xml_path_event(const xml_record_layout &layout, const char *path, size_t len) {
    return xml_path_event_hashed(layout, fnv1a(path, len), path, len);
}

void xml_records_free(int id) {
    if (id < 0 || id >= QVXML_ID_COUNT_MAX) return;
    std::free(p_kyvern_values[id]);
    std::free(p_kyvern_values_entry_count[id]);
    std::free(p_kyvern_setup[id]);
    std::free(p_kyvern_setup_entry_count[id]);
    p_kyvern_values[id] = nullptr;
    p_kyvern_values_entry_count[id] = nullptr;
    p_kyvern_setup[id] = nullptr;
    p_kyvern_setup_entry_count[id] = nullptr;
}
