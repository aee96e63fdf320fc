#include "fuzz_records.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Fields narrower than 2 bytes cannot hold text; every table field is wider.
void check_field(const char *member, const char *slot, size_t width) {
    const size_t length = strnlen(slot, width);
    if (length == width) fuzz_fail("field without terminator", member);
    if (length + 2 > width) fuzz_fail("field longer than width - 2", member);
}

void check_count(const char *set, int count, int capacity) {
    if (count < 0 || count > capacity) fuzz_fail("entry count outside 0..capacity", set);
}

}  // namespace

void fuzz_fail(const char *what, const char *detail) {
    std::fprintf(stderr, "fuzz invariant broken: %s: %s\n", what, detail ? detail : "");
    std::abort();
}

void fuzz_check_values(const kyvern_values *record, const kyvern_values_entry_count *count) {
    if (record != nullptr) {
#define QV_FIELD(member, path, width) check_field(#member, record->member, width);
#define QV_SET_FIELD(set, member, path, width, capacity) \
    for (int i = 0; i < (capacity); ++i) check_field(#member, record->member[i], width);
#include "qvxml_values_fields.def"
#undef QV_FIELD
#undef QV_SET_FIELD
    }
    if (count != nullptr) {
#define QV_SET(name, capacity, entry_path) check_count(#name, count->name, capacity);
#include "qvxml_values_sets.def"
#undef QV_SET
    }
}

void fuzz_check_setup(const kyvern_setup *record, const kyvern_setup_entry_count *count) {
    if (record != nullptr) {
#define QV_FIELD(member, path, width) check_field(#member, record->member, width);
#define QV_SET_FIELD(set, member, path, width, capacity) \
    for (int i = 0; i < (capacity); ++i) check_field(#member, record->member[i], width);
#include "qvxml_setup_fields.def"
#undef QV_FIELD
#undef QV_SET_FIELD
    }
    if (count != nullptr) {
#define QV_SET(name, capacity, entry_path) check_count(#name, count->name, capacity);
#include "qvxml_setup_sets.def"
#undef QV_SET
    }
}
