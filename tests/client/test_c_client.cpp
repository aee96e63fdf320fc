// The interface stays usable from C: a program written in C, including only the public
// header, fetches values from the stand-in device with a callback and an accessor.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support.h"

TEST(CInterface, CProgramFetchesValuesFromTheStandInDevice) {
    qvtest::device device;
    ASSERT_TRUE(device.running());
    const qvtest::run_result r =
        qvtest::run({qvtest::built_program("tests/client/c_client"), device.port_text()},
                    std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // The bundled device document has sensors; the callback and the accessor agree.
    int calls = 0, in_callback = 0, in_record = 0, length = 0;
    char first[64] = "";
    ASSERT_EQ(std::sscanf(r.out.c_str(), "calls=%d sensors=%d/%d length=%d first=[%63[^]]", &calls,
                          &in_callback, &in_record, &length, first),
              5)
        << r.out << r.err;
    EXPECT_EQ(calls, 1);
    EXPECT_GT(in_record, 0);
    EXPECT_EQ(in_callback, in_record);
    EXPECT_GT(length, 0);
    EXPECT_GT(std::string(first).size(), 0u);
}
