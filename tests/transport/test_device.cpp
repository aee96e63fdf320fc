// The stand-in device itself: its command line, many ports, output switching, clean end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "device_fixture.h"
#include "transport/xml_socket.h"

namespace {

std::string bundled(const char *name) {
    return read_file(source_path("tools/device/data/") + name);
}

// Runs the device with `args` to its end; the exit status, output in *out.
int run_device(const std::string &args, std::string *out) {
    char name[] = "/tmp/qv_device_out_XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    const int status =
        std::system((device_binary() + " " + args + " >" + name + " 2>&1 </dev/null").c_str());
    *out = read_file(name);
    unlink(name);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DeviceCommandLine, HelpAndRefusedOptions) {
    std::string out;
    EXPECT_EQ(run_device("--help", &out), 0);
    EXPECT_EQ(out.rfind("Usage: tarvik-device [options]\n", 0), 0u);
    for (const char *option : {"--ports", "--drip", "--status", "--slow-read", "--auth"})
        EXPECT_NE(out.find(option), std::string::npos) << option;

    for (const char *bad : {"--no-such-option", "--port 70000", "--drip 10", "--status abc",
                            "--values /nonexistent/values.xml", "--auth nocolon", "--port"}) {
        EXPECT_EQ(run_device(bad, &out), 2) << bad;
        EXPECT_EQ(out.rfind("tarvik-device: ", 0), 0u) << bad << ": " << out;
    }
}

std::string fetch(int id, int port, const std::string &request, int *rc) {
    reset_module(id);
    char address[16] = "127.0.0.1";
    std::unique_ptr<char[]> buffer(new char[QVXML_BUFFER_SIZE]);
    int length = QVXML_BUFFER_SIZE;
    *rc = xml_socket_create(id, -1, address, "", port);
    if (*rc == 0) *rc = xml_socket_write(id, request.data(), static_cast<int>(request.size()));
    if (*rc == 0) *rc = xml_socket_read(id, buffer.get(), &length);
    xml_socket_close(id);
    return *rc == 0 ? std::string(buffer.get(), static_cast<size_t>(length)) : "";
}

TEST(DeviceProcess, ServesManyPortsAndEndsCleanlyWithConnectionsOpen) {
    char dir[] = "/tmp/qv_ports_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string port_file = std::string(dir) + "/ports";
    device_process device({"--ports", "5", "--port-file", port_file, "--power-meter"});
    ASSERT_TRUE(device.started());
    std::vector<int> ports;
    std::istringstream in(read_file(port_file));
    for (int p; in >> p;) ports.push_back(p);
    ASSERT_EQ(ports.size(), 5u);
    EXPECT_EQ(ports[0], device.port());
    for (int port : ports) {
        int rc;
        EXPECT_EQ(fetch(51, port, "GET /values.xml HTTP/1.0\r\n\r\n", &rc),
                  bundled("values_power.xml"));
        EXPECT_EQ(rc, 0);
    }
    // A connection that never sends its request does not hold up the end.
    reset_module(52);
    char address[16] = "127.0.0.1";
    ASSERT_EQ(xml_socket_create(52, -1, address, "", ports[2]), 0);
    const auto start = std::chrono::steady_clock::now();
    const int status = device.stop();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    xml_socket_close(52);
    unlink(port_file.c_str());
    rmdir(dir);
}

TEST(DeviceProcess, PostSwitchesOnlyOutputsInManualMode) {
    // Output 152 is put under automatic control (Mode 1) in a setup of our own.
    std::string setup = bundled("setup.xml");
    const size_t entry = setup.find("<ID>152</ID>");
    ASSERT_NE(entry, std::string::npos);
    const size_t mode = setup.find("<Mode>0</Mode>", entry);
    setup.replace(mode, 14, "<Mode>1</Mode>");
    char name[] = "/tmp/qv_setup_XXXXXX";
    close(mkstemp(name));
    write_file(name, setup);

    device_process device({"--setup", name});
    ASSERT_TRUE(device.started());
    const std::string body =
        "<Root><BinaryOutSet><Entry><ID>151</ID><Value>1</Value></Entry>"
        "<Entry><ID>152</ID><Value>0</Value></Entry><Entry><ID>999</ID><Value>1</Value></Entry>"
        "</BinaryOutSet></Root>";
    const std::string post =
        "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    int rc;
    const std::string reply = fetch(53, device.port(), post, &rc);
    ASSERT_EQ(rc, 0);
    auto value_of = [](const std::string &doc, const char *id) {
        const size_t at = doc.find(std::string("<ID>") + id + "</ID>");
        const size_t v = doc.find("<Value>", at);
        return doc.substr(v + 7, doc.find('<', v + 7) - v - 7);
    };
    EXPECT_EQ(value_of(reply, "151"), "1");
    EXPECT_EQ(value_of(reply, "152"), "1");  // unchanged: not in manual mode
    EXPECT_NE(device.log().find("outputs=151:1,152:0!"), std::string::npos) << device.log();
    // The values document follows the applied change.
    const std::string values = fetch(53, device.port(), "GET /values.xml HTTP/1.0\r\n\r\n", &rc);
    EXPECT_EQ(value_of(values, "151"), "1");
    unlink(name);
}

TEST(DeviceProcess, UnknownPathsAndMethodsAreRefused) {
    device_process device;
    ASSERT_TRUE(device.started());
    int rc;
    fetch(54, device.port(), "GET /index.html HTTP/1.0\r\n\r\n", &rc);
    EXPECT_EQ(xml_fault[54].code, 51);  // 404
    fetch(54, device.port(), "POST /values.xml HTTP/1.0\r\nContent-Length: 0\r\n\r\n", &rc);
    EXPECT_EQ(xml_fault[54].code, 52);  // 405
    fetch(54, device.port(), "DELETE /setup.xml HTTP/1.0\r\n\r\n", &rc);
    EXPECT_EQ(xml_fault[54].code, 66);  // 501
}

}  // namespace
