// Fault matrix: the real tarvik binary against a stand-in unit that misbehaves in one way per
// row. Each row runs one tarvik command line whose earlier steps the unit answers soundly and
// whose step under test it answers with the row's misbehaviour (a scenario rule for that
// step's method and path), then checks:
//  - the exit code and the printed lines (no crash, no sanitizer report, nothing after the
//    failure line);
//  - the wall time against the exchange's time-outs (5 s connect, 10 s of silence) plus
//    margin;
//  - the files: what an earlier step stored is there and whole, a file whose step failed is
//    not touched (it still holds what it held before the run);
//  - in this process, the same exchange through the library against the misbehaving device:
//    the code it records, and that closing the module leaves no descriptor open.
//
// Rows whose present behaviour is a failure reported as success are marked `known_unsound`:
// for them only the safety properties are asserted (no crash, no sanitizer report, bounded
// time, earlier files intact, no descriptor left), and what tarvik printed is logged.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "error_codes.h"
#include "qvxml.h"
#include "support.h"

namespace {

using qvtest::device;
using qvtest::run_result;
using qvtest::temp_dir;

// ---- documents --------------------------------------------------------------------------

std::string bundled(const char *name) {
    return qvtest::bundled_document(name);
}

// The library keeps (and stores) a document with its prefixed root start tag replaced by
// "<Root>" and blanks, when the tag lies in the first half of the document; whether the
// prefixed end tag is blanked the same way is the library's choice, so both texts are
// compared with it blanked.
std::string with_root_rewritten(std::string doc, const std::string &prefix) {
    const std::string pattern = "<" + prefix + "Root";
    const size_t len = doc.size();
    const size_t p = doc.find(pattern);
    if (p != std::string::npos && len >= 10 && p <= len - 10 && len - p > p) {
        const size_t q = doc.find('>', p + 1);
        if (q != std::string::npos && q < len - p) {
            doc.replace(p, q - p + 1, std::string(q - p + 1, ' '));
            doc.replace(p, 6, "<Root>");
        }
    }
    const std::string end_tag = "</" + prefix + "Root>";
    const size_t e = doc.rfind(end_tag);
    if (e != std::string::npos)
        doc.replace(e, end_tag.size(), "</Root>" + std::string(end_tag.size() - 7, ' '));
    return doc;
}

// Whether `stored` is the document `served` as the library keeps it.
bool stored_whole(const std::string &stored, const std::string &served, const std::string &prefix) {
    return with_root_rewritten(stored, prefix) == with_root_rewritten(served, prefix);
}

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// The bundled values document padded with a comment to exactly `size` bytes.
std::string values_of_size(size_t size) {
    std::string doc = bundled("values.xml");
    const std::string open = "<!--", close = "-->\n";
    if (size < doc.size() + open.size() + close.size()) return doc;
    doc += open + std::string(size - doc.size() - open.size() - close.size(), 'p') + close;
    return doc;
}

// Elements nested 200 deep with 70-character names: an element path of about 14200
// characters, longer than the parsers' 10000-byte path buffers. Text before and after the
// deep part belongs to known fields.
std::string deep_values() {
    const std::string name(70, 'N');
    std::string doc = kDeclaration;
    doc += "<Root><Agent><DeviceName>before</DeviceName></Agent>";
    for (int i = 0; i < 200; ++i) doc += "<" + name + ">";
    doc += "<Entry><Name>deep</Name></Entry>";
    for (int i = 0; i < 200; ++i) doc += "</" + name + ">";
    doc += "<Agent><Model>55</Model></Agent></Root>\n";
    return doc;
}

constexpr int kSenSetEntries = 200;  // the values record holds 42 sensors

std::string many_sensors_values() {
    std::string doc = kDeclaration;
    doc += "<Root><SenSet>\n";
    for (int i = 0; i < kSenSetEntries; ++i)
        doc += "<Entry><ID>" + std::to_string(i) + "</ID><Name>S" + std::to_string(i) +
               "</Name><Value>20</Value></Entry>\n";
    doc += "</SenSet></Root>\n";
    return doc;
}

// The repeated sets of the setup record, their capacities and counts.
struct setup_set {
    const char *name;
    int capacity;
    int32_t kyvern_setup_entry_count::*count;
};
#define QV_SET(name, capacity, entry_path) {#name, capacity, &kyvern_setup_entry_count::name},
const setup_set kSetupSets[] = {
#include "qvxml_setup_sets.def"
};
#undef QV_SET

// A setup document with 100 entries in every set, more than any set holds.
std::string overfull_setup() {
    std::string doc = kDeclaration;
    doc += "<Root>\n<Agent><DeviceName>overfull</DeviceName><Title>Kyvern</Title></Agent>\n";
    for (const setup_set &set : kSetupSets) {
        doc.append("<").append(set.name).append(">\n");
        for (int i = 0; i < 100; ++i) {
            const std::string n = std::to_string(i);
            doc += "<Entry><ID>" + n + "</ID><Name>N" + n + "</Name><Value>1</Value><Idx>" + n +
                   "</Idx></Entry>\n";
        }
        doc += "</" + std::string(set.name) + ">\n";
    }
    doc += "</Root>\n";
    return doc;
}

// A configuration with `count` sensor entries, each with its own Idx.
std::string upload_with_idx(int count) {
    std::string doc = kDeclaration;
    doc += "<Root>\n<SenSet>\n";
    for (int i = 0; i < count; ++i)
        doc += "<Entry>\n<Name>S" + std::to_string(i) + "</Name>\n<Idx>" + std::to_string(i) +
               "</Idx>\n</Entry>\n";
    doc += "</SenSet>\n</Root>\n";
    return doc;
}

// Binary bytes without "<?xml" and without an empty line.
std::string binary_garbage() {
    std::string g(4096, '\0');
    unsigned x = 88172645u;
    for (char &c : g) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return g;
}

// ---- the matrix -------------------------------------------------------------------------

// The exchange of the run that meets the misbehaving device.
enum class step { connect, values, setup, post };

// A document the misbehaving device serves (as values.xml for step::values, as setup.xml
// otherwise), or "" for its bundled ones.
using doc_maker = std::function<std::string()>;

struct outcome {
    int exit_code;
    // What follows the progress line of the step under test, dots removed. Ending in "\n":
    // the rest of the output exactly. Otherwise: the start of the last line of the output
    // (an error line, whose errno text is the system's).
    std::string text;
};

// A wall-time bound: `wait_s` plus `margin_s` scaled by qvtest::time_scale().
struct time_limit {
    double wait_s, margin_s;
    double seconds() const { return wait_s + margin_s * qvtest::time_scale(); }
};

struct fault_row {
    const char *name;
    step at;
    std::string actions;                  // what the unit does with the step's request ("": none)
    doc_maker served;                     // nullptr: its bundled documents
    doc_maker upload;                     // step::post: the configuration sent with -f
    std::vector<outcome> outcomes;        // the accepted results (more than one: a race)
    time_limit limit;                     // wall-time bound of the tarvik run
    int library_code;                     // code the library records, or one of below
    std::function<void(int id)> records;  // further checks of the records, or nullptr
    bool known_unsound = false;           // see the file comment
};

std::string row_name(const fault_row &row);

std::ostream &operator<<(std::ostream &os, const fault_row &row) {
    return os << row_name(row);
}

constexpr int kNoLibraryExchange = -1;
constexpr int kAnyCode = -2;  // the exchange runs (descriptors are checked), its code is not

// Time bounds: the system's own waits the run goes through (none for an exchange that fails
// at once, the 10 s of silence that end a response, the 5 s of a connection never accepted),
// plus a margin for the tool's start and end (thread joins) on a loaded machine, which the
// build's time scale widens under the sanitizers.
constexpr time_limit kQuick{0, 6};
constexpr time_limit kSilence{10, 5};
constexpr time_limit kConnectWait{5, 4};

const std::string kSaved = " OK\nSAVE ";  // followed by the file name

std::vector<fault_row> matrix() {
    std::vector<fault_row> rows;
    const auto failure = [](int code) { return outcome{code, qvtest::own_finding_line(code)}; };
    const std::string not_valid_45 = qvtest::own_finding_line(QV_E_XML_NOT_VALID);

    rows.push_back({"connection_refused",
                    step::connect,
                    {},
                    nullptr,
                    nullptr,
                    {{28, " failure\n"}},
                    kQuick,
                    28,
                    nullptr});
    rows.push_back({"connection_never_accepted",
                    step::connect,
                    {},
                    nullptr,
                    nullptr,
                    {{28, " failure\n"}},
                    kConnectWait,
                    28,
                    nullptr});

    // The response ends 10 s after the last byte when the device neither answers nor
    // closes; the tool's ten one-second polls end at about the same moment, so either the
    // empty response (code 45) or the poll limit (19, after "exit") is reported first.
    rows.push_back({"accepted_and_silent",
                    step::setup,
                    "silent",
                    nullptr,
                    nullptr,
                    {{45, not_valid_45},
                     {45, "not finish for 10s\n" + not_valid_45},
                     {19, "not finish for 10s\nexit\n"}},
                    kSilence,
                    45,
                    nullptr});
    // The device answers at once but keeps the connection: the response is complete after
    // 10 s of silence, when the tool's ten polls end too. The document is stored whole, yet
    // the tool often reports "not finish for 10s" and exit code 19 after its "SAVE" line.
    rows.push_back({"held_open_after_answer",
                    step::setup,
                    "hold",
                    nullptr,
                    nullptr,
                    {{0, ""}},
                    kSilence,
                    0,
                    nullptr,
                    true});
    rows.push_back({"closed_in_header",
                    step::setup,
                    "close-in-header",
                    nullptr,
                    nullptr,
                    {failure(QV_E_HTTP_NO_HEADER)},
                    kQuick,
                    46,
                    nullptr});
    // Half of the document arrives, then the connection closes: fewer bytes than the
    // header's Content-Length announced, so the reader refuses it (nothing is stored).
    rows.push_back({"closed_in_body",
                    step::setup,
                    "close-in-body",
                    nullptr,
                    nullptr,
                    {failure(QV_E_RECV)},
                    kQuick,
                    34,
                    nullptr});
    // Three pieces 3 s apart: every pause is under the 10 s of silence, the whole exchange
    // within the tool's 10 polls.
    rows.push_back({"dripped_with_pauses",
                    step::setup,
                    "drip 4500:3000",
                    nullptr,
                    nullptr,
                    {{0, ""}},
                    {6, 6},
                    0,
                    nullptr});
    rows.push_back({"header_in_pieces",
                    step::setup,
                    "split-header 1500",
                    nullptr,
                    nullptr,
                    {{0, ""}},
                    {3, 6},
                    0,
                    nullptr});
    rows.push_back({"garbage_without_header",
                    step::setup,
                    "garbage",
                    nullptr,
                    nullptr,
                    {failure(QV_E_HTTP_NO_HEADER)},
                    kQuick,
                    46,
                    nullptr});
    // A 200 response whose body is not XML: parsed as a non-fatal error, refused when stored.
    rows.push_back({"garbage_body",
                    step::setup,
                    {},
                    binary_garbage,
                    nullptr,
                    {{11, qvtest::own_finding_line(QV_E_FILE_NOT_VALID)}},
                    kQuick,
                    11,
                    nullptr});
    rows.push_back({"empty_body",
                    step::setup,
                    {},
                    [] { return std::string(); },
                    nullptr,
                    {failure(QV_E_XML_NOT_VALID)},
                    kQuick,
                    45,
                    nullptr});
    rows.push_back({"body_of_255999_bytes",
                    step::values,
                    {},
                    [] { return values_of_size(255999); },
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    nullptr});
    rows.push_back({"body_of_256000_bytes",
                    step::setup,
                    {},
                    [] { return values_of_size(256000); },
                    nullptr,
                    {failure(QV_E_FILE_TOO_LARGE)},
                    kQuick,
                    12,
                    nullptr});
    rows.push_back({"body_of_300000_bytes",
                    step::setup,
                    "oversize",
                    nullptr,
                    nullptr,
                    {failure(QV_E_FILE_TOO_LARGE)},
                    kQuick,
                    12,
                    nullptr});
    for (const qvtest::http_status_row &s : qvtest::http_status_rows())
        rows.push_back({nullptr,
                        step::setup,
                        "status " + std::to_string(s.status),
                        nullptr,
                        nullptr,
                        {failure(s.code)},
                        kQuick,
                        s.code,
                        nullptr});
    // Statuses outside the mapped ranges are accepted and their body is the document: with
    // the setup document it is stored; with a page that is not XML, storing refuses it.
    rows.push_back({"status_302_with_page",
                    step::setup,
                    "status 302",
                    [] { return std::string("<html><body>Moved</body></html>\n"); },
                    nullptr,
                    {{11, qvtest::own_finding_line(QV_E_FILE_NOT_VALID)}},
                    kQuick,
                    11,
                    nullptr});
    rows.push_back({"status_418_with_document",
                    step::setup,
                    "status 418",
                    nullptr,
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    nullptr});
    // A well-formed document whose root is not Root: nothing matches the record paths (the
    // records stay empty), the document is stored as received.
    rows.push_back({"values_root_not_Root",
                    step::values,
                    {},
                    [] {
                        std::string doc = bundled("values.xml");
                        const size_t a = doc.find("val:Root "), b = doc.rfind("</val:Root>");
                        if (a != std::string::npos) doc.replace(a, 8, "val:Data");
                        if (b != std::string::npos) doc.replace(b + 2, 8, "val:Data");
                        return doc;
                    },
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    [](int id) {
                        kyvern_values *values = nullptr;
                        kyvern_values_entry_count *count = nullptr;
                        ASSERT_EQ(qvxml_get_values_cache(id, &values, &count), 0);
                        EXPECT_STREQ(values->Agent_DeviceName, "");
                        EXPECT_EQ(count->SenSet, 0);
                    }});
    rows.push_back({"paths_longer_than_the_path_buffers",
                    step::values,
                    {},
                    deep_values,
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    [](int id) {
                        kyvern_values *values = nullptr;
                        kyvern_values_entry_count *count = nullptr;
                        ASSERT_EQ(qvxml_get_values_cache(id, &values, &count), 0);
                        EXPECT_STREQ(values->Agent_DeviceName, "before");
                        // The path is whole again after the deep part closes.
                        EXPECT_STREQ(values->Agent_Model, "55");
                        EXPECT_EQ(count->SenSet, 0);
                    }});
    rows.push_back({"more_entries_than_a_set_holds",
                    step::values,
                    {},
                    many_sensors_values,
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    [](int id) {
                        kyvern_values *values = nullptr;
                        kyvern_values_entry_count *count = nullptr;
                        ASSERT_EQ(qvxml_get_values_cache(id, &values, &count), 0);
                        constexpr int capacity =
                            sizeof values->SenSet_Entry_Name / sizeof values->SenSet_Entry_Name[0];
                        EXPECT_EQ(count->SenSet, capacity);
                        EXPECT_STREQ(values->SenSet_Entry_Name[capacity - 1],
                                     ("S" + std::to_string(capacity - 1)).c_str());
                    }});
    rows.push_back({"setup_with_more_entries_than_its_sets_hold",
                    step::setup,
                    {},
                    overfull_setup,
                    nullptr,
                    {{0, ""}},
                    kQuick,
                    0,
                    [](int id) {
                        kyvern_setup *setup = nullptr;
                        kyvern_setup_entry_count *count = nullptr;
                        ASSERT_EQ(qvxml_get_setup_cache(id, &setup, &count), 0);
                        for (const setup_set &set : kSetupSets)
                            EXPECT_EQ(count->*set.count, set.capacity) << set.name;
                        EXPECT_STREQ(setup->SenSet_Entry_Name[41], "N41");
                        EXPECT_STREQ(setup->User_Entry_Name[1], "N1");
                    }});
    rows.push_back({"upload_with_999_idx",
                    step::post,
                    {},
                    nullptr,
                    [] { return upload_with_idx(999); },
                    {{0, ""}},
                    kQuick,
                    0,
                    nullptr});
    rows.push_back({"upload_with_1000_idx",
                    step::post,
                    {},
                    nullptr,
                    [] { return upload_with_idx(1000); },
                    {{75, " " + qvtest::own_finding_line(QV_E_BUFFER_FULL)}},
                    kQuick,
                    75,
                    nullptr});
    // The device takes the upload and answers with a page, not a setup document: the reply
    // parses (a non-fatal error), but the accessor finds no document, so the upload fails.
    rows.push_back({"post_reply_not_a_setup_document",
                    step::post,
                    {},
                    [] { return std::string("<html><body>Thank you</body></html>\n"); },
                    [] { return bundled("setup.xml"); },
                    {{11, " " + qvtest::own_finding_line(QV_E_FILE_NOT_VALID)}},
                    kQuick,
                    11,
                    nullptr});
    rows.push_back({"post_reply_empty",
                    step::post,
                    {},
                    [] { return std::string(); },
                    [] { return bundled("setup.xml"); },
                    {{45, " " + not_valid_45}},
                    kQuick,
                    45,
                    nullptr});
    return rows;
}

std::string row_name(const fault_row &row) {
    if (row.name != nullptr) return row.name;
    return "status_" + row.actions.substr(row.actions.find(' ') + 1);
}

// ---- descriptors ------------------------------------------------------------------------

// Open descriptors of this process and what they refer to.
std::map<int, std::string> open_descriptors() {
    std::map<int, std::string> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    const int own = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::atoi(e->d_name);
        if (fd == own) continue;
        char target[256] = {0};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        fds[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
    }
    closedir(dir);
    return fds;
}

std::string describe(const std::map<int, std::string> &fds) {
    std::string text;
    for (const auto &[fd, target] : fds) text += std::to_string(fd) + "->" + target + " ";
    return text;
}

// The tool's progress poll can read a request as unfinished just before its callback runs
// and print its dot after the callback's lines ("SAVE report.txt\n.exit"); no line of the
// tool starts with a full stop otherwise, so such dots are dropped.
std::string without_stray_dots(const std::string &out) {
    std::string text;
    bool line_start = true;
    for (const char c : out) {
        if (line_start && c == '.') continue;
        text += c;
        line_start = c == '\n';
    }
    return text;
}

// ---- the test ---------------------------------------------------------------------------

// What a file held before the run; a file whose step did not succeed must still hold it.
const char kBefore[] = "held before the run\n";

class FaultMatrix : public ::testing::TestWithParam<fault_row> {};

// The same exchange as the row's step, through the library in this process, against the
// misbehaving device directly. Checks the recorded code (after storing the document, as the
// tool does) and that the closed module leaves no descriptor behind.
void library_exchange(const fault_row &row, int port, const std::string &upload,
                      const temp_dir &dir) {
    const std::map<int, std::string> before = open_descriptors();
    ASSERT_EQ(qvxml_init(), 0);
    qvxml_settings settings;
    qvxml_clr_settings_struct(&settings);
    settings.test_connection = 0;
    const int id = qvxml_open("127.0.0.1", port, &settings, nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(qvxml_wait_finish(id, 0, 10), 0);
    const std::map<int, std::string> running = open_descriptors();

    int kind = 2;
    int queued = 0;
    switch (row.at) {
        case step::connect:
        case step::values:
            queued = qvxml_get_values(id);
            break;
        case step::setup:
            kind = 4;
            queued = qvxml_get_setup(id);
            break;
        case step::post:
            kind = 8;
            queued = qvxml_send_setup_xml(id, upload.c_str(), static_cast<int>(upload.size()));
            break;
    }
    if (queued == 0) {
        EXPECT_EQ(qvxml_wait_finish(id, kind, 30), 0);
        // As the tool's callbacks do: store the document that arrived.
        if (row.at == step::values) qvxml_get_values_to_file(id, dir.file("lib.xml").c_str());
        if (row.at == step::setup) qvxml_get_setup_to_file(id, dir.file("lib.xml").c_str());
        // ... and take the reply to a POST only when it holds a document.
        char *reply = nullptr;
        int reply_length = 0;
        if (row.at == step::post) qvxml_get_setup_xml(id, &reply, &reply_length);
    }
    xml_fault_record fault;
    qvxml_error(id, &fault);
    if (row.library_code != kAnyCode) {
        EXPECT_EQ(fault.code, row.library_code) << fault.message;
    }
    if (row.records && fault.code == 0) row.records(id);

    EXPECT_EQ(qvxml_close(id), 0);
    EXPECT_EQ(describe(open_descriptors()), describe(running)) << "after closing the module";
    EXPECT_EQ(qvxml_uninit(), 0);
    EXPECT_EQ(describe(open_descriptors()), describe(before)) << "after ending the library";
}

TEST_P(FaultMatrix, Row) {
    const fault_row &row = GetParam();
    temp_dir dir;

    // The unit: the row's misbehaviour for the request of the step under test, the row's
    // document in place of the bundled one that step reads.
    static const char *const kRequest[] = {"", "GET /values.xml", "GET /setup.xml",
                                           "POST /setup.xml"};
    std::vector<std::string> unit_args;
    if (!row.actions.empty())
        unit_args = {"--scenario", kRequest[static_cast<int>(row.at)] + (" " + row.actions)};
    const std::string served = row.served ? row.served() : "";
    std::optional<std::string> values_doc, setup_doc;
    if (row.served) (row.at == step::values ? values_doc : setup_doc) = served;
    std::unique_ptr<device> unit;
    qvtest::loopback_listener unaccepting(0);
    int port = 0;
    if (row.at == step::connect) {
        if (std::string(row.name) == "connection_refused") {
            port = qvtest::closed_port();
        } else {
            unaccepting.fill_queue();
            port = unaccepting.port();
        }
        ASSERT_GT(port, 0);
    } else {
        unit = std::make_unique<device>(values_doc, setup_doc, unit_args);
        ASSERT_TRUE(unit->running());
        port = unit->port();
    }

    // Command line: the step under test after the steps it follows.
    const std::string values_file = dir.file("values.xml"), setup_file = dir.file("setup.xml");
    const std::string upload_file = dir.file("upload.xml"), report_file = dir.file("report.txt");
    ASSERT_TRUE(qvtest::write_file(values_file, kBefore));
    ASSERT_TRUE(qvtest::write_file(setup_file, kBefore));
    ASSERT_TRUE(qvtest::write_file(report_file, kBefore));
    std::string upload;
    std::vector<std::string> args;
    if (row.at == step::post) {
        upload = row.upload();
        ASSERT_TRUE(qvtest::write_file(upload_file, upload));
        args = {"-f", upload_file, "-v", values_file};
    } else {
        args = {"-v", values_file, "-s", setup_file, "-t", report_file};
    }
    args.push_back("127.0.0.1");
    args.push_back(std::to_string(port));

    const auto start = std::chrono::steady_clock::now();
    const run_result r = qvtest::run_tarvik(args, std::chrono::seconds(60));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string out = without_stray_dots(qvtest::without_progress(r.out));
    std::printf("[ row ] %s: exit %d, %.1f s\n%s", row_name(row).c_str(), r.exit_code, seconds,
                r.out.c_str());

    // Safety, for every row.
    EXPECT_EQ(r.signal, 0) << "ended by a signal";
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out.find("Sanitizer"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("runtime error"), std::string::npos) << r.out;
    EXPECT_LE(seconds, row.limit.seconds()) << r.out;

    // The lines before the step under test, then the outcome.
    const std::string host = "127.0.0.1:" + std::to_string(port) + " connecting";
    std::string lead;
    switch (row.at) {
        case step::connect:
            lead = host;
            break;
        case step::values:
            lead = host + " OK\nGET values.xml";
            break;
        case step::setup:
            lead = host + " OK\nGET values.xml" + kSaved + values_file + "\nGET setup.xml";
            break;
        case step::post:
            lead = host + " OK\nSEND " + upload_file;
            break;
    }
    // The text of a run in which every step succeeds, after the lead.
    std::string success;
    switch (row.at) {
        case step::connect:
            break;
        case step::values:
            success = kSaved + values_file + "\nGET setup.xml" + kSaved + setup_file + "\nSAVE " +
                      report_file + "\nexit\n";
            break;
        case step::setup:
            success = kSaved + setup_file + "\nSAVE " + report_file + "\nexit\n";
            break;
        case step::post:
            success = " OK\nGET values.xml" + kSaved + values_file + "\nexit\n";
            break;
    }

    const outcome *matched = nullptr;
    for (const outcome &o : row.outcomes) {
        const std::string text = o.text.empty() ? success : o.text;
        if (r.exit_code != o.exit_code || out.compare(0, lead.size(), lead) != 0) continue;
        const std::string rest = out.substr(lead.size());
        const bool whole = text.back() == '\n';
        // An error line: its start, then the errno text, then the end of the output.
        if (whole ? rest == text
                  : rest.rfind(text, 0) == 0 && rest.find('\n', text.size()) == rest.size() - 1) {
            matched = &o;
            break;
        }
    }
    if (row.known_unsound) {
        if (matched == nullptr)
            std::printf("[ row ] %s: known unsound, printed the above\n", row_name(row).c_str());
    } else {
        EXPECT_NE(matched, nullptr) << "exit code " << r.exit_code << ", output:\n" << out;
    }

    // Files: an earlier step's document is whole, a failed step's file is untouched.
    const std::string values_served =
        row.at == step::values && row.served ? served : bundled("values.xml");
    const std::string setup_served =
        row.at == step::setup && row.served ? served : bundled("setup.xml");
    const auto values_whole = [&] {
        return stored_whole(qvtest::read_file(values_file), values_served, "val:");
    };
    const auto setup_whole = [&] {
        return stored_whole(qvtest::read_file(setup_file), setup_served, "set:");
    };
    const bool succeeded = matched != nullptr && matched->exit_code == 0;
    // The text report is written from the setup record after the setup is stored.
    const std::string report = qvtest::read_file(report_file);
    if (row.at != step::post && (succeeded || !row.known_unsound)) {
        if (succeeded) {
            EXPECT_NE(report.find("\nSensors:\n"), std::string::npos) << report;
        } else if (matched != nullptr && matched->exit_code != 19) {
            EXPECT_EQ(report, kBefore);
        }
    }
    switch (row.at) {
        case step::connect:
            EXPECT_EQ(qvtest::read_file(values_file), kBefore);
            EXPECT_EQ(qvtest::read_file(setup_file), kBefore);
            break;
        case step::values:
            if (succeeded) {
                EXPECT_TRUE(values_whole()) << "values.xml not whole";
                EXPECT_TRUE(setup_whole()) << "setup.xml not whole";
            } else if (!row.known_unsound) {
                EXPECT_EQ(qvtest::read_file(values_file), kBefore);
            }
            break;
        case step::setup: {
            EXPECT_TRUE(values_whole()) << "values.xml not whole";
            const std::string setup_now = qvtest::read_file(setup_file);
            if (succeeded ||
                (matched != nullptr && matched->exit_code == 19 && setup_now != kBefore)) {
                // A dripped, split or held response: the whole document.
                EXPECT_TRUE(setup_whole()) << "setup.xml not whole";
            } else if (!row.known_unsound) {
                EXPECT_EQ(setup_now, kBefore);
            }
            break;
        }
        case step::post:
            if (succeeded) {
                EXPECT_TRUE(values_whole()) << "values.xml not whole";
            } else if (!row.known_unsound) {
                EXPECT_EQ(qvtest::read_file(values_file), kBefore);
            }
            break;
    }

    // The library's own view of the exchange, and its descriptors.
    if (row.library_code != kNoLibraryExchange) library_exchange(row, port, upload, dir);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(matrix()),
                         [](const ::testing::TestParamInfo<fault_row> &info) {
                             return row_name(info.param);
                         });

}  // namespace
