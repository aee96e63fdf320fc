// What the upload filter keeps, removes, moves and escapes.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <string>

#include "core/xml_global.h"
#include "records/xml_setup.h"
#include "setup_docs.h"

namespace {

const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

filtered run_filter(const std::string &document, int module = 7) {
    std::vector<char> buffer = setup_buffer(document);
    const int result = xml_setup_prepare(module, buffer.data(), static_cast<int>(buffer.size()));
    return {result, std::string(buffer.data())};
}

// The filtered text must be a document the device can parse.
bool well_formed(const std::string &text) {
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "upload.xml", nullptr,
                                  XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr) return false;
    xmlFreeDoc(doc);
    return true;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(SetupBlacklist, MatchesTheNineteenPathsAsWholeStrings) {
    const char *listed[] = {"Root_Agent",
                            "Root_BinaryInSet_Entry_Value",
                            "Root_BinaryInSet_Entry_State",
                            "Root_BinaryOutSet_Entry_Type",
                            "Root_SenSet_Entry_Value",
                            "Root_SenSet_Entry_Units",
                            "Root_SenSet_Entry_State",
                            "Root_Network_IPAddr",
                            "Root_Network_Submask",
                            "Root_Network_Gateway",
                            "Root_Network_HTTPport",
                            "Root_Network_DHCP",
                            "Root_Time_TimeShift",
                            "Root_Time_Date",
                            "Root_Time_Time",
                            "Root_MIBIISysGroup_SysName",
                            "Root_User_Entry_Idx",
                            "Root_User_Entry_Name",
                            "Root_User_Entry_Pswd"};
    for (const char *path : listed) EXPECT_EQ(it_is_blacklist(path), 1) << path;
    for (const char *path :
         {"Root", "Root_Agen", "Root_Agent_DeviceName", "Root_Network", "Root_Network_DNSPrimary",
          "Root_SenSet_Entry_Idx", "set:Root_Agent", "Root_Time_Time_", "", "root_agent"})
        EXPECT_EQ(it_is_blacklist(path), 0) << path;
    EXPECT_EQ(it_is_blacklist(nullptr), 0);
}

TEST(SetupFilterDocument, DeviceDocumentLosesWhatTheDeviceMustNotTake) {
    const filtered f = run_filter(device_setup_document());
    ASSERT_EQ(f.result, 0);
    const std::string &out = f.text;
    EXPECT_EQ(out.compare(0, decl.size(), decl), 0);
    EXPECT_EQ(count_of(out, "<?xml"), 1u);
    EXPECT_TRUE(well_formed(out)) << out;

    // Agent disappears whole, with its text.
    for (const char *gone : {"<Agent>", "</Agent>", "Server room north", "00:0A:59", "4.2.1"})
        EXPECT_FALSE(contains(out, gone)) << gone;
    // Network keeps its other children, loses addressing.
    EXPECT_TRUE(contains(out, "<DNSPrimary>192.168.0.2</DNSPrimary>"));
    EXPECT_TRUE(contains(out, "<DNSSecondary>192.168.0.3</DNSSecondary>"));
    EXPECT_TRUE(contains(out, "<TelnetPort>23</TelnetPort>"));
    EXPECT_TRUE(contains(out, "<Name>qv-north</Name>"));
    for (const char *gone : {"IPAddr", "Submask", "Gateway", "HTTPport", "DHCP", "192.168.0.41"})
        EXPECT_FALSE(contains(out, gone)) << gone;
    // Live values, states, units, output type, clock, system name.
    for (const char *gone : {"<State>", "<Units>", "<Type>", "<TimeShift>", "<Date>", "<Time>16",
                             "16:20:05", "<SysName>", "north-rack", "23.4", "%RH"})
        EXPECT_FALSE(contains(out, gone)) << gone;
    EXPECT_EQ(count_of(out, "<Value>"), 1u);  // the binary output's value is kept
    EXPECT_TRUE(contains(out, "<Value>0</Value>"));
    EXPECT_TRUE(contains(out, "<SNTPServer>pool.example.org</SNTPServer>"));
    EXPECT_TRUE(contains(out, "<SysLocation>Building B</SysLocation>"));
    EXPECT_TRUE(contains(out, "<Mode>manual</Mode>"));
    EXPECT_TRUE(contains(out, "<Min>10.0</Min>"));
    // Users keep their Idx, lose name and password.
    for (const char *gone : {"admin", "s3cret", "guest", "<Pswd>"})
        EXPECT_FALSE(contains(out, gone)) << gone;
    EXPECT_TRUE(contains(out, "<User>\n    <Entry>\n<Idx>0</Idx>\n"));
    EXPECT_TRUE(
        contains(out, "<Entry>\n<Idx>1</Idx>\n      \n      \n      \n    </Entry>\n  </User>"))
        << out;
    // Each sensor entry gets its own Idx right after its start tag.
    EXPECT_TRUE(contains(out, "<Entry>\n<Idx>0</Idx>\n      <Name>Rack 1 inlet</Name>"));
    EXPECT_TRUE(contains(out, "<Entry>\n<Idx>1</Idx>\n      <Name>Rack 1 humidity</Name>"));
    EXPECT_EQ(count_of(out, "<Idx>"), 6u);
    // The root is written unprefixed, without its namespace declaration.
    EXPECT_FALSE(contains(out, "set:"));
    EXPECT_TRUE(contains(out, decl + "<Root>\n"));
    EXPECT_EQ(out.substr(out.size() - 7), "</Root>");
    // Text with an entity comes out escaped again.
    EXPECT_TRUE(contains(out, "<Subject>Alarm &amp; notice</Subject>"));
}

TEST(SetupFilterDocument, PrefixedRootIsFilteredLikeUnprefixed) {
    std::string plain = device_setup_document();
    const std::string open = "<set:Root xmlns:set=\"http://www.example.com/setup\">";
    plain.replace(plain.find(open), open.size(), "<Root>");
    plain.replace(plain.find("</set:Root>"), 11, "</Root>");
    const filtered prefixed = run_filter(device_setup_document());
    const filtered unprefixed = run_filter(plain);
    ASSERT_EQ(prefixed.result, 0);
    ASSERT_EQ(unprefixed.result, 0);
    EXPECT_EQ(prefixed.text, unprefixed.text);
    EXPECT_FALSE(contains(prefixed.text, "<Agent>"));
}

TEST(SetupFilterDocument, ExactOutputOfACompactDocument) {
    const filtered f = run_filter(
        "<?xml version=\"1.0\"?><!-- saved --><Root><SenSet a=\"1\"><Entry><Name>T1</Name>"
        "<Idx>3</Idx><Min>10</Min><Value>22.5</Value></Entry></SenSet><Info/><?pi x?></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><SenSet><Entry>\n<Idx>3</Idx><Name>T1</Name><Min>10</Min>"
                          "</Entry></SenSet><Info></Info></Root>");
}

TEST(SetupFilterIdx, EachEntryGetsItsOwnValueAndOnlyItsOwn) {
    const filtered f = run_filter(
        "<Root><SenSet>"
        "<Entry><Name>A</Name><Idx></Idx></Entry>"
        "<Entry><Name>B</Name><Idx>1&#50;</Idx></Entry>"
        "<Entry><Name>C</Name></Entry>"
        "<Entry><Name>D</Name><Idx>4</Idx></Entry>"
        "<Entry><Name>E</Name><Idx/></Entry>"
        "</SenSet><TempRangeSet><Entry><Min>1</Min><Idx>7</Idx></Entry></TempRangeSet></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><SenSet>"
                          "<Entry>\n<Idx></Idx><Name>A</Name></Entry>"
                          "<Entry>\n<Idx>12</Idx><Name>B</Name></Entry>"
                          "<Entry><Name>C</Name></Entry>"
                          "<Entry>\n<Idx>4</Idx><Name>D</Name></Entry>"
                          "<Entry>\n<Idx></Idx><Name>E</Name></Entry>"
                          "</SenSet><TempRangeSet><Entry>\n<Idx>7</Idx><Min>1</Min></Entry>"
                          "</TempRangeSet></Root>");
}

TEST(SetupFilterIdx, ValueOfARemovedElementGoesWithIt) {
    // An Idx inside a removed block must not surface elsewhere, and the removed block stays
    // removed after it (no text or end tag of the block leaks out).
    const filtered f = run_filter(
        "<Root><Agent><Idx>9</Idx><DeviceName>x</DeviceName></Agent>"
        "<Network><IPAddr>10.0<Idx>5</Idx>.0.1</IPAddr><DNSPrimary>d</DNSPrimary></Network>"
        "<SenSet><Entry><Idx>2</Idx><Name>N</Name></Entry></SenSet></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><Network><DNSPrimary>d</DNSPrimary></Network>"
                          "<SenSet><Entry>\n<Idx>2</Idx><Name>N</Name></Entry></SenSet></Root>");
}

TEST(SetupFilterIdx, IdxOfAChildBeforeItsParentsIdx) {
    const filtered f = run_filter(
        "<Root><S><Entry><Sub><Idx>1</Idx></Sub><Idx>2</Idx><N>n</N></Entry>"
        "<Entry><Idx>3</Idx></Entry></S></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><S><Entry>\n<Idx>2</Idx><Sub>\n<Idx>1</Idx></Sub><N>n</N></Entry>"
                          "<Entry>\n<Idx>3</Idx></Entry></S></Root>");
}

TEST(SetupFilterIdx, NestedIdxStillGivesOneWellFormedIdx) {
    const filtered f =
        run_filter("<Root><S><Entry><Idx>1<Idx>2</Idx>3<b>4</b></Idx><N>n</N></Entry></S></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(count_of(f.text, "<Idx>"), 1u) << f.text;
    EXPECT_TRUE(contains(f.text, "<Entry>\n<Idx>")) << f.text;
    EXPECT_TRUE(contains(f.text, "</Idx><N>n</N></Entry></S></Root>")) << f.text;
    EXPECT_TRUE(well_formed(f.text)) << f.text;
}

TEST(SetupFilterIdx, EscapesTheValueAndWorksUnderUnderscoredNames) {
    // Element names may hold '_': leaving one must restore the path exactly.
    const filtered f = run_filter(
        "<Root><My_Set><Entry><Idx>a&amp;b</Idx></Entry></My_Set>"
        "<Network><Name>n</Name><DHCP>1</DHCP></Network></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><My_Set><Entry>\n<Idx>a&amp;b</Idx></Entry></My_Set>"
                          "<Network><Name>n</Name></Network></Root>");
}

TEST(SetupFilterText, ReferencesAreEscapedAgain) {
    const filtered f = run_filter(
        "<Root><Email><Subject>R&amp;D &lt;lab&gt; &#38;</Subject>"
        "<Message><![CDATA[a<b & c]]></Message>"
        "<Name><![CDATA[x]]]]><![CDATA[>y]]></Name></Email></Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root><Email><Subject>R&amp;D &lt;lab> &amp;</Subject>"
                          "<Message>a&lt;b &amp; c</Message><Name>x]]&gt;y</Name></Email></Root>");
    EXPECT_TRUE(well_formed(f.text));
}

TEST(SetupFilterText, BlankLinesCollapseLinesWithBlanksStay) {
    const filtered f = run_filter(
        "<Root>\n\n\n<A>1</A>\n  \n<B>2</B>\n<Agent>gone</Agent>\n<C>3\n\n\n</C>\n\n</Root>");
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl + "<Root>\n<A>1</A>\n  \n<B>2</B>\n<C>3\n</C>\n</Root>");
}

// Blank-only text stays in the upload as written (newline runs collapsed), also where a DTD
// declares element-only content or xml:space is set.
TEST(SetupFilterText, BlankOnlyTextIsKeptWhateverTheDocumentDeclares) {
    struct blank_case {
        const char *prolog;
        const char *attrs;
        const char *text;
        const char *kept;
    };
    const blank_case cases[] = {
        {"", "", "   ", "   "},
        {"", "", "\t \n\n ", "\t \n "},
        {"", " xml:space='default'", "  ", "  "},
        {"<!DOCTYPE Root [<!ELEMENT Root (Email)><!ELEMENT Email (Subject)>"
         "<!ELEMENT Subject (X*)><!ELEMENT X EMPTY>]>",
         "", " \t ", " \t "},
    };
    for (const blank_case &c : cases) {
        const filtered f = run_filter(std::string("<?xml version=\"1.0\"?>\n") + c.prolog +
                                      "<Root><Email><Subject" + c.attrs + ">" + c.text +
                                      "</Subject></Email></Root>");
        ASSERT_EQ(f.result, 0) << c.prolog << c.text;
        EXPECT_EQ(f.text, decl + "<Root><Email><Subject>" + c.kept + "</Subject></Email></Root>")
            << c.prolog;
    }
}

TEST(SetupFilterRootEnd, MismatchedRootEndTagIsClosed) {
    // A stored document whose root start tag alone was rewritten.
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<Network><Name>n</Name>"
        "<IPAddr>1.2.3.4</IPAddr></Network>\n<User><Entry><Name>u</Name><Idx>0</Idx></Entry>"
        "</User>\n</set:Root>\n";
    const filtered f = run_filter(doc);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, decl +
                          "<Root>\n<Network><Name>n</Name></Network>\n"
                          "<User><Entry>\n<Idx>0</Idx></Entry></User>\n</Root>");
    EXPECT_TRUE(well_formed(f.text));
}

TEST(SetupFilterRootEnd, OtherWellFormednessErrorsAreRefused) {
    const char *documents[] = {
        "<Root>a & b<Network><Name>n</Name></Network></Root>",     // bare ampersand under root
        "<Root><Network><Name>n</Name></Network></set:Root><X/>",  // mismatch, then more
        "<Root><Network><Name>n</Nam></Network></Root>",           // mismatch below the root
        "<Root><Network><Name>n</Name></Root>",                    // unclosed child
        "<Root><SenSet><Entry><Name>A</Name><Min>1",               // cut off in an entry
        "<Root><Name a=\"1\" a=\"2\">n</Name></Root>",             // duplicate attribute
        "",                                                        // nothing at all
    };
    for (const char *doc : documents) {
        std::vector<char> buffer = setup_buffer(doc);
        const std::vector<char> before = buffer;
        EXPECT_EQ(xml_setup_prepare(3, buffer.data(), static_cast<int>(buffer.size())), -1) << doc;
        EXPECT_EQ(xml_fault[3].code, 45) << doc;
        EXPECT_EQ(buffer, before) << doc;
    }
}

TEST(SetupFilterRootEnd, ParseErrorsAreNotPrinted) {
    testing::internal::CaptureStderr();
    const filtered refused = run_filter("<Root><A>1</B></Root>");
    const filtered closed = run_filter("<Root><A>1</A></set:Root>");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(closed.result, 0);
    EXPECT_EQ(printed, "");
}

int seen_errors = 0;
void count_errors(void *, xmlErrorPtr) {
    ++seen_errors;
}

TEST(SetupFilterRootEnd, CallersErrorHandlerIsRestored) {
    xmlSetStructuredErrorFunc(nullptr, count_errors);
    seen_errors = 0;
    EXPECT_EQ(run_filter("<Root><A>1</B></Root>").result, -1);
    EXPECT_EQ(seen_errors, 0);  // the filter's own errors went to its silent handler
    xmlDocPtr doc = xmlReadMemory("<a></b>", 7, "x.xml", nullptr, 0);
    EXPECT_EQ(doc, nullptr);
    EXPECT_GT(seen_errors, 0);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

}  // namespace
