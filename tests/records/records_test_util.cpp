#include "records_test_util.h"

#include <libxml/parser.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/xml_parse.h"

void ParseTest::SetUp() {
    // As the library's init does before any thread uses libxml2 (its lazy global set-up is
    // not thread-safe).
    xmlInitParser();
    xml_mutex_lock(0);
    std::memset(&xml_module[kTestId].settings, 0, sizeof xml_module[kTestId].settings);
    xml_module[kTestId].user_ptr = nullptr;
}

void ParseTest::TearDown() {
    xml_records_free(kTestId);
    std::memset(&xml_module[kTestId].settings, 0, sizeof xml_module[kTestId].settings);
    xml_mutex_unlock(0);
}

int ParseTest::parse(std::string &doc, int type) {
    return xml_parse(kTestId, doc.data(), static_cast<int>(doc.size()), type);
}

kyvern_values &ParseTest::values() {
    return *p_kyvern_values[kTestId];
}
kyvern_values_entry_count &ParseTest::values_count() {
    return *p_kyvern_values_entry_count[kTestId];
}
kyvern_setup &ParseTest::setup() {
    return *p_kyvern_setup[kTestId];
}
kyvern_setup_entry_count &ParseTest::setup_count() {
    return *p_kyvern_setup_entry_count[kTestId];
}

int ParseTest::last_code() {
    xml_fault_record r;
    qvxml_error(kTestId, &r);
    return r.code;
}

std::string rooted(const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>" + body + "</Root>";
}

std::string read_data(const std::string &name) {
    const char *src = std::getenv("QV_SOURCE_DIR");
    std::ifstream in(std::string(src ? src : ".") + "/tests/records/data/" + name,
                     std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string random_text(std::mt19937 &rng, size_t len) {
    static const char ascii[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:-_=+*/!?#%$@()[]{}"
        "'\"&<>\t\n";
    static const char *const wide[] = {"\xc3\xa9", "\xc3\x9f", "\xe2\x82\xac", "\xe6\xb8\xa9"};
    static const char *const tricky[] = {"&amp;", "]]>", "<!--", "&#38;", "<x>"};
    std::string out;
    while (out.size() < len) {
        const auto pick = rng() % 20;
        const size_t room = len - out.size();
        std::string piece;
        if (pick == 0)
            piece = wide[rng() % 4];
        else if (pick == 1)
            piece = tricky[rng() % 5];
        else
            piece = std::string(1, ascii[rng() % (sizeof ascii - 1)]);
        if (piece.size() <= room)
            out += piece;
        else
            out += 'z';
    }
    return out;
}

void fill_random(const xml_record_layout &layout, void *record, void *counts, std::mt19937 &rng,
                 bool longest) {
    std::memset(record, 0, layout.record_size);
    std::memset(counts, 0, layout.count_size);
    for (int s = 0; s < layout.set_count; ++s)
        *xml_set_count(counts, layout.sets[s]) =
            longest ? layout.sets[s].capacity
                    : static_cast<int32_t>(rng() % (layout.sets[s].capacity + 1));
    for (int row = 0; row < layout.rows; ++row) {
        const xml_field_desc &f = layout.fields[row];
        const int slots = f.set < 0 ? 1 : *xml_set_count(counts, layout.sets[f.set]);
        for (int k = 0; k < slots; ++k) {
            const size_t max = f.width - 2u;
            const size_t len = longest ? max : rng() % (max + 1);
            const std::string text = random_text(rng, len);
            std::memcpy(xml_field_slot(record, f, k), text.data(), text.size());
        }
    }
}
