// Shared helpers of the record tests: a fixture that holds the parse lock, document builders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "qvxml.h"
#include "records/records.h"

// The module id the parser tests fill (any id works; the records are allocated on demand).
inline constexpr int kTestId = 7;

// Holds mutex 0 (the library-wide parse lock) for the whole test, starts module kTestId
// without hooks and frees its records afterwards.
class ParseTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // xml_parse(kTestId, doc, doc.size(), type); `doc` receives the root rewrite.
    static int parse(std::string &doc, int type);
    static kyvern_values &values();
    static kyvern_values_entry_count &values_count();
    static kyvern_setup &setup();
    static kyvern_setup_entry_count &setup_count();
    static int last_code();  // code of kTestId's fault record
};

// "<?xml ...?>\n<Root>" + body + "</Root>".
std::string rooted(const std::string &body);
// Contents of tests/records/data/<name> (found through QV_SOURCE_DIR).
std::string read_data(const std::string &name);

// Random text of `len` bytes that XML carries unchanged: printable ASCII including & < > ' "
// and ]]>, blanks, tabs, line feeds and two- and three-byte UTF-8 characters (never cut).
std::string random_text(std::mt19937 &rng, size_t len);
// Fills every slot below the random count of each set, and every single field, with random
// legal texts (at most width - 2 bytes); slots at and above a count stay empty.
void fill_random(const xml_record_layout &layout, void *record, void *counts, std::mt19937 &rng,
                 bool longest);
