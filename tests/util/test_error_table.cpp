// The error vocabulary: 90 codes, row n = code n, each message copied whole by qv_error_i2s.
#include <gtest/gtest.h>

#include <cstring>

#include "qvxml.h"

namespace {

// The messages as the .def file gives them, by code (the literal texts are pinned once,
// through tarvik --error-level).
const char *const kMessages[QVXML_ERROR_CODE_COUNT] = {
#define QV_ERROR(code, name, message) message,
#include "qvxml_errors.def"
};

TEST(ErrorTable, EveryRowHoldsItsCodeAndMessage) {
    for (int code = 0; code < QVXML_ERROR_CODE_COUNT; ++code) {
        EXPECT_EQ(qv_error_number2str[code].code, code);
        EXPECT_STREQ(qv_error_number2str[code].message, kMessages[code]) << code;
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(qv_error_i2s(code, buffer), buffer);
        EXPECT_STREQ(buffer, kMessages[code]) << code;
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
