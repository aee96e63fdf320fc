// tarvik against the stand-in device: the sensor list, the stored documents and the text
// report, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fixtures.h"
#include "support.h"

namespace e2e {
using namespace qvtest;
namespace {

std::string connected(const device &dev) {
    return "127.0.0.1:" + dev.port_text() + " connecting OK\n";
}

TEST(SensorList, FamilyDeviceReportByteForByte) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "GET setup.xml OK\n" + family_report() + "exit\n");
}

TEST(SensorList, OtherFamilyDeviceReportByteForByte) {
    temp_dir dir;
    device dev(std::nullopt, other_family_setup(), {});
    ASSERT_TRUE(dev.running());

    const run_result r = run_tarvik({"-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "GET setup.xml OK\n" + other_family_report() + "exit\n");
}

// The address and port alone, or with one flag option, behave as -g.
TEST(SensorList, AddressAloneBehavesAsGet) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    const std::string expected = connected(dev) + "GET setup.xml OK\n" + family_report() + "exit\n";
    const run_result plain = run_tarvik({"127.0.0.1", dev.port_text()});
    EXPECT_EQ(plain.exit_code, 0);
    EXPECT_EQ(without_progress(plain.out), expected);
}

TEST(StoredDocuments, ValuesAloneDoesNotPrintTheList) {
    temp_dir dir;
    const std::string values =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SenSet>\n<Entry><ID>1</ID>"
        "<Value>23.5</Value></Entry>\n</SenSet>\n</Root>\n";
    device dev(values, std::nullopt, {});
    ASSERT_TRUE(dev.running());

    const std::string stored = dir.file("v.xml");
    const run_result r = run_tarvik({"-v", stored, "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out),
              connected(dev) + "GET values.xml OK\nSAVE " + stored + "\nexit\n");
    EXPECT_EQ(read_file(stored), values);
}

// -v, -s, -t and -g on one command line: values first, then one setup GET that stores the
// document, prints the report and writes it into the text file (with the same cut name).
TEST(StoredDocuments, ValuesSetupAndReportInOneRun) {
    temp_dir dir;
    device dev(std::nullopt, family_setup(), {});
    ASSERT_TRUE(dev.running());

    const std::string v = dir.file("v.xml"), s = dir.file("s.xml"), t = dir.file("r.txt");
    const run_result r =
        run_tarvik({"-v", v, "-s", s, "-t", t, "-g", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "GET values.xml OK\nSAVE " + v +
                                           "\nGET setup.xml OK\nSAVE " + s + "\n" +
                                           family_report() + "SAVE " + t + "\nexit\n");
    EXPECT_EQ(read_file(s), family_setup());
    EXPECT_EQ(read_file(t), family_report());
    bool ok = false;
    const std::string values = read_file(v, &ok);
    EXPECT_TRUE(ok);
    EXPECT_NE(values.find("<?xml"), std::string::npos);
}

// The main thread's next line never lands inside a callback's output: a request is done
// for the tool only when its completion callback has returned. The values file is a FIFO
// read only after a pause, so the values callback has printed " OK" and then waits in its
// write while the library has already marked the request finished.
TEST(StoredDocuments, NextLineWaitsForTheCallbackToReturn) {
    temp_dir dir;
    device dev;
    ASSERT_TRUE(dev.running());
    const std::string fifo = dir.file("v.fifo"), s = dir.file("s.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n > 0) {
                received.append(chunk, static_cast<size_t>(n));
            } else if (n == 0 && !received.empty()) {
                break;  // the writer has closed the file
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        close(fd);
    });
    const run_result r = run_tarvik({"-v", fifo, "-s", s, "127.0.0.1", dev.port_text()});
    reader.join();
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "GET values.xml OK\nSAVE " + fifo +
                                           "\nGET setup.xml OK\nSAVE " + s + "\nexit\n");
    EXPECT_NE(received.find("<?xml"), std::string::npos);
}

TEST(StoredDocuments, TextReportWithoutListGoesOnlyToTheFile) {
    temp_dir dir;
    device dev(std::nullopt, other_family_setup(), {});
    ASSERT_TRUE(dev.running());

    const std::string t = dir.file("r.txt");
    const run_result r = run_tarvik({"-t", t, "-u", "x", "127.0.0.1", dev.port_text()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(r.out), connected(dev) + "GET setup.xml OK\nSAVE " + t + "\nexit\n");
    EXPECT_EQ(read_file(t), other_family_report());
}

}  // namespace
}  // namespace e2e
