// The error vocabulary: 90 codes, row n = code n, each message copied whole by qv_error_i2s.
#include <gtest/gtest.h>

#include <cstring>

#include "error_codes.h"
#include "qvxml.h"

namespace {

using qvtest::kErrorRows;
static_assert(std::size(kErrorRows) == QVXML_ERROR_CODE_COUNT);

TEST(ErrorTable, EveryRowHoldsItsCodeAndMessage) {
    for (int code = 0; code < QVXML_ERROR_CODE_COUNT; ++code) {
        EXPECT_EQ(qv_error_number2str[code].code, code);
        EXPECT_STREQ(qv_error_number2str[code].message, kErrorRows[code].message) << code;
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(qv_error_i2s(code, buffer), buffer);
        EXPECT_STREQ(buffer, kErrorRows[code].message) << code;
    }
}

TEST(ErrorTable, LongestMessageFits38Bytes) {
    char buffer[38];
    EXPECT_STREQ(qv_error_i2s(63, buffer), "HTTP: Requested Range Not Satisfiable");
    EXPECT_EQ(std::strlen(buffer), 37u);
    size_t longest = 0;
    for (const qv_error_entry &row : qv_error_number2str)
        longest = std::max(longest, std::strlen(row.message));
    EXPECT_EQ(longest, 37u);
    EXPECT_STREQ(qv_error_i2s(70, buffer), "HTTP Version Not Supported");
    EXPECT_STREQ(qv_error_i2s(0, buffer), "NULL");
}

}  // namespace
