// The interface stays usable from C: a program written in C, including only the public
// header, fetches values from the stand-in device with a callback and an accessor.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device_fixture.h"

TEST(CInterface, CProgramFetchesValuesFromTheStandInDevice) {
    device_process device;
    ASSERT_TRUE(device.started());
    const char *dir = std::getenv("QV_BINARY_DIR");
    ASSERT_NE(dir, nullptr);
    const std::string command =
        std::string(dir) + "/tests/client/c_client " + std::to_string(device.port()) + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    // The bundled device document has sensors; the callback and the accessor agree.
    int calls = 0, in_callback = 0, in_record = 0, length = 0;
    char first[64] = "";
    ASSERT_EQ(std::sscanf(out.c_str(), "calls=%d sensors=%d/%d length=%d first=[%63[^]]", &calls,
                          &in_callback, &in_record, &length, first),
              5)
        << out;
    EXPECT_EQ(calls, 1);
    EXPECT_GT(in_record, 0);
    EXPECT_EQ(in_callback, in_record);
    EXPECT_GT(length, 0);
    EXPECT_GT(std::string(first).size(), 0u);
}
