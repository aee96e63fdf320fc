// The shared helpers themselves: what a test reads from run() and what device and temp_dir
// leave behind must be right, or every test built on them is wrong.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>

#include "support.h"

namespace qvtest {
namespace {

struct run_case {
    const char *name;
    std::string script;
    int exit_code;
    int signal;
    bool timed_out;
    std::string out;
    std::string err;
};

void PrintTo(const run_case &c, std::ostream *os) {
    *os << c.name;
}

class Run : public testing::TestWithParam<run_case> {};

TEST_P(Run, ReportsOutputAndHowTheProgramEnded) {
    const run_case &c = GetParam();
    const run_result r = run({"/bin/sh", "-c", c.script}, std::chrono::milliseconds(1500));
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.signal, c.signal);
    EXPECT_EQ(r.timed_out, c.timed_out);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_LT(r.elapsed.count(), 5000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Run,
    testing::Values(
        run_case{"exit_code", "echo out; echo err >&2; exit 3", 3, 0, false, "out\n", "err\n"},
        run_case{"signal", "echo before; kill -TERM $$", -1, SIGTERM, false, "before\n", ""},
        run_case{"time_limit", "echo started; exec sleep 30", -1, SIGKILL, true, "started\n", ""},
        // A child that keeps the output open must not hold run() past its limit.
        run_case{"inherited_output", "sleep 2 & exit 0", 0, 0, false, "", ""}),
    [](const testing::TestParamInfo<run_case> &info) { return std::string(info.param.name); });

TEST(Run, MergedStandardErrorKeepsTheOrderWritten) {
    run_options merged;
    merged.merge_stderr = true;
    const run_result r =
        run({"/bin/sh", "-c", "echo 1; echo 2 >&2; echo 3"}, std::chrono::seconds(5), merged);
    EXPECT_EQ(r.out, "1\n2\n3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Run, AProgramThatCannotStartEndsWith127) {
    const run_result r = run({"/nonexistent/program"}, std::chrono::seconds(5));
    EXPECT_EQ(r.exit_code, 127);
    EXPECT_FALSE(r.timed_out);
}

TEST(Device, ListensOnItsPortAndIsGoneAfterTheDestructor) {
    pid_t pid;
    int port;
    {
        device unit;
        ASSERT_TRUE(unit.running());
        pid = unit.pid();
        port = unit.port();
        const run_result r = run({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                  "http://127.0.0.1:" + unit.port_text() + "/values.xml"},
                                 std::chrono::seconds(10));
        EXPECT_EQ(r.out, "200");
    }
    EXPECT_NE(kill(pid, 0), 0) << "the unit's process still exists";
    const run_result r = run({"/usr/bin/curl", "-s", "-o", "/dev/null",
                              "http://127.0.0.1:" + std::to_string(port) + "/values.xml"},
                             std::chrono::seconds(10));
    EXPECT_EQ(r.exit_code, 7);  // curl: failed to connect
}

TEST(Device, ArgumentsArePassedThrough) {
    device unit({"--status", "503"});
    ASSERT_TRUE(unit.running());
    const run_result r = run({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                              "http://127.0.0.1:" + unit.port_text() + "/values.xml"},
                             std::chrono::seconds(10));
    EXPECT_EQ(r.out, "503");
}

TEST(Run, StartsAProgramOtherThanArgv0) {
    run_options options;
    options.program = "/bin/sh";
    const run_result r = run({"renamed", "-c", "echo $0"}, std::chrono::seconds(5), options);
    EXPECT_EQ(r.out, "renamed\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Device, ServesGivenDocumentsRecordsEveryRequestAndStopsCleanly) {
    device unit("<values/>", std::nullopt, {});
    ASSERT_TRUE(unit.running());
    const std::string base = "http://127.0.0.1:" + unit.port_text();
    EXPECT_EQ(run({"/usr/bin/curl", "-s", base + "/values.xml"}, std::chrono::seconds(10)).out,
              "<values/>");
    EXPECT_EQ(run({"/usr/bin/curl", "-s", base + "/setup.xml"}, std::chrono::seconds(10)).out,
              bundled_document("setup.xml"));
    EXPECT_EQ(unit.requests(), 2);
    EXPECT_EQ(unit.captured(2).rfind("GET /setup.xml HTTP/", 0), 0u) << unit.captured(2);
    EXPECT_EQ(unit.captured(3), "");
    EXPECT_EQ(unit.ports(), std::vector<int>{unit.port()});
    const pid_t pid = unit.pid();
    EXPECT_EQ(unit.stop(), 0);
    EXPECT_NE(kill(pid, 0), 0) << "the unit's process still exists";
    EXPECT_EQ(unit.stop(), -1);
}

TEST(TempDir, IsRemovedWithItsContents) {
    std::string path;
    {
        temp_dir dir;
        path = dir.path();
        ASSERT_TRUE(write_file(dir.file("a"), "bytes\n"));
        bool ok = false;
        EXPECT_EQ(read_file(dir.file("a"), &ok), "bytes\n");
        EXPECT_TRUE(ok);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    bool ok = true;
    EXPECT_EQ(read_file(path + "/a", &ok), "");
    EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace qvtest
