// tarvik against the stand-in device: failures, their messages and exit codes.
#include <gtest/gtest.h>

#include <filesystem>

#include "error_codes.h"
#include "fixtures.h"
#include "support.h"

namespace e2e {
using namespace qvtest;
namespace {

std::string connected(const device &dev) {
    return "127.0.0.1:" + dev.port_text() + " connecting OK\n";
}

TEST(Connection, RefusedConnectionEndsWithTheLibraryCode) {
    const std::string port = std::to_string(closed_port());
    const run_result r = run_tarvik({"-g", "127.0.0.1", port});
    EXPECT_EQ(r.exit_code, 28);  // Socket connect failure
    EXPECT_EQ(without_progress(r.out), "127.0.0.1:" + port + " connecting failure\n");
}

TEST(Credentials, SentAsBasicAuthorizationOnSetupRequests) {
    temp_dir dir;
    device dev({"--auth", "admin:secret"});
    ASSERT_TRUE(dev.running());

    const run_result r = run_tarvik({"-u", "admin", "-p", "secret", "-s", dir.file("s.xml"), "-o",
                                     "1=1", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    ASSERT_EQ(dev.requests(), 2);
    const std::string post = dev.captured(1), get = dev.captured(2);
    EXPECT_EQ(post.rfind("POST /setup.xml HTTP/1.0\r\n", 0), 0u) << post;
    EXPECT_NE(post.find("\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n"), std::string::npos);
    EXPECT_EQ(get, "GET /setup.xml HTTP/1.0\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n\r\n");
}

TEST(Credentials, WrongPasswordEndsWithUnauthorized) {
    device dev({"--auth", "admin:secret"});
    ASSERT_TRUE(dev.running());
    const run_result r =
        run_tarvik({"-u", "admin", "-p", "wrong", "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 48);
    EXPECT_EQ(without_progress(r.out).rfind(
                  connected(dev) + "GET setup.xml" + error_line(QV_E_HTTP_401), 0),
              0u)
        << r.out;
}

// 99 characters fit the library's credential buffers; 100 are refused by qvxml_open (code
// 43 for the user, checked first, 42 for the password) and main returns -1: status 255.
TEST(Credentials, LengthLimitOfTheLibrary) {
    const std::string user99(99, 'u'), password99(99, 'p');
    device dev({"--auth", user99 + ":" + password99});
    ASSERT_TRUE(dev.running());
    const std::string opening = "127.0.0.1:" + dev.port_text() + " connecting";

    run_result r = run_tarvik({"-u", user99, "-p", password99, "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;

    r = run_tarvik(
        {"-u", user99 + "u", "-p", password99 + "p", "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out.rfind(opening + own_finding_line(QV_E_USER_TOO_LONG), 0), 0u)
        << r.out;

    r = run_tarvik({"-u", user99, "-p", std::string(127, 'p'), "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out.rfind(opening + own_finding_line(QV_E_PASSWORD_TOO_LONG), 0), 0u)
        << r.out;
}

// A failed request ends the run with the module's error: after one blank for a POST, right
// after the progress for a GET.
TEST(FailedRequest, PostAndGetEndWithTheLibraryCode) {
    temp_dir dir;
    device dev({"--status", "500"});
    ASSERT_TRUE(dev.running());
    run_result r = run_tarvik({"-o", "1=1", "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 65);
    EXPECT_EQ(without_progress(r.out).rfind(
                  connected(dev) + "SET output 151=1 " + error_line(QV_E_HTTP_500), 0),
              0u)
        << r.out;
    EXPECT_EQ(r.out.find("exit"), std::string::npos);

    r = run_tarvik({"-s", dir.file("s.xml"), "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 65);
    EXPECT_EQ(without_progress(r.out).rfind(
                  connected(dev) + "GET setup.xml" + error_line(QV_E_HTTP_500), 0),
              0u)
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.xml")));
}

TEST(Files, TextReportIntoMissingDirectoryEndsWith201AfterTheSetupGet) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string target = dir.file("missing/r.txt");
    const run_result r = run_tarvik({"-t", target, "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 201);
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "GET setup.xml OK\nOpen '" + target + "' failure\n");
}

TEST(Files, ValuesIntoMissingDirectoryEndsWithTheLibraryCode) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string target = dir.file("missing/v.xml");
    const run_result r = run_tarvik({"-v", target, "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 6);
    // The failed open's errno.
    EXPECT_EQ(without_progress(r.out).rfind(connected(dev) + "GET values.xml OK\n" +
                                                error_line(QV_E_FILE_OPEN) +
                                                "No such file or directory (2)\n",
                                            0),
              0u)
        << r.out;
    EXPECT_EQ(r.out.find("GET setup.xml"), std::string::npos);
}

TEST(Files, NotADocumentEndsWithTheLibraryCode) {
    device dev({"--garbage"});
    ASSERT_TRUE(dev.running());
    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()});
    EXPECT_NE(r.exit_code, 0) << r.out;
    EXPECT_LT(r.exit_code, 90) << r.out;
    EXPECT_EQ(r.out.find("exit"), std::string::npos);
}

}  // namespace
}  // namespace e2e
