// Fault records: what xml_except stores, how the readers copy and print it, write_xml.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "core_test_util.h"
#include "error_codes.h"
#include "support.h"

using core_test::record_of;

namespace {

std::string errno_string(int e) {
    char buffer[256];
    return strerror_r(e, buffer, sizeof buffer);
}

using qvtest::read_file;

const char *message_of(int code) {
    return qvtest::kErrorRows[code].message;
}

TEST(FaultRecord, StoresMessageErrnoTextAndCode) {
    // A fault the library found itself records errno 0, whatever errno holds; one that
    // follows a failed system call records that call's errno. Both leave errno as it was.
    struct row {
        bool system_call;
        int error;     // given to xml_except_errno
        int recorded;  // errno in the record
    };
    for (const row &w : {row{false, 0, 0}, row{true, EACCES, EACCES}, row{true, 0, 0}}) {
        errno = EINPROGRESS;
        if (w.system_call)
            xml_except_errno(31, 63, w.error);
        else
            xml_except(31, 63);
        EXPECT_EQ(errno, EINPROGRESS) << "errno is preserved";
        const xml_fault_record r = record_of(31);
        EXPECT_EQ(r.code, 63);
        EXPECT_STREQ(r.message, message_of(QV_E_HTTP_416));
        EXPECT_EQ(std::strlen(r.message), 37u);
        EXPECT_EQ(r.errno_value, w.recorded) << w.error;
        EXPECT_EQ(std::string(r.errno_text), errno_string(w.recorded));
    }
}

TEST(FaultRecord, UnknownCodesAndCodeZeroTakeMessageNull) {
    errno = 0;
    xml_except(32, 200);
    EXPECT_EQ(record_of(32).code, 200);
    EXPECT_STREQ(record_of(32).message, "NULL");
    xml_except(32, -7);
    EXPECT_EQ(record_of(32).code, -7);
    EXPECT_STREQ(record_of(32).message, "NULL");
    xml_except(32, 0);
    EXPECT_EQ(record_of(32).code, 0);
    EXPECT_STREQ(record_of(32).message, "NULL");
    xml_except(32, 89);
    EXPECT_EQ(record_of(32).code, 89);
    EXPECT_STRNE(record_of(32).message, "NULL");
}

TEST(FaultRecord, LaterFaultOverwritesTheWholeRecord) {
    xml_except_errno(33, 63, ECONNREFUSED);
    xml_except(33, 2);
    const xml_fault_record r = record_of(33);
    EXPECT_EQ(r.code, 2);
    EXPECT_STREQ(r.message,
                 message_of(QV_E_ACTION_NOT_VALID));  // no tail of the longer message left
    EXPECT_EQ(r.errno_value, 0);
    EXPECT_EQ(std::string(r.errno_text), errno_string(0));
}

TEST(FaultRecord, IdsOutsideTheTableUseIdZeroAndReadNothing) {
    errno = 0;
    xml_except(150, 16);
    xml_except(-1, 16);
    EXPECT_EQ(record_of(0).code, 16);
    const xml_fault_record r = record_of(100);
    EXPECT_EQ(r.code, 18);
    EXPECT_STREQ(r.message, message_of(QV_E_ID_OUT_OF_RANGE));
    EXPECT_EQ(r.errno_value, 0);
    EXPECT_STREQ(r.errno_text, "");
}

TEST(FaultRecord, CopyTakesTheWholeRecord) {
    xml_fault_record from{};
    from.code = 28;
    from.errno_value = 111;
    std::strcpy(from.errno_text, "refused");
    std::strcpy(from.message, "Socket connect failure");
    xml_fault_record to;
    std::memset(&to, 0x5a, sizeof to);
    xml_except_copy(34, &to, &from);
    EXPECT_EQ(std::memcmp(&to, &from, sizeof to), 0);
    xml_except_copy(34, &xml_fault[34], &from);  // as the worker copies a device's fault
    EXPECT_EQ(std::memcmp(&xml_fault[34], &from, sizeof from), 0);
}

// The text of an unknown errno is built per call; a shared static buffer (strerror) would
// let one thread's text show up in another's record.
TEST(FaultRecord, ConcurrentFaultsKeepEachRecordWhole) {
    struct pair {
        int code;
        int err;
    };
    const pair pairs[] = {{6, ENOENT}, {63, EACCES}, {28, ECONNREFUSED}, {19, ETIMEDOUT},
                          {3, 1234},   {4, 4321},    {5, 777},           {7, 9999}};
    std::vector<std::string> texts;
    for (const pair &p : pairs) texts.push_back(errno_string(p.err));

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                const pair &p = pairs[(t + i) % 8];
                xml_except_errno(40 + (i % 10), p.code, p.err);
            }
        });
    }
    std::thread reader([&] {
        char message[QVXML_ERROR_TEXT_SIZE];
        while (!stop.load()) {
            for (int id = 40; id < 50; ++id) {
                const xml_fault_record r = record_of(id);
                if (r.code == 0) continue;  // not written yet
                bool whole = false;
                for (size_t k = 0; k < texts.size(); ++k) {
                    if (pairs[k].code != r.code) continue;
                    whole = r.errno_value == pairs[k].err && texts[k] == r.errno_text &&
                            std::string(qv_error_i2s(r.code, message)) == r.message;
                }
                if (!whole) torn.fetch_add(1);
            }
        }
    });
    for (auto &w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    for (int id = 40; id < 50; ++id) EXPECT_NE(record_of(id).code, 0);
}

TEST(FaultPrint, NeverWrittenRecordPrintsOnlyPunctuation) {
    testing::internal::CaptureStdout();
    qvxml_error_print(97);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " (0):  (0)\n");
}

TEST(FaultPrint, PrintsMessageCodeErrnoTextAndErrno) {
    xml_except_errno(35, 6, ENOENT);
    testing::internal::CaptureStdout();
    qvxml_error_print(35);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), qvtest::error_line(QV_E_FILE_OPEN) +
                                                          errno_string(ENOENT) + " (" +
                                                          std::to_string(ENOENT) + ")\n");
    // A document that does not parse, after a non-blocking connect left EINPROGRESS.
    errno = EINPROGRESS;
    xml_except(35, 45);
    testing::internal::CaptureStdout();
    qvxml_error_print(35);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              qvtest::own_finding_line(QV_E_XML_NOT_VALID));
}

// ---- device records of a many-device module -------------------------------------------

TEST(FaultMany, CopiesTheDeviceRecordAndRefusesMissingDevices) {
    const int id = 36;
    auto device = std::make_unique<xml_submodule_state>();
    std::memset(device.get(), 0, sizeof *device);
    device->error.code = 28;
    device->error.errno_value = ECONNREFUSED;
    std::strcpy(device->error.errno_text, "refused");
    std::strcpy(device->error.message, "Socket connect failure");
    errno = 0;
    xml_except(id, 19);  // the module's own record must stay as it is

    modules_list[id].count = 2;
    modules_list[id].sub[0] = device.get();
    modules_list[id].sub[1] = nullptr;

    xml_fault_record out;
    qvxml_error_many(id, 0, &out);
    EXPECT_EQ(std::memcmp(&out, &device->error, sizeof out), 0);

    for (int index : {1, 2, -1, 500, 100000}) {
        std::memset(&out, 0x5a, sizeof out);
        qvxml_error_many(id, index, &out);
        EXPECT_EQ(out.code, 4) << index;
        EXPECT_STREQ(out.message, message_of(QV_E_INDEX_NOT_VALID));
        EXPECT_EQ(out.errno_value, 0);
        EXPECT_STREQ(out.errno_text, "");
    }
    modules_list[id].count = -1;  // not a many-device module
    qvxml_error_many(id, 0, &out);
    EXPECT_EQ(out.code, 4);
    qvxml_error_many(QVXML_ID_COUNT_MAX, 0, &out);
    EXPECT_EQ(out.code, 18);
    EXPECT_EQ(record_of(id).code, 19);

    modules_list[id].count = 0;
    modules_list[id].sub[0] = nullptr;
}

// ---- write_xml and char_replace ---------------------------------------------------------

TEST(WriteXml, WritesExactlyTheGivenBytes) {
    const qvtest::temp_dir dir;
    const std::string path = dir.file("write.xml");
    const char data[] = "<?xml version=\"1.0\"?>\n<Root>\r\n</Root>\0tail";
    ASSERT_EQ(write_xml(37, path.c_str(), data, 30), 0);
    EXPECT_EQ(read_file(path), std::string(data, 30));
    ASSERT_EQ(write_xml(37, path.c_str(), data, 0), 0);  // truncated to empty
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(record_of(37).code, 0);
}

TEST(WriteXml, MissingDirectoryRecords6) {
    const qvtest::temp_dir dir;
    const std::string path = dir.file("no-such-dir/values.xml");
    errno = 0;
    EXPECT_EQ(write_xml(38, path.c_str(), "<?xml?>", 7), -1);
    const xml_fault_record r = record_of(38);
    EXPECT_EQ(r.code, 6);
    EXPECT_STREQ(r.message, message_of(QV_E_FILE_OPEN));
    EXPECT_EQ(r.errno_value, ENOENT);
    EXPECT_EQ(write_xml(38, nullptr, "x", 1), -1);  // no file to open: no system call failed
    EXPECT_EQ(record_of(38).code, 6);
    EXPECT_EQ(record_of(38).errno_value, 0);
}

TEST(WriteXml, FullDeviceRecords7Or9) {
    if (std::FILE *probe = std::fopen("/dev/full", "w"))
        std::fclose(probe);
    else
        GTEST_SKIP() << "no /dev/full";
    // Larger than the stdio buffer: the write itself fails.
    std::vector<char> big(1 << 20, 'x');
    EXPECT_EQ(write_xml(39, "/dev/full", big.data(), static_cast<int>(big.size())), -1);
    EXPECT_EQ(record_of(39).code, 7);
    EXPECT_EQ(record_of(39).errno_value, ENOSPC);
    // Small enough to be buffered: the failure shows when the file is closed.
    EXPECT_EQ(write_xml(39, "/dev/full", "<?xml?>", 7), -1);
    EXPECT_EQ(record_of(39).code, 9);
    EXPECT_STREQ(record_of(39).message, message_of(QV_E_FILE_CLOSE));
    EXPECT_EQ(record_of(39).errno_value, ENOSPC);
}

TEST(WriteXml, NothingWritableRecords7AndLeavesNoFile) {
    const qvtest::temp_dir dir;
    const std::string path = dir.file("negative.xml");
    errno = EBADF;
    EXPECT_EQ(write_xml(39, path.c_str(), "abc", -1), -1);
    EXPECT_EQ(record_of(39).code, 7);
    EXPECT_EQ(record_of(39).errno_value, 0);  // refused before any system call
    EXPECT_EQ(write_xml(39, path.c_str(), nullptr, 5), -1);
    EXPECT_EQ(std::fopen(path.c_str(), "r"), nullptr);
}

TEST(CharReplace, ReplacesEveryOccurrenceInPlace) {
    char text[] = "a.b.c..";
    char_replace(text, '.', '_');
    EXPECT_STREQ(text, "a_b_c__");
    char same[] = "a.b";
    char_replace(same, '.', '.');
    EXPECT_STREQ(same, "a.b");
    char empty[] = "";
    char_replace(empty, '\0', 'x');
    EXPECT_STREQ(empty, "");
    char_replace(nullptr, 'a', 'b');
    char keep[] = "ab";
    char_replace(keep, '\0', 'x');  // the terminator is never replaced
    EXPECT_EQ(keep[2], '\0');
}

}  // namespace
