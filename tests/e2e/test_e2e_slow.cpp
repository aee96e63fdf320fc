// tarvik against the stand-in device: runs that wait for the ten-second limits.
#include <gtest/gtest.h>

#include "e2e_util.h"

namespace e2e {
namespace {

// A request that never finishes (the device drips its answer one byte every 400 ms): ten
// dots, "not finish for 10s", the rest of the run, "exit", and code 19.
TEST(Slow, UnfinishedRequestEndsWith19AfterExit) {
    device dev({"--drip", "1:400"});
    ASSERT_TRUE(dev.running());
    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()}, 60);
    EXPECT_EQ(r.exit_code, 19) << r.out;
    EXPECT_EQ(r.out, "127.0.0.1:" + dev.port_text() + " connecting OK\n" +
                         "GET setup.xml..........not finish for 10s\nexit\n");
}

}  // namespace
}  // namespace e2e
