// tarvik against the stand-in device: switching an output and uploading a configuration.
#include <gtest/gtest.h>

#include "error_codes.h"
#include "fixtures.h"
#include "support.h"

namespace e2e {
using namespace qvtest;
namespace {

std::string connected(const device &dev) {
    return "127.0.0.1:" + dev.port_text() + " connecting OK\n";
}

// The bodies of the POST requests the device received, in order.
std::vector<std::string> posted_bodies(const device &dev) {
    std::vector<std::string> bodies;
    for (int n = 1; n <= dev.requests(); ++n) {
        const std::string request = dev.captured(n);
        if (request.rfind("POST ", 0) != 0) continue;
        const size_t body = request.find("\r\n\r\n");
        bodies.push_back(body == std::string::npos ? "" : request.substr(body + 4));
    }
    return bodies;
}

// The device's report line of one output, read back with -g.
std::string output_row(const device &dev, const std::string &id) {
    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()});
    const size_t at = r.out.find("\n  " + id + " ");
    if (at == std::string::npos) return "";
    return r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
}

// Outputs 1..64 and 151..214 name the same outputs; the device's reply shows the value.
TEST(SetOutput, ShortAndDeviceNumbersSwitchTheSameOutput) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    run_result r = run_tarvik({"-o", "3=ON", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "SET output 153=1 OK\nexit\n");
    EXPECT_EQ(output_row(dev, "153"), "  153 Relay C         ON (+10V)");

    r = run_tarvik({"-o", "153=off", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "SET output 153=0 OK\nexit\n");
    EXPECT_EQ(output_row(dev, "153"), "  153 Relay C         OFF (-10V)");

    // The switch document is well formed: the set is closed before the root.
    const std::vector<std::string> bodies = posted_bodies(dev);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_NE(bodies[0].find("<BinaryOutSet>\n<Entry>\n<ID>153</ID>\n<Value>1</Value>\n"
                             "</Entry>\n</BinaryOutSet>\n</Root>"),
              std::string::npos)
        << bodies[0];
}

TEST(SetOutput, OneAndOneFiftyOneOnTheBundledDevice) {
    device dev;
    ASSERT_TRUE(dev.running());
    for (const char *arg : {"1=ON", "151=ON", "1=1", "151=on"}) {
        const run_result r = run_tarvik({"-o", arg, "127.0.0.1", dev.port_text()});
        EXPECT_EQ(r.exit_code, 0) << arg << "\n" << r.out;
        EXPECT_EQ(without_progress(r.out), connected(dev) + "SET output 151=1 OK\nexit\n") << arg;
    }
}

TEST(SetOutput, UnknownOutputIsRefusedWith202) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    const run_result r = run_tarvik({"-o", "70=1", "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 202);
    // The run ends at the switch: no setup GET, no "exit".
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "SET output 220=1 output 220 is not available (use 1..6)\n");
}

TEST(SetOutput, OutputNotInManualModeFailsWith202) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    const run_result r = run_tarvik({"-o", "5=1", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 202);
    EXPECT_EQ(without_progress(r.out), connected(dev) +
                                           "SET output 155=1 failure\n"
                                           "Manual output control is not allowed.\n");
}

// A configuration that sets output 152 to 1, then a switch of 152 to 0: the upload's reply
// (152 on) is not checked against the switch; the switch's own reply is.
TEST(Upload, ConfigurationFirstThenTheSwitch) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());
    const std::string upload = dir.file("upload.xml");
    ASSERT_TRUE(write_file(upload,
                           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n"
                           "<Entry><ID>152</ID><Value>1</Value></Entry>\n</BinaryOutSet>\n"
                           "</Root>\n"));

    const run_result r = run_tarvik({"-f", upload, "-o", "2=0", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "SEND " + upload + " OK\nSET output 152=0 OK\nexit\n");
    const std::vector<std::string> bodies = posted_bodies(dev);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_NE(bodies[0].find("<ID>152</ID><Value>1</Value>"), std::string::npos);
    EXPECT_NE(bodies[1].find("<ID>152</ID>\n<Value>0</Value>"), std::string::npos);
    EXPECT_EQ(output_row(dev, "152"), "  152 Relay B         OFF (0V)");
}

// Everything before the first "<" of a line is dropped: indentation, blank lines and lines
// of plain text inside a multi-line element.
TEST(Upload, IndentationAndTextOnlyLinesAreDropped) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string upload = dir.file("upload.xml");
    ASSERT_TRUE(write_file(upload,
                           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                           "<Root>\n"
                           "    <Notes>first line\n"
                           "      plain text line\n"
                           "\n"
                           "    </Notes>\n"
                           "\t<BinaryOutSet>\n"
                           "        <Entry>\n"
                           "            <ID>154</ID>\n"
                           "            <Value>1</Value>\n"
                           "        </Entry>\n"
                           "\t</BinaryOutSet>\n"
                           "</Root>\n"));

    const run_result r = run_tarvik({"-f", upload, "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "SEND " + upload + " OK\nexit\n");
    const std::vector<std::string> bodies = posted_bodies(dev);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("<Root>\n<Notes>first line\n</Notes>\n<BinaryOutSet>\n<Entry>\n"
                             "<ID>154</ID>\n<Value>1</Value>\n</Entry>\n</BinaryOutSet>\n"
                             "</Root>"),
              std::string::npos)
        << bodies[0];
    EXPECT_EQ(bodies[0].find("plain text"), std::string::npos);
    EXPECT_EQ(bodies[0].find(" <"), std::string::npos);
    EXPECT_EQ(bodies[0].find("\t"), std::string::npos);
}

// A file of 255999 bytes is uploaded (its padding lines hold no markup and are dropped);
// one of 256000 bytes is refused before anything is sent.
TEST(Upload, SizeLimit) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n"
        "<Entry><ID>152</ID><Value>1</Value></Entry>\n</BinaryOutSet>\n";
    const std::string tail = "</Root>\n";
    const auto file_of = [&](size_t size) {
        std::string text = head;
        const std::string pad_line(99, ' ');
        while (text.size() + tail.size() + 100 <= size) text += pad_line + "\n";
        text += std::string(size - text.size() - tail.size() - 1, ' ') + "\n";
        return text + tail;
    };
    const std::string fits = dir.file("fits.xml"), too_big = dir.file("too-big.xml");
    ASSERT_TRUE(write_file(fits, file_of(255999)));
    ASSERT_TRUE(write_file(too_big, file_of(256000)));
    ASSERT_EQ(read_file(fits).size(), 255999u);
    ASSERT_EQ(read_file(too_big).size(), 256000u);

    run_result r = run_tarvik({"-f", too_big, "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 200);
    EXPECT_EQ(without_progress(r.out), connected(dev) + "Max size of SETUP.XML is 256000 bytes\n");
    EXPECT_TRUE(posted_bodies(dev).empty());

    r = run_tarvik({"-f", fits, "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "SEND " + fits + " OK\nexit\n");
    const std::vector<std::string> bodies = posted_bodies(dev);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("<ID>152</ID><Value>1</Value>"), std::string::npos);
    EXPECT_LT(bodies[0].size(), 1000u);
}

TEST(Upload, MissingFileEndsWith200) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string missing = dir.file("missing.xml");
    const run_result r = run_tarvik({"-f", missing, "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 200);
    EXPECT_EQ(without_progress(r.out), connected(dev) + "Open '" + missing + "' failure\n");
    EXPECT_EQ(dev.requests(), 0);
}

// A document the library's upload filter refuses is never queued: its error and code end
// the run at once (no ten-second wait, no "exit").
TEST(Upload, RefusedByTheUploadFilterEndsWithItsCode) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string upload = dir.file("cut.xml");
    ASSERT_TRUE(write_file(upload,
                           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n"
                           "<Entry><ID>152</ID><Val"));

    const auto started = std::chrono::steady_clock::now();
    const run_result r = run_tarvik({"-f", upload, "-g", "127.0.0.1", dev.port_text()});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.exit_code, 45) << r.out;
    // A fault the library found itself: errno 0, not what an earlier system call left.
    EXPECT_EQ(r.out, connected(dev) + "SEND " + upload + " " + own_finding_line(QV_E_XML_NOT_VALID));
    EXPECT_EQ(r.out.find("exit"), std::string::npos);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(posted_bodies(dev).empty());
}

}  // namespace
}  // namespace e2e
