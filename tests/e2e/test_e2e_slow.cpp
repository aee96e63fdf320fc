// tarvik against the stand-in device: runs that wait for the ten-second limits.
#include <gtest/gtest.h>

#include "error_codes.h"
#include "fixtures.h"
#include "support.h"

namespace e2e {
using namespace qvtest;
namespace {

// A request that never finishes (the device drips its answer one byte every 400 ms): ten
// dots, "not finish for 10s", the rest of the run, "exit", and code 19.
TEST(Slow, UnfinishedRequestEndsWith19AfterExit) {
    device dev({"--drip", "1:400"});
    ASSERT_TRUE(dev.running());
    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()}, std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, 19) << r.out;
    EXPECT_EQ(r.out, "127.0.0.1:" + dev.port_text() + " connecting OK\n" +
                         "GET setup.xml..........not finish for 10s\nexit\n");
}

// An upload not answered within its ten polls still owns the module's POST buffer: the
// switch after it cannot be queued, so the run ends with the library's code 21, and the
// upload's late reply is never judged as the switch's. Only the upload reaches the device.
TEST(Slow, SwitchAfterAnUnfinishedUploadIsRefusedWithTheLibrarysCode) {
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("setup.xml"), family_setup()));
    device dev({"--drip", "1:400"});
    ASSERT_TRUE(dev.running());
    const run_result r =
        run_tarvik({"-f", dir.file("setup.xml"), "-o", "1=1", "127.0.0.1", dev.port_text()},
                   std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, 21) << r.out;
    const std::string expected_start =
        "127.0.0.1:" + dev.port_text() + " connecting OK\nSEND " + dir.file("setup.xml") +
        "..........not finish for 10s\nSET output 151=1 " + error_line(QV_E_SEM_POST);
    EXPECT_EQ(r.out.substr(0, expected_start.size()), expected_start) << r.out;
    EXPECT_EQ(r.out.find(" OK"), r.out.find(" OK\n")) << r.out;  // the connection line only
    EXPECT_EQ(r.out.find("failure\n"), std::string::npos) << r.out;
    const std::string log = dev.log();
    EXPECT_EQ(log.find("method=POST"), log.rfind("method=POST")) << log;
}

}  // namespace
}  // namespace e2e
