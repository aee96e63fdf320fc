// Documents beyond the filter's bounds are refused whole, the caller's buffer untouched; the
// filter runs on several threads while others parse.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/xml_global.h"
#include "records/xml_setup.h"
#include "setup_docs.h"

namespace {

const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Runs the filter on `buffer` and checks the refusal: result -1, `code` recorded on the
// module, every byte of the buffer as it was.
void expect_refused(std::vector<char> buffer, int code, int size = -1) {
    const std::vector<char> before = buffer;
    const int module = 11;
    if (size < 0) size = static_cast<int>(buffer.size());
    EXPECT_EQ(xml_setup_prepare(module, buffer.data(), size), -1);
    EXPECT_EQ(xml_fault[module].code, code);
    EXPECT_EQ(buffer, before);
}

std::string entries_with_idx(int count) {
    std::string doc = "<Root><SenSet>";
    for (int i = 0; i < count; ++i)
        doc += "<Entry><Name>s" + std::to_string(i) + "</Name><Idx>" + std::to_string(i) +
               "</Idx></Entry>";
    return doc + "</SenSet></Root>";
}

TEST(SetupFilterBounds, IdxTableHolds999Values) {
    // Each moved Idx adds a newline: 999 of them outgrow the usual 1024 spare bytes.
    std::vector<char> buffer = setup_buffer(entries_with_idx(999), 2048);
    ASSERT_EQ(xml_setup_prepare(1, buffer.data(), static_cast<int>(buffer.size())), 0)
        << xml_fault[1].code;
    const std::string out(buffer.data());
    EXPECT_NE(out.find("<Entry>\n<Idx>0</Idx><Name>s0</Name></Entry>"), std::string::npos);
    EXPECT_NE(out.find("<Entry>\n<Idx>998</Idx><Name>s998</Name></Entry>"), std::string::npos);

    expect_refused(setup_buffer(entries_with_idx(1000), 2048), 75);
}

TEST(SetupFilterBounds, IdxTextHolds99Bytes) {
    const std::string ok =
        "<Root><X><Entry><Idx>" + std::string(99, '7') + "</Idx></Entry></X></Root>";
    std::vector<char> buffer = setup_buffer(ok);
    ASSERT_EQ(xml_setup_prepare(1, buffer.data(), static_cast<int>(buffer.size())), 0);
    EXPECT_EQ(std::string(buffer.data()), decl + "<Root><X><Entry>\n<Idx>" + std::string(99, '7') +
                                              "</Idx></Entry></X></Root>");

    expect_refused(
        setup_buffer("<Root><X><Entry><Idx>" + std::string(100, '7') + "</Idx></Entry></X></Root>"),
        81);
    // Pieces of one Idx count together.
    expect_refused(setup_buffer("<Root><X><Entry><Idx>" + std::string(60, '7') + "&#55;" +
                                std::string(39, '7') + "</Idx></Entry></X></Root>"),
                   81);
}

TEST(SetupFilterBounds, OutputMustFitTheCallersBuffer) {
    // 100 empty-element tags grow by 3 bytes each when written as start and end tag.
    std::string doc = "<Root>";
    for (int i = 0; i < 100; ++i) doc += "<a/>";
    doc += "</Root>";
    const std::string expected = decl + "<Root>" + [] {
        std::string s;
        for (int i = 0; i < 100; ++i) s += "<a></a>";
        return s;
    }() + "</Root>";
    ASSERT_GT(expected.size(), doc.size());

    std::vector<char> buffer = setup_buffer(doc, expected.size());
    const int fits = static_cast<int>(expected.size()) + 1;
    std::vector<char> exact(buffer.begin(), buffer.begin() + fits);
    ASSERT_EQ(xml_setup_prepare(2, exact.data(), fits), 0);
    EXPECT_EQ(std::string(exact.data()), expected);

    std::vector<char> short_by_one(buffer.begin(), buffer.begin() + fits - 1);
    expect_refused(short_by_one, 75);
    // The usual upload buffer: document length + 1024 fits easily.
    std::vector<char> upload = setup_buffer(doc);
    ASSERT_EQ(xml_setup_prepare(2, upload.data(), static_cast<int>(upload.size())), 0);
    EXPECT_EQ(std::string(upload.data()), expected);
    // The writes stay within `size` even when the vector is larger.
    std::vector<char> larger = setup_buffer(doc, 4096);
    std::fill(larger.begin() + doc.size() + 1, larger.end(), 'Z');
    ASSERT_EQ(xml_setup_prepare(2, larger.data(), fits), 0);
    EXPECT_EQ(std::string(larger.data()), expected);
    EXPECT_EQ(larger[fits], 'Z');
}

TEST(SetupFilterBounds, OutputTextHolds255999Characters) {
    // Each '<' delivered from CDATA is written as "&lt;": 70000 of them need 280000 bytes.
    const std::string doc = "<Root><M><![CDATA[" + std::string(70000, '<') + "]]></M></Root>";
    expect_refused(setup_buffer(doc, 400000), 75);
    // Just within: "<Root><M>" + text + "</M></Root>" is 20 characters.
    const std::string fits = "<Root><M>" + std::string(255999 - 20, 'x') + "</M></Root>";
    std::vector<char> buffer = setup_buffer(fits, 1024);
    ASSERT_EQ(xml_setup_prepare(2, buffer.data(), static_cast<int>(buffer.size())), 0);
    EXPECT_EQ(std::strlen(buffer.data()), decl.size() + 255999);
    const std::string over = "<Root><M>" + std::string(255999 - 19, 'x') + "</M></Root>";
    expect_refused(setup_buffer(over, 1024), 75);
}

TEST(SetupFilterBounds, PathDeeperThanItsBufferIsRefused) {
    // 220 levels of 50-character names: a path of over 11000 characters, within the parser's
    // own depth limit.
    const std::string name(50, 'n');
    std::string doc = "<Root>";
    for (int i = 0; i < 220; ++i) doc += "<" + name + ">";
    for (int i = 0; i < 220; ++i) doc += "</" + name + ">";
    doc += "</Root>";
    expect_refused(setup_buffer(doc), 81);
    // 150 levels (7651 characters) pass.
    std::string shallow = "<Root>";
    for (int i = 0; i < 150; ++i) shallow += "<" + name + ">";
    for (int i = 0; i < 150; ++i) shallow += "</" + name + ">";
    shallow += "</Root>";
    std::vector<char> buffer = setup_buffer(shallow);
    EXPECT_EQ(xml_setup_prepare(2, buffer.data(), static_cast<int>(buffer.size())), 0);
}

TEST(SetupFilterBounds, BadArguments) {
    EXPECT_EQ(xml_setup_prepare(4, nullptr, 100), -1);
    EXPECT_EQ(xml_fault[4].code, 85);
    std::vector<char> buffer = setup_buffer("<Root/>");
    expect_refused(buffer, 45, 0);
    // A buffer too small for even the declaration.
    expect_refused(setup_buffer("<Root/>", 0), 75);
}

// Found by fuzzing (fuzz/regressions/fuzz_setup_prepare/): a root named Idx is removed with
// its value, which left the declaration alone, a document without a root, reported as done.
TEST(SetupFilterBounds, DocumentOfWhichNothingIsKeptIsRefused) {
    expect_refused(setup_buffer("<Idx>\n </Hs>"), 45);  // the accepted root end mismatch
    expect_refused(setup_buffer("<Idx>1</Idx>"), 45);
    expect_refused(setup_buffer("<?xml version=\"1.0\"?>\n<set:Idx>x<Idx>2</Idx></set:Idx>"), 45);
    // An Idx below any other root is kept (moved), so the document is still posted.
    std::vector<char> kept = setup_buffer("<Root><Idx>1</Idx></Root>");
    EXPECT_EQ(xml_setup_prepare(12, kept.data(), static_cast<int>(kept.size())), 0);
    EXPECT_EQ(std::string(kept.data()), decl + "<Root>\n<Idx>1</Idx></Root>");
}

// Found by fuzzing (fuzz/regressions/fuzz_setup_prepare/): the root's text after its last
// colon became its name even when that is no name, giving "<>" or "<1>" in the output.
TEST(SetupFilterBounds, RootPrefixWithoutLocalNameKeepsTheWholeName) {
    const struct {
        const char *document, *output;
    } cases[] = {
        {"<Root_BinaryOutSet_Entry_Mode:>t\n</>",
         "<Root_BinaryOutSet_Entry_Mode:>t\n</Root_BinaryOutSet_Entry_Mode:>"},
        {"<a:1><Name>x</Name></a:1>", "<a:1><Name>x</Name></a:1>"},
        {"<set:Root><Name>x</Name></set:Root>", "<Root><Name>x</Name></Root>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.document);
        std::vector<char> buffer = setup_buffer(c.document);
        ASSERT_EQ(xml_setup_prepare(12, buffer.data(), static_cast<int>(buffer.size())), 0);
        EXPECT_EQ(std::string(buffer.data()), decl + c.output);
    }
}

TEST(SetupFilterBounds, DeviceDocumentCutAnywhereIsRefused) {
    const std::string doc = device_setup_document();
    const size_t root_end = doc.find("</set:Root>");
    for (size_t cut = 60; cut < root_end; cut += 97) {
        SCOPED_TRACE(cut);
        expect_refused(setup_buffer(doc.substr(0, cut)), 45);
    }
}

// Another thread's parse with its own silent handler, as the records parser does.
void on_error(void *user, xmlErrorPtr) {
    ++*static_cast<int *>(user);
}
void no_chars(void *, const xmlChar *, int) {}

TEST(SetupFilterThreads, FiltersRunBesideOtherParses) {
    const std::string good = device_setup_document();
    const std::string bad = "<Root><A>1</B></Root>";
    std::string expected;
    {
        std::vector<char> buffer = setup_buffer(good);
        ASSERT_EQ(xml_setup_prepare(20, buffer.data(), static_cast<int>(buffer.size())), 0);
        expected = buffer.data();
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                std::vector<char> a = setup_buffer(good);
                if (xml_setup_prepare(21 + t, a.data(), static_cast<int>(a.size())) != 0 ||
                    expected != a.data())
                    ++failures;
                std::vector<char> b = setup_buffer(bad);
                if (xml_setup_prepare(21 + t, b.data(), static_cast<int>(b.size())) != -1)
                    ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        int errors = 0;
        xmlSetStructuredErrorFunc(&errors, on_error);
        xmlSAXHandler sax{};
        sax.initialized = 1;
        sax.characters = no_chars;
        for (int i = 0; i < 60; ++i)
            xmlSAXUserParseMemory(&sax, nullptr, bad.data(), static_cast<int>(bad.size()));
        if (errors < 60) ++failures;  // each parse reported to this thread's own handler
        xmlSetStructuredErrorFunc(nullptr, nullptr);
    });
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
