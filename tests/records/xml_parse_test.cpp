// xml_parse: root rewrite, storing rules, sets, bounds, hooks and results.
#include "records/xml_parse.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "records_test_util.h"

namespace {

bool well_formed(const std::string &doc) {
    xmlDocPtr tree = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), nullptr, nullptr,
                                   XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (tree == nullptr) return false;
    xmlFreeDoc(tree);
    return true;
}

bool all_zero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

std::string sensors(int n) {
    std::string body = "<SenSet>";
    for (int i = 0; i < n; ++i) body += "<Entry><Name>s" + std::to_string(i) + "</Name></Entry>";
    return body + "</SenSet>";
}

}  // namespace

// ---- Root tag rewrite ---------------------------------------------------------------------

using XmlParseRoot = ParseTest;

TEST_F(XmlParseRoot, PrefixedRootWithNamespaceParsesAndStaysWellFormed) {
    const std::string start = "<val:Root xmlns:val=\"http://example.invalid/values\">";
    std::string doc = "<?xml version=\"1.0\"?>\n" + start +
                      "<Agent><DeviceName>Lab 4</DeviceName></Agent></val:Root>\n";
    const size_t size = doc.size();
    const size_t p = doc.find("<val:Root");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().Agent_DeviceName, "Lab 4");

    ASSERT_EQ(doc.size(), size);
    EXPECT_EQ(doc.substr(p, start.size()), "<Root>" + std::string(start.size() - 6, ' '));
    EXPECT_EQ(doc.substr(doc.size() - 12), "</Root>    \n");
    EXPECT_TRUE(well_formed(doc)) << doc;
}

TEST_F(XmlParseRoot, SetupPatternAndLastEndTag) {
    // The end tag inside the comment is not the last one; only the last one is rewritten.
    std::string doc = "<set:Root xmlns:set='u'><!-- </set:Root> --><Info>1</Info></set:Root>";
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_STREQ(setup().Info, "1");
    EXPECT_NE(doc.find("<!-- </set:Root> -->"), std::string::npos);
    EXPECT_EQ(doc.substr(doc.size() - 11), "</Root>    ");
    EXPECT_TRUE(well_formed(doc));

    // The values pattern is not looked for in a setup document: nothing matches the tables.
    std::string other = "<val:Root xmlns:val='u'><Info>1</Info></val:Root>";
    const std::string before = other;
    ASSERT_EQ(parse(other, 1), 0);
    EXPECT_EQ(other, before);
    EXPECT_STREQ(setup().Info, "");
}

TEST_F(XmlParseRoot, PatternInSecondHalfIsLeftAlone) {
    std::string doc = "<!--" + std::string(200, 'x') +
                      "--><val:Root xmlns:val='u'><Agent><Model>5</Model></Agent></val:Root>";
    const std::string before = doc;
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_EQ(doc, before);
    EXPECT_STREQ(values().Agent_Model, "");
}

TEST_F(XmlParseRoot, NoClosingBracketBeforeBoundIsLeftAlone) {
    // The start tag's ">" lies at len - 1, past the bound len - p.
    std::string doc = "<!--" + std::string(36, 'x') + "-->" + "<val:Root xmlns:val='u' a='" +
                      std::string(30, 'y') + "'/>";
    const std::string before = doc;
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_EQ(doc, before);

    // Too short for the pattern search (start positions 0 .. len - 10): untouched.
    std::string tiny = "<val:Root";
    ASSERT_EQ(parse(tiny, 0), 0);
    EXPECT_EQ(tiny, "<val:Root");
    // Ten bytes: start position 0 is searched.
    std::string ten = "<val:Root>";
    ASSERT_EQ(parse(ten, 0), 0);
    EXPECT_EQ(ten, "<Root>    ");
}

TEST_F(XmlParseRoot, EndTagAloneIsNotRewrittenAndMismatchStillSucceeds) {
    std::string doc = "<Root><Agent><Model>7</Model></Agent></val:Root>";
    ASSERT_EQ(parse(doc, 0), 0);  // libxml2 reports a positive error: not a failure
    EXPECT_NE(doc.find("</val:Root>"), std::string::npos);
    EXPECT_STREQ(values().Agent_Model, "7");  // stored before the error
}

// ---- Storing text --------------------------------------------------------------------------

using XmlParseText = ParseTest;

TEST_F(XmlParseText, EntityArrivesAsSeparatePieces) {
    // "Cold &amp; dry" is three pieces: the text, the ampersand, the text after it.
    std::string doc = rooted(
        "<SenSet><Entry><Name>Cold &amp; dry</Name></Entry></SenSet>"
        // Version has width 12 (10 characters): "abcdefghi" and "&" fit, "jk" is dropped.
        "<Agent><Version>abcdefghi&amp;jk</Version><XmlVer>abcdefgh&amp;&amp;&amp;x</XmlVer>"
        "</Agent>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().SenSet_Entry_Name[0], "Cold & dry");
    EXPECT_STREQ(values().Agent_Version, "abcdefghi&");
    // "abcdefgh" + "&" + "&" = 10; the third "&" and "x" would overflow and are dropped.
    EXPECT_STREQ(values().Agent_XmlVer, "abcdefgh&&");
}

TEST_F(XmlParseText, DeviceNameOf50IsStoredAnd51IsNot) {
    const std::string n50(50, 'n');
    std::string doc = rooted("<Agent><DeviceName>" + n50 + "</DeviceName></Agent>");
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_EQ(std::string(setup().Agent_DeviceName), n50);

    std::string doc51 = rooted("<Agent><DeviceName>" + n50 + "x</DeviceName></Agent>");
    ASSERT_EQ(parse(doc51, 1), 0);
    EXPECT_STREQ(setup().Agent_DeviceName, "");
}

TEST_F(XmlParseText, FlagTakesAtMostTwoCharacters) {
    std::string doc =
        rooted("<SenSet><Entry><E>1</E><SNMPTrap>123</SNMPTrap><State>12</State></Entry></SenSet>");
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_STREQ(setup().SenSet_Entry_E[0], "1");
    EXPECT_STREQ(setup().SenSet_Entry_SNMPTrap[0], "");
    EXPECT_STREQ(setup().SenSet_Entry_State[0], "12");
}

TEST_F(XmlParseText, WhitespaceInsideLeafKeptBetweenElementsIgnored) {
    std::string doc = rooted("\n  <Agent>\n    <DeviceName>  a\tb  </DeviceName>\n  </Agent>\n");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().Agent_DeviceName, "  a\tb  ");
}

// Text made of blanks alone is the field's text like any other, also where a DTD declares
// element-only content or xml:space is set: the handlers must not take a blank run inside a
// field for the line breaks between elements.
TEST_F(XmlParseText, BlankOnlyTextIsStoredWhateverTheDocumentDeclares) {
    struct blank_case {
        const char *prolog;  // between the declaration and the root
        const char *attrs;   // of DeviceName
        const char *text;    // DeviceName's text
    };
    const blank_case cases[] = {
        {"", "", "   "},
        {"", "", "\n\t \n"},
        {"", " xml:space='default'", "  "},
        {"", " xml:space='preserve'", " \t"},
        {"<!DOCTYPE Root [<!ELEMENT Root (Agent)><!ELEMENT Agent (DeviceName)>"
         "<!ELEMENT DeviceName (X*)><!ELEMENT X EMPTY>]>",
         "", "    "},
        {"<!DOCTYPE Root [<!ELEMENT DeviceName (X*)><!ELEMENT X EMPTY>"
         "<!ATTLIST DeviceName xml:space (default|preserve) 'default'>]>",
         "", "\n  \n"},
    };
    for (const blank_case &c : cases) {
        std::string doc = std::string("<?xml version=\"1.0\"?>\n") + c.prolog +
                          "<Root>\n <Agent>\n  <DeviceName" + c.attrs + ">" + c.text +
                          "</DeviceName>\n </Agent>\n</Root>";
        for (int type : {0, 1}) {
            ASSERT_EQ(parse(doc, type), 0) << doc;
            const char *stored = type == 0 ? values().Agent_DeviceName : setup().Agent_DeviceName;
            EXPECT_STREQ(stored, c.text) << "type " << type << ": " << doc;
        }
    }
}

TEST_F(XmlParseText, PrefixedOrUnknownElementsBelowRootAreIgnored) {
    std::string doc = rooted(
        "<SenSet><Entry><x:Name xmlns:x='u'>wrong</x:Name><Name>right</Name>"
        "<Unknown>zz</Unknown></Entry></SenSet><agent><Model>9</Model></agent>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().SenSet_Entry_Name[0], "right");
    EXPECT_STREQ(values().Agent_Model, "");  // paths are case-sensitive
}

TEST_F(XmlParseText, TextAfterAChildElementIsAppended) {
    std::string doc = rooted("<Agent><Title>ab<b>inner</b>cd</Title></Agent>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().Agent_Title, "abcd");
}

TEST_F(XmlParseText, ValuesRecordIgnoresSetupOnlyElements) {
    std::string doc = rooted(
        "<Status><NtpState>ok</NtpState></Status>"
        "<TempRangeSet><Entry><Min>1</Min></Entry></TempRangeSet>"
        "<User><Entry><Name>u</Name></Entry></User>"
        "<SenSet><Entry><Dest><Snmp1>1</Snmp1></Dest><E>1</E></Entry></SenSet>");
    ASSERT_EQ(parse(doc, 0), 0);
    kyvern_values empty{};
    EXPECT_EQ(std::memcmp(&values(), &empty, sizeof empty), 0);
    EXPECT_EQ(values_count().SenSet, 1);  // the Entry itself is counted
    EXPECT_EQ(values_count().BinaryInSet + values_count().BinaryOutSet, 0);
}

// ---- Repeated sets ------------------------------------------------------------------------

using XmlParseSets = ParseTest;

TEST_F(XmlParseSets, EntriesFillSlotsInDocumentOrder) {
    std::string doc = rooted(
        "<SenSet><Entry><Name>first</Name></Entry><Entry><ID>2</ID></Entry>"
        "<Entry><Name>third</Name><Value>21.5</Value></Entry></SenSet>");
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_EQ(setup_count().SenSet, 3);
    EXPECT_STREQ(setup().SenSet_Entry_Name[0], "first");
    EXPECT_STREQ(setup().SenSet_Entry_Name[1], "");
    EXPECT_STREQ(setup().SenSet_Entry_ID[1], "2");
    EXPECT_STREQ(setup().SenSet_Entry_Name[2], "third");
    EXPECT_STREQ(setup().SenSet_Entry_Value[2], "21.5");
    EXPECT_STREQ(setup().SenSet_Entry_Name[3], "");
}

TEST_F(XmlParseSets, NoEntriesLeaveCountZeroAndSlotsEmpty) {
    std::string doc =
        rooted("<SenSet></SenSet><BinaryInSet><AlarmAction>a</AlarmAction></BinaryInSet>");
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_EQ(setup_count().SenSet, 0);
    EXPECT_TRUE(all_zero(setup().SenSet_Entry_Name, sizeof setup().SenSet_Entry_Name));
    EXPECT_STREQ(setup().BinaryInSet_AlarmAction, "a");
}

TEST_F(XmlParseSets, SecondSetStartsAtSlotZero) {
    std::string doc = rooted(
        "<BinaryInSet><Entry><Name>i0</Name></Entry><Entry><Name>i1</Name></Entry>"
        "<AlarmAction>act</AlarmAction></BinaryInSet>"
        "<BinaryOutSet><Entry><Name>o0</Name></Entry></BinaryOutSet>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_EQ(values_count().BinaryInSet, 2);
    EXPECT_EQ(values_count().BinaryOutSet, 1);
    EXPECT_STREQ(values().BinaryInSet_Entry_Name[1], "i1");
    EXPECT_STREQ(values().BinaryOutSet_Entry_Name[0], "o0");
    EXPECT_STREQ(values().BinaryInSet_AlarmAction, "act");  // a single field ignores the slot
}

TEST_F(XmlParseSets, EntriesBeyondCapacityAreNeitherStoredNorCounted) {
    std::string body = "<User>";
    for (int i = 0; i < 5; ++i)
        body += "<Entry><Name>u" + std::to_string(i) + "</Name><Idx>" + std::to_string(i) +
                "</Idx></Entry>";
    body += "</User><Info>9</Info><BinaryInSet>";
    for (int i = 0; i < 70; ++i) body += "<Entry><ID>" + std::to_string(i) + "</ID></Entry>";
    body += "<AlarmAction>after</AlarmAction></BinaryInSet>";
    std::string doc = rooted(body);
    ASSERT_EQ(parse(doc, 1), 0);
    EXPECT_EQ(setup_count().User, 2);
    EXPECT_STREQ(setup().User_Entry_Name[0], "u0");
    EXPECT_STREQ(setup().User_Entry_Name[1], "u1");
    EXPECT_STREQ(setup().User_Entry_Idx[1], "1");
    EXPECT_STREQ(setup().Info, "9");  // the field after the User arrays is untouched by them
    EXPECT_EQ(setup_count().BinaryInSet, 64);
    EXPECT_STREQ(setup().BinaryInSet_Entry_ID[63], "63");
    EXPECT_STREQ(setup().BinaryInSet_AlarmAction, "after");

    std::string values_doc = rooted(sensors(50));
    ASSERT_EQ(parse(values_doc, 0), 0);
    EXPECT_EQ(values_count().SenSet, 42);
    EXPECT_STREQ(values().SenSet_Entry_Name[41], "s41");
    EXPECT_STREQ(values().Time_Date, "");  // the record after the SenSet arrays
}

TEST_F(XmlParseSets, EntryOfAnUnknownPathChangesNoCount) {
    std::string doc = rooted(
        "<SenSet><Entry><Name>a</Name></Entry></SenSet><Other><Entry/><Entry/></Other>"
        "<Agent><Entry/></Agent>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_EQ(values_count().SenSet, 1);
    EXPECT_EQ(values_count().BinaryInSet + values_count().BinaryOutSet, 0);
}

// ---- Element path bound --------------------------------------------------------------------

using XmlParsePath = ParseTest;

TEST_F(XmlParsePath, PathsLongerThanTheBufferAreIgnoredAndNestingHolds) {
    const std::string a(6000, 'A');
    const std::string b(6000, 'B');
    // Root_Agent_A... fits; adding B... does not: B's subtree (with a DeviceName and an Entry
    // inside) is ignored, and after it closes the path is Root_Agent_A... again.
    std::string doc =
        rooted("<Agent><" + a + "><" + b + "><DeviceName>lost</DeviceName>" + "<Entry/></" + b +
               "></" + a + ">" + "<DeviceName>kept</DeviceName></Agent>" + sensors(2));
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().Agent_DeviceName, "kept");
    EXPECT_EQ(values_count().SenSet, 2);
    EXPECT_STREQ(values().SenSet_Entry_Name[1], "s1");

    // A single name longer than the buffer.
    const std::string huge(12000, 'H');
    std::string doc2 = rooted("<" + huge + "><Agent><Model>x</Model></Agent></" + huge +
                              "><Agent><Model>y</Model></Agent>");
    ASSERT_EQ(parse(doc2, 0), 0);
    EXPECT_STREQ(values().Agent_Model, "y");
}

TEST_F(XmlParsePath, PathExactlyAtTheBufferLimit) {
    // "Root_" + name fills 9999 bytes: the longest path that fits with its terminator.
    const std::string fit(XML_PATH_SIZE - 1 - 5, 'F');
    std::string doc =
        rooted("<" + fit + ">t<Deeper>u</Deeper></" + fit + "><Agent><Model>m</Model></Agent>");
    ASSERT_EQ(parse(doc, 0), 0);
    EXPECT_STREQ(values().Agent_Model, "m");
}

// ---- Results, hooks, records ---------------------------------------------------------------

using XmlParseResult = ParseTest;

TEST_F(XmlParseResult, TypeOtherThanValuesOrSetupFailsWithoutCode) {
    xml_except(kTestId, 3);
    std::string doc = rooted("");
    EXPECT_EQ(parse(doc, 2), -1);
    EXPECT_EQ(last_code(), 3);
    EXPECT_EQ(p_kyvern_values[kTestId], nullptr);
    EXPECT_EQ(p_kyvern_setup[kTestId], nullptr);
}

namespace {
struct hook_log {
    int parsed_calls = 0;
    int result_seen = 0;
    int type_seen = -1;
    void *record_seen = nullptr;
    void *count_seen = nullptr;
    int force_result = 0;
    bool force = false;
};

void on_parsed_hook(int, void *user, char *, int, int type, void *record, void *count,
                    int *result) {
    auto *log = static_cast<hook_log *>(user);
    ++log->parsed_calls;
    log->result_seen = *result;
    log->type_seen = type;
    log->record_seen = record;
    log->count_seen = count;
    if (log->force) *result = log->force_result;
}

int on_parse_hook(int, void *user, char *data, int len, int type) {
    auto *log = static_cast<hook_log *>(user);
    ++log->parsed_calls;
    log->type_seen = type;
    return std::string(data, static_cast<size_t>(len)) == "accept" ? 0 : 1;
}
}  // namespace

TEST_F(XmlParseResult, EmptyDocumentFailsWithCode45AfterTheHook) {
    hook_log log;
    xml_module[kTestId].user_ptr = &log;
    xml_module[kTestId].settings.callbacks.on_parsed = on_parsed_hook;
    std::string doc;
    EXPECT_EQ(parse(doc, 0), -1);
    EXPECT_EQ(last_code(), 45);
    EXPECT_EQ(log.parsed_calls, 1);
    EXPECT_LT(log.result_seen, 0);
    EXPECT_EQ(log.record_seen, p_kyvern_values[kTestId]);
    EXPECT_EQ(log.count_seen, p_kyvern_values_entry_count[kTestId]);
    EXPECT_EQ(xml_parse(kTestId, nullptr, 10, 1), -1);
}

TEST_F(XmlParseResult, OnParsedMayTurnTheResultIntoAFailure) {
    hook_log log;
    log.force = true;
    log.force_result = -7;
    xml_module[kTestId].user_ptr = &log;
    xml_module[kTestId].settings.callbacks.on_parsed = on_parsed_hook;
    std::string doc = rooted("<Info>1</Info>");
    EXPECT_EQ(parse(doc, 1), -1);
    EXPECT_EQ(last_code(), 45);
    EXPECT_EQ(log.result_seen, 0);
    EXPECT_EQ(log.type_seen, 1);
    EXPECT_EQ(log.record_seen, p_kyvern_setup[kTestId]);
    EXPECT_STREQ(setup().Info, "1");  // the records keep what was stored
}

TEST_F(XmlParseResult, OnParseReplacesTheBuiltInParser) {
    hook_log log;
    xml_module[kTestId].user_ptr = &log;
    xml_module[kTestId].settings.callbacks.on_parse = on_parse_hook;
    xml_module[kTestId].settings.callbacks.on_parsed = on_parsed_hook;
    std::string yes = "accept";
    EXPECT_EQ(parse(yes, 0), 0);
    xml_except(kTestId, 0);
    std::string no = rooted("<Info>1</Info>");
    EXPECT_EQ(parse(no, 1), -1);
    EXPECT_EQ(last_code(), 45);
    EXPECT_EQ(log.parsed_calls, 2);  // on_parse twice, on_parsed never
    EXPECT_EQ(log.type_seen, 1);
    EXPECT_EQ(p_kyvern_values[kTestId], nullptr);
    EXPECT_EQ(p_kyvern_setup[kTestId], nullptr);
    EXPECT_EQ(no.substr(0, 5), "<?xml");
}

TEST_F(XmlParseResult, TextWithoutMarkupSucceedsWithEmptyRecords) {
    std::string doc = "just some text, no markup";
    EXPECT_EQ(parse(doc, 0), 0);
    kyvern_values empty{};
    EXPECT_EQ(std::memcmp(&values(), &empty, sizeof empty), 0);
}

TEST_F(XmlParseResult, EachParseClearsItsKindOnlyAndReusesTheRecords) {
    std::string v = rooted("<Agent><Model>3</Model></Agent>" + sensors(3));
    ASSERT_EQ(parse(v, 0), 0);
    values().time_stamp = 1234;
    std::string s = rooted("<Info>5</Info>");
    ASSERT_EQ(parse(s, 1), 0);
    kyvern_values *first = p_kyvern_values[kTestId];
    EXPECT_STREQ(values().Agent_Model, "3");  // setup parse leaves values alone
    EXPECT_EQ(values().time_stamp, 1234);

    std::string v2 = rooted("<Agent><MAC>m</MAC></Agent>");
    ASSERT_EQ(parse(v2, 0), 0);
    EXPECT_EQ(p_kyvern_values[kTestId], first);
    EXPECT_EQ(values().time_stamp, 0);
    EXPECT_STREQ(values().Agent_Model, "");
    EXPECT_STREQ(values().SenSet_Entry_Name[0], "");
    EXPECT_EQ(values_count().SenSet, 0);
    EXPECT_STREQ(setup().Info, "5");
}

// ---- libxml2 error output ------------------------------------------------------------------

namespace {
std::atomic<int> generic_calls{0};
void counting_generic(void *, const char *, ...) {
    ++generic_calls;
}
void counting_structured(void *ctx, xmlErrorPtr) {
    ++*static_cast<std::atomic<int> *>(ctx);
}
}  // namespace

TEST_F(XmlParseResult, MalformedDocumentReportsNothingAndThreadHandlersAreRestored) {
    // Handlers this thread had before: neither sees the parse's errors, both are back after.
    std::atomic<int> structured_calls{0};
    xmlSetGenericErrorFunc(nullptr, counting_generic);
    xmlSetStructuredErrorFunc(&structured_calls, counting_structured);
    generic_calls = 0;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::string doc = rooted("<Agent><Model>1</Model></Wrong><</Agent>&bogus;");
    EXPECT_EQ(parse(doc, 0), 0);
    std::string bad_encoding = "<?xml version='1.0' encoding='bogus'?><Root>\xff</Root>";
    EXPECT_EQ(parse(bad_encoding, 1), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
    EXPECT_EQ(generic_calls.load(), 0);
    EXPECT_EQ(structured_calls.load(), 0);
    EXPECT_EQ(xmlGenericError, counting_generic);
    EXPECT_EQ(xmlStructuredError, counting_structured);
    EXPECT_EQ(xmlStructuredErrorContext, &structured_calls);

    // The restored handler works again for this thread's own parses.
    xmlDocPtr d = xmlReadMemory("<a>", 3, nullptr, nullptr, 0);
    EXPECT_EQ(d, nullptr);
    EXPECT_GT(structured_calls.load(), 0);
    xmlSetGenericErrorFunc(nullptr, nullptr);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

TEST_F(XmlParseResult, OtherThreadsKeepTheirOwnErrorReporting) {
    // Another thread parses malformed text with its own error handler while this one runs
    // xml_parse over and over: each of its parses must still report its errors to it.
    std::atomic<bool> stop{false};
    std::atomic<int> missed{0};
    std::atomic<int> rounds{0};
    std::thread other([&] {
        std::atomic<int> errors{0};
        xmlSetStructuredErrorFunc(&errors, counting_structured);
        const std::string bad = "<a><b></a>";
        while (!stop || rounds < 50) {
            const int before = errors.load();
            xmlDocPtr d =
                xmlReadMemory(bad.data(), static_cast<int>(bad.size()), nullptr, nullptr, 0);
            if (d) xmlFreeDoc(d);
            if (errors.load() == before) ++missed;
            ++rounds;
        }
        xmlSetStructuredErrorFunc(nullptr, nullptr);
    });
    for (int i = 0; i < 200; ++i) {
        std::string doc = rooted("<Agent><Model>1</Model></Oops></Agent>" + sensors(3));
        ASSERT_EQ(parse(doc, 0), 0);
        ASSERT_STREQ(values().Agent_Model, "1");
    }
    stop = true;
    other.join();
    EXPECT_EQ(missed.load(), 0);
}
