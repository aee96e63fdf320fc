// The stand-in device itself: its command line, many ports, output switching, clean end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "error_codes.h"
#include "support.h"
#include "transport_test_util.h"

namespace {

using qvtest::bundled_document;
using qvtest::device;

// Runs the device with `args` to its end (it must end by itself); standard error merged.
qvtest::run_result run_device(std::vector<std::string> args) {
    args.insert(args.begin(), qvtest::device_path());
    qvtest::run_options merged;
    merged.merge_stderr = true;
    return qvtest::run(args, std::chrono::seconds(10), merged);
}

TEST(DeviceCommandLine, HelpAndRefusedOptions) {
    qvtest::run_result r = run_device({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Usage: tarvik-device [options]\n", 0), 0u);
    for (const char *option : {"--ports", "--drip", "--status", "--slow-read", "--auth", "--send",
                               "--scenario", "--scenario-file"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;

    const std::vector<std::vector<std::string>> refused = {
        {"--no-such-option"},
        {"--port", "70000"},
        {"--drip", "10"},
        {"--status", "abc"},
        {"--values", "/nonexistent/values.xml"},
        {"--auth", "nocolon"},
        {"--port"},
        {"--send", "/nonexistent/reply"},
        {"--scenario", "GET /setup.xml"},    // no action
        {"--scenario", "every silent"},      // no selector
        {"--scenario", "2-1 silent"},        // an empty range
        {"--scenario", "0 silent"},          // requests count from 1
        {"--scenario", "* silent; 3 drip"},  // a value missing
        {"--scenario", "* status 99"},       // a value out of range
        {"--scenario", "POST shout"},        // no such action
        {"--scenario-file", "/nonexistent/rules"},
    };
    for (const auto &args : refused) {
        r = run_device(args);
        EXPECT_EQ(r.exit_code, 2) << args[0];
        EXPECT_EQ(r.out.rfind("tarvik-device: ", 0), 0u) << args[0] << ": " << r.out;
    }
}

TEST(DeviceProcess, ServesManyPortsAndEndsCleanlyWithConnectionsOpen) {
    device device({"--ports", "5", "--power-meter"});
    ASSERT_TRUE(device.running());
    const std::vector<int> ports = device.ports();
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[0], device.port());
    for (int port : ports) {
        reset_module(51);
        const exchange_result r = exchange(51, port, "GET /values.xml HTTP/1.0\r\n\r\n");
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.body, bundled_document("values_power.xml"));
    }
    // A connection that never sends its request does not hold up the end.
    reset_module(52);
    char address[16] = "127.0.0.1";
    ASSERT_EQ(xml_socket_create(52, -1, address, "", ports[2]), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.stop(), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
    xml_socket_close(52);
}

TEST(DeviceProcess, PostSwitchesOnlyOutputsInManualMode) {
    // Output 152 is put under automatic control (Mode 1) in a setup of our own.
    std::string setup = bundled_document("setup.xml");
    const size_t entry = setup.find("<ID>152</ID>");
    ASSERT_NE(entry, std::string::npos);
    const size_t mode = setup.find("<Mode>0</Mode>", entry);
    setup.replace(mode, 14, "<Mode>1</Mode>");
    qvtest::temp_dir dir;
    ASSERT_TRUE(qvtest::write_file(dir.file("setup.xml"), setup));
    device device({"--setup", dir.file("setup.xml")});
    ASSERT_TRUE(device.running());
    const std::string body =
        "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry>"
        "<Entry><ID>152</ID><Value>0</Value></Entry><Entry><ID>999</ID><Value>1</Value></Entry>"
        "</BinaryOutSet></Root>";
    const std::string post =
        "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    reset_module(53);
    const exchange_result reply = exchange(53, device.port(), post);
    ASSERT_EQ(reply.rc, 0);
    auto value_of = [](const std::string &doc, const char *id) {
        const size_t at = doc.find(std::string("<ID>") + id + "</ID>");
        const size_t v = doc.find("<Value>", at);
        return doc.substr(v + 7, doc.find('<', v + 7) - v - 7);
    };
    EXPECT_EQ(value_of(reply.body, "151"), "1");
    EXPECT_EQ(value_of(reply.body, "152"), "1");  // unchanged: not in manual mode
    EXPECT_NE(device.log().find("outputs=151:1,152:0!"), std::string::npos) << device.log();
    // The values document follows the applied change.
    const exchange_result values = exchange(53, device.port(), "GET /values.xml HTTP/1.0\r\n\r\n");
    EXPECT_EQ(value_of(values.body, "151"), "1");
}

TEST(DeviceProcess, UnknownPathsAndMethodsAreRefused) {
    device device;
    ASSERT_TRUE(device.running());
    const struct {
        const char *request;
        int code;
    } cases[] = {
        {"GET /index.html HTTP/1.0\r\n\r\n", QV_E_HTTP_404},
        {"POST /values.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n", QV_E_HTTP_405},
        {"DELETE /setup.xml HTTP/1.0\r\n\r\n", QV_E_HTTP_501},
    };
    for (const auto &c : cases) {
        reset_module(54);
        EXPECT_EQ(exchange(54, device.port(), c.request).code, c.code) << c.request;
    }
}

// Scenario rules pick each request's behaviour by number, range, method and path; the
// options are rules for every request where they stand, and a later rule overrides an
// earlier one.
TEST(DeviceScenario, RulesSelectRequestsByNumberRangeMethodAndPath) {
    qvtest::temp_dir dir;
    ASSERT_TRUE(qvtest::write_file(dir.file("reply"), "HTTP/1.0 200 OK\r\n\r\nexact bytes"));
    ASSERT_TRUE(qvtest::write_file(dir.file("rules"), "# from a file\n4-5 status 500\n5 normal\n"));
    device device({"--status", "503", "--scenario",
                   "1 normal; POST /setup.xml status 404; 3 send " + dir.file("reply"),
                   "--scenario-file", dir.file("rules"), "--scenario",
                   "7- status 401 # a comment; not a rule", "--scenario",
                   "/setup.xml status 403; POST status 502"});
    ASSERT_TRUE(device.running());
    const std::string get = "GET /values.xml HTTP/1.0\r\n\r\n";
    const std::string post = "POST /setup.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
    const std::string values = bundled_document("values.xml");
    const struct {
        std::string request;
        int code;
        std::string body;  // on success
    } steps[] = {
        {get, 0, values},           // 1: "normal" forgets --status
        {get, QV_E_HTTP_503, ""},   // 2: --status
        {get, 0, "exact bytes"},    // 3: send
        {post, QV_E_HTTP_502, ""},  // 4: 503, 404, 500, 403, then POST's
        {get, 0, values},           // 5: 503, 500, then normal
        {get, QV_E_HTTP_503, ""},   // 6
        {get, QV_E_HTTP_401, ""},   // 7: 7-
        {"GET /setup.xml HTTP/1.0\r\n\r\n", QV_E_HTTP_403, ""},  // 8: 7-, then the path's
    };
    for (size_t n = 0; n < std::size(steps); ++n) {
        reset_module(55);
        const exchange_result r = exchange(55, device.port(), steps[n].request);
        EXPECT_EQ(r.code, steps[n].code) << "request " << n + 1;
        if (steps[n].code == 0) {
            EXPECT_EQ(r.body, steps[n].body) << "request " << n + 1;
        }
    }
    EXPECT_EQ(device.requests(), 8);
}

}  // namespace
