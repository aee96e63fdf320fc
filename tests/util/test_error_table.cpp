// The error vocabulary: 90 codes, row n = code n, messages exact.
#include <gtest/gtest.h>

#include <cstring>

#include "qvxml.h"

namespace {

const char *const kMessages[QVXML_ERROR_CODE_COUNT] = {
    "NULL",
    "Action not finish",
    "Action not valid",
    "Index not found",
    "Index not valid",
    "Memory not found",
    "File open failure",
    "File write failure",
    "File read failure",
    "File close failure",
    "File not found",
    "File not valid",
    "File size >= buffer_size_max",
    "IP not valid",
    "IP:PORT not found",
    "IP:PORT already use",
    "ID not found",
    "ID already use",
    "ID >= QVXML_ID_COUNT_MAX",
    "Timeout",
    "Semaphore init failed",
    "Semaphore post failed",
    "Semaphore wait failed",
    "Mutex init failed",
    "Mutex lock failed",
    "Mutex unlock failed",
    "Socket init failed",
    "Socket create failed",
    "Socket connect failure",
    "Socket nonblock setup failed",
    "Socket select write failure",
    "Socket select read failure",
    "Socket select failure",
    "Socket select timeout",
    "Recv failed",
    "Send failed",
    "Thread 0 not exit",
    "Thread 0 creation failed",
    "Thread creation failed",
    "Thread not exit",
    "Thread not run",
    "Count modules = QV*_MODULES_MAX",
    "p_password >= AUTHENTICATE_MAX",
    "p_user >= AUTHENTICATE_MAX",
    "Create XML parser failure",
    "XML file not valid",
    "HTTP not found",
    "HTTP: Bad Request",
    "HTTP: Unauthorized",
    "HTTP: Payment Required",
    "HTTP: Forbidden",
    "HTTP: Not Found",
    "HTTP: Method Not Allowed",
    "HTTP: Not Acceptable",
    "HTTP: Proxy Authentication Required",
    "HTTP: Request Timeout",
    "HTTP: Conflict",
    "HTTP: Gone",
    "HTTP: Length Required",
    "HTTP: Precondition Failed",
    "HTTP: Request Entity Too Large",
    "HTTP: Request-URI Too Long",
    "HTTP: Unsupported Media Type",
    "HTTP: Requested Range Not Satisfiable",
    "HTTP: Expectation Failed",
    "HTTP: Internal Server Error",
    "HTTP: Not Implemented",
    "HTTP: Bad Gateway",
    "HTTP: Service Unavailable",
    "HTTP: Gateway Timeout",
    "HTTP Version Not Supported",
    "HTTP unknown",
    "Number not in range",
    "Unknown value",
    "No data",
    "Buffer is full",
    "Checksum is failure",
    "Memory for page not alloc",
    "Memory for buffer not alloc",
    "TEA authorization failure",
    "Modul use more somewhere",
    "Length > LENGTH_MAX",
    "Socket reuseaddr setup failed",
    "Socket sndbuf setup failed",
    "Socket maxseg setup failed",
    "Assert: Pointer is NULL",
    "Server create failed",
    "Client connect failed",
    "Socket linger setup failed",
    "Resolve address failed",
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
