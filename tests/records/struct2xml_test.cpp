// struct2xml: exact text form, entries up to the counts, escaping, capacity, appending.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "records/xml_parse.h"
#include "records_test_util.h"

namespace {

struct setup_pair {
    kyvern_setup record;
    kyvern_setup_entry_count count;
};

std::unique_ptr<setup_pair> empty_setup() {
    auto p = std::make_unique<setup_pair>();
    std::memset(p.get(), 0, sizeof *p);
    return p;
}

std::string write(const setup_pair &s, size_t capacity = QVXML_BUFFER_SIZE) {
    std::vector<char> buf(capacity, '\0');
    if (struct2xml(&s.record, &s.count, buf.data(), capacity) != 0) return "<failed>";
    return std::string(buf.data());
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Struct2xmlText, EmptyRecordGivesEverySectionAndLeaf) {
    const std::string expected = read_data("setup_empty.xml");
    ASSERT_FALSE(expected.empty());
    auto s = empty_setup();
    const std::string doc = write(*s);
    EXPECT_EQ(doc, expected);
    EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<Agent>", 0), 0u);
    EXPECT_EQ(doc.substr(doc.size() - 8), "\n</Root>");
    EXPECT_NE(doc.find("<BinaryInSet>\n\n<AlarmAction></AlarmAction>"), std::string::npos);
    EXPECT_EQ(doc.find('\r'), std::string::npos);
}

TEST(Struct2xmlText, EveryLeafCarriesItsFieldInRecordOrder) {
    // Field k (slot 0) holds the text "k"; one entry per set.
    auto s = empty_setup();
    for (int row = 0; row < XML_SETUP_ROWS; ++row)
        std::strcpy(xml_field_slot(&s->record, xml_setup_fields[row], 0),
                    std::to_string(row).c_str());
    for (const auto &set : xml_setup_sets) *xml_set_count(&s->count, set) = 1;
    EXPECT_EQ(write(*s), read_data("setup_one_entry_numbered.xml"));
}

TEST(Struct2xmlText, OnlySlotsBelowTheCountAreWritten) {
    auto s = empty_setup();
    s->count.SenSet = 2;
    std::strcpy(s->record.SenSet_Entry_Name[0], "zero");
    std::strcpy(s->record.SenSet_Entry_Name[1], "one");
    std::strcpy(s->record.SenSet_Entry_Name[2], "slot-two");
    const std::string doc = write(*s);
    const size_t from = doc.find("<SenSet>");
    const size_t to = doc.find("</SenSet>");
    const std::string section = doc.substr(from, to - from);
    EXPECT_EQ(occurrences(section, "<Entry>"), 2u);
    EXPECT_EQ(occurrences(doc, "<Entry>"), 2u);
    EXPECT_NE(section.find("<Name>zero</Name>"), std::string::npos);
    EXPECT_NE(section.find("\n</Entry>\n<Entry>\n<Name>one</Name>\n<ID></ID>"), std::string::npos);
    EXPECT_EQ(doc.find("slot-two"), std::string::npos);
}

TEST(Struct2xmlText, CountsOutsideTheSetAreBounded) {
    auto s = empty_setup();
    s->count.User = 1000;
    s->count.SenSet = -4;
    std::strcpy(s->record.User_Entry_Name[1], "second");
    const std::string doc = write(*s);
    EXPECT_EQ(occurrences(doc, "<Entry>"), 2u);
    EXPECT_NE(doc.find("<Name>second</Name>"), std::string::npos);
}

TEST(Struct2xmlText, EscapesWhatWouldBreakTheDocument) {
    auto s = empty_setup();
    std::strcpy(s->record.Agent_Title, "a&b<c>d]]>e]>f&amp;");
    const std::string doc = write(*s);
    EXPECT_NE(doc.find("<Title>a&amp;b&lt;c>d]]&gt;e]>f&amp;amp;</Title>"), std::string::npos);
}

TEST(Struct2xmlText, FieldWithoutTerminatorIsWrittenUpToItsWidth) {
    auto s = empty_setup();
    std::memcpy(s->record.Info, "abcd", 4);  // fills the width-4 field, no terminator
    EXPECT_NE(write(*s).find("\n<Info>abcd</Info>\n</Root>"), std::string::npos);
}

TEST(Struct2xmlBuffer, AppendsToTheTextAlreadyThere) {
    auto s = empty_setup();
    std::vector<char> buf(QVXML_BUFFER_SIZE, 'x');
    std::strcpy(buf.data(), "POST /setup.xml\r\n\r\n");
    ASSERT_EQ(struct2xml(&s->record, &s->count, buf.data(), buf.size()), 0);
    EXPECT_EQ(std::string(buf.data()), "POST /setup.xml\r\n\r\n" + read_data("setup_empty.xml"));
}

TEST(Struct2xmlBuffer, RefusesWhatDoesNotFitAndWritesNothingPastCapacity) {
    auto s = empty_setup();
    std::strcpy(s->record.Agent_DeviceName, "device");
    const std::string prefix = "head:";
    const size_t needed = prefix.size() + write(*s).size() + 1;  // with the terminator

    for (size_t capacity : {needed, needed - 1, prefix.size() + 2}) {
        std::vector<char> buf(capacity + 64, '#');
        std::strcpy(buf.data(), prefix.c_str());
        const int r = struct2xml(&s->record, &s->count, buf.data(), capacity);
        EXPECT_EQ(r, capacity == needed ? 0 : -1) << capacity;
        if (r == 0) {
            EXPECT_EQ(std::string(buf.data()), prefix + write(*s));
        } else {
            EXPECT_EQ(std::string(buf.data()), prefix);
        }
        for (size_t i = capacity; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << capacity;
    }

    // No terminator within the capacity: nothing to append to.
    std::vector<char> full(16, 'y');
    EXPECT_EQ(struct2xml(&s->record, &s->count, full.data(), full.size()), -1);
    EXPECT_EQ(std::string(full.begin(), full.end()), std::string(16, 'y'));
}

TEST(Struct2xmlBuffer, EscapedFullRecordCanOutgrowTheDocumentBuffer) {
    // Every slot of every set used and every field full of "&": five bytes each when written.
    auto s = empty_setup();
    for (const auto &set : xml_setup_sets) *xml_set_count(&s->count, set) = set.capacity;
    for (const auto &f : xml_setup_fields)
        for (int k = 0; k < f.capacity; ++k)
            std::memset(xml_field_slot(&s->record, f, k), '&', f.width - 2u);
    std::vector<char> buf(QVXML_BUFFER_SIZE + 16, '#');
    buf[0] = '\0';
    EXPECT_EQ(struct2xml(&s->record, &s->count, buf.data(), QVXML_BUFFER_SIZE), -1);
    EXPECT_EQ(buf[0], '\0');
    for (size_t i = QVXML_BUFFER_SIZE; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#');

    // Unescaped, the same record fits the 256000-byte buffers.
    for (const auto &f : xml_setup_fields)
        for (int k = 0; k < f.capacity; ++k)
            std::memset(xml_field_slot(&s->record, f, k), 'w', f.width - 2u);
    std::vector<char> ok(QVXML_BUFFER_SIZE, '\0');
    ASSERT_EQ(struct2xml(&s->record, &s->count, ok.data(), ok.size()), 0);
    EXPECT_LT(std::strlen(ok.data()), 200000u);
}
