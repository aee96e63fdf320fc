// Records written as XML and parsed back come out identical, byte for byte.
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/xml_module.h"
#include "records/xml_parse.h"
#include "records_test_util.h"

namespace {

struct setup_pair {
    kyvern_setup record;
    kyvern_setup_entry_count count;
};
struct values_pair {
    kyvern_values record;
    kyvern_values_entry_count count;
};

// First field whose bytes differ, for a readable failure.
std::string first_difference(const xml_record_layout &layout, const void *a, const void *b) {
    for (int row = 0; row < layout.rows; ++row) {
        const xml_field_desc &f = layout.fields[row];
        for (int k = 0; k < f.capacity; ++k)
            if (std::memcmp(xml_field_slot(a, f, k), xml_field_slot(b, f, k), f.width) != 0)
                return std::string(f.path) + "[" + std::to_string(k) + "]: \"" +
                       xml_field_slot(a, f, k) + "\" vs \"" + xml_field_slot(b, f, k) + "\"";
    }
    return "time_stamp";
}

}  // namespace

using RoundTrip = ParseTest;

TEST_F(RoundTrip, RandomSetupRecordsSurviveWriteAndParse) {
    auto in = std::make_unique<setup_pair>();
    std::vector<char> buf(QVXML_BUFFER_SIZE);
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        fill_random(xml_setup_layout, &in->record, &in->count, rng, seed % 8 == 0);
        buf[0] = '\0';
        ASSERT_EQ(struct2xml(&in->record, &in->count, buf.data(), buf.size()), 0) << seed;
        std::string doc(buf.data());
        ASSERT_EQ(parse(doc, 1), 0) << seed;
        ASSERT_EQ(std::memcmp(&setup_count(), &in->count, sizeof in->count), 0) << seed;
        ASSERT_EQ(std::memcmp(&setup(), &in->record, sizeof in->record), 0)
            << seed << " " << first_difference(xml_setup_layout, &setup(), &in->record);
    }
}

TEST_F(RoundTrip, RandomValuesRecordsSurviveWriteAndParse) {
    auto in = std::make_unique<values_pair>();
    std::vector<char> buf(QVXML_BUFFER_SIZE);
    for (unsigned seed = 100; seed < 130; ++seed) {
        std::mt19937 rng(seed);
        fill_random(xml_values_layout, &in->record, &in->count, rng, seed % 10 == 0);
        // A model number the power-meter post-parser acts on would add entries of its own.
        std::memset(in->record.Agent_Model, 0, sizeof in->record.Agent_Model);
        std::strcpy(in->record.Agent_Model, "m");
        buf[0] = '\0';
        ASSERT_EQ(
            xml_record2xml(xml_values_layout, &in->record, &in->count, buf.data(), buf.size()), 0);
        std::string doc(buf.data());
        ASSERT_EQ(parse(doc, 0), 0) << seed;
        ASSERT_EQ(std::memcmp(&values_count(), &in->count, sizeof in->count), 0) << seed;
        ASSERT_EQ(std::memcmp(&values(), &in->record, sizeof in->record), 0)
            << seed << " " << first_difference(xml_values_layout, &values(), &in->record);
    }
}
