// Power-meter post-parser and the decimal formatter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "records/xml_post_parser.h"

namespace {

std::string fmt(int32_t value, int16_t exponent, int16_t decimals = 32) {
    char *s = mltostre(nullptr, value, exponent, decimals, "%s");
    if (!s) return "<null>";
    std::string out = s;
    std::free(s);
    return out;
}

TEST(Mltostre, Examples) {
    EXPECT_EQ(fmt(1234, -2), "12.34");
    EXPECT_EQ(fmt(5, -3), "0.005");
    EXPECT_EQ(fmt(-50, -1), "-5.0");
    EXPECT_EQ(fmt(7, 2), "700");
    EXPECT_EQ(fmt(0, 2), "0");
    EXPECT_EQ(fmt(0, -1), "0.0");
    EXPECT_EQ(fmt(120, 0), "120");
    EXPECT_EQ(fmt(1234, -2, 1), "12.3");
    EXPECT_EQ(fmt(1234, -2, 0), "12");
}

TEST(Mltostre, SignsLimitsAndCuts) {
    EXPECT_EQ(fmt(-5, -3), "-0.005");
    EXPECT_EQ(fmt(12, -2), "0.12");
    EXPECT_EQ(fmt(INT32_MIN, 0), "-2147483648");
    EXPECT_EQ(fmt(INT32_MIN, -3), "-2147483.648");
    EXPECT_EQ(fmt(1234, -2, -1), "12.34");  // negative decimals: no cut
    EXPECT_EQ(fmt(1234, -2, 2), "12.34");
    EXPECT_EQ(fmt(5, -3, 1), "0.0");
    EXPECT_EQ(fmt(7, 0, 0), "7");  // no point: nothing to cut
    // no text grows beyond 31 characters, however large the exponent
    EXPECT_EQ(fmt(7, 100), "7" + std::string(30, '0'));
    EXPECT_EQ(fmt(7, -100), "0." + std::string(29, '0'));
    EXPECT_EQ(fmt(-7, INT16_MIN).size(), 31u);
    EXPECT_EQ(fmt(1, INT16_MAX).size(), 31u);
    char *s = mltostr(nullptr, -2300, -1);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "-230.0");
    std::free(s);
}

TEST(Mltostre, PrintsToStream) {
    char out[64] = {};
    FILE *f = fmemopen(out, sizeof out - 1, "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(mltostre(f, 2300, -1, 32, "[%s]"), nullptr);
    EXPECT_EQ(mltostr(f, -5, -3), nullptr);
    std::fclose(f);
    EXPECT_STREQ(out, "[230.0]-0.005");
}

struct values {
    std::unique_ptr<kyvern_values> rec{new kyvern_values()};
    kyvern_values_entry_count count{};

    explicit values(const char *model) {
        std::memset(rec.get(), 0, sizeof *rec);
        std::memcpy(rec->Agent_Model, model, std::min(std::strlen(model), sizeof rec->Agent_Model));
    }
    void run(const std::string &doc) {
        qvg_pwr_post_parser(rec.get(), &count, doc.data(), static_cast<int>(doc.size()));
    }
};

const char kMeters[] =
    "<?xml version=\"1.0\"?>\n"
    "<val:Root xmlns:val=\"http://example.invalid/val\">\n"
    " <Agent><Model>55</Model></Agent>\n"
    " <Meter><Name>L1</Name>\n"
    "  <Val id=\"3\"><Name>U</Name><Units>V</Units><Value>2301</Value><Exp>-1</Exp>\n"
    "   <alarm_end>2300</alarm_end><alarm_start>2530</alarm_start><hyst>5</hyst>\n"
    "   <State>1</State><cfg>12</cfg></Val>\n"
    "  <Val id=\"4\"><Name>I</Name><Unit>A</Unit><Value>17</Value><Exp>-2</Exp>\n"
    "   <alarm_start>1234</alarm_start><cfg>4</cfg></Val>\n"
    " </Meter>\n"
    " <Meter><Name>L2</Name>\n"
    "  <Val><Value>9</Value><alarm_end>-50</alarm_end></Val>\n"
    " </Meter>\n"
    " <Meter><Val id=\"9\"><Name>orphan</Name></Val></Meter>\n"
    "</val:Root>\n";

TEST(PostParser, MeterValuesBecomeSensors) {
    values v("55");
    v.run(kMeters);
    ASSERT_EQ(v.count.SenSet, 3);
    const kyvern_values &r = *v.rec;
    EXPECT_STREQ(r.SenSet_Entry_Name[0], "L1.U");
    EXPECT_STREQ(r.SenSet_Entry_Units[0], "V");
    EXPECT_STREQ(r.SenSet_Entry_ID[0], "3");
    EXPECT_STREQ(r.SenSet_Entry_Exp[0], "-1");
    EXPECT_STREQ(r.SenSet_Entry_Value[0], "2301");  // not scaled
    EXPECT_STREQ(r.SenSet_Entry_Min[0], "230.0");
    EXPECT_STREQ(r.SenSet_Entry_Max[0], "253.0");
    EXPECT_STREQ(r.SenSet_Entry_Hyst[0], "0.5");
    EXPECT_STREQ(r.SenSet_Entry_State[0], "1");
    EXPECT_STREQ(r.SenSet_Entry_EmailSMS[0], "1");  // cfg 12: bits 8 and 4
    EXPECT_STREQ(r.SenSet_Entry_SNMPTrap[0], "1");
    EXPECT_STREQ(r.SenSet_Entry_Calib[0], "0");

    EXPECT_STREQ(r.SenSet_Entry_Name[1], "L1.I");
    EXPECT_STREQ(r.SenSet_Entry_Units[1], "A");  // from Unit when Units is absent
    EXPECT_STREQ(r.SenSet_Entry_Max[1], "12.34");
    EXPECT_STREQ(r.SenSet_Entry_Min[1], "");        // absent child: field untouched
    EXPECT_STREQ(r.SenSet_Entry_EmailSMS[1], "0");  // cfg 4
    EXPECT_STREQ(r.SenSet_Entry_SNMPTrap[1], "1");

    // second meter: no Exp, so the exponent -2 of the previous Val carries over
    EXPECT_STREQ(r.SenSet_Entry_Name[2], "L2.");
    EXPECT_STREQ(r.SenSet_Entry_Min[2], "-0.50");
    EXPECT_STREQ(r.SenSet_Entry_Exp[2], "");
    EXPECT_STREQ(r.SenSet_Entry_ID[2], "0");  // no id attribute
    EXPECT_STREQ(r.SenSet_Entry_Units[2], "");
    EXPECT_STREQ(r.SenSet_Entry_EmailSMS[2], "");  // no cfg: untouched
    EXPECT_STREQ(r.SenSet_Entry_Calib[2], "0");
    // the meter without Name contributed nothing
    EXPECT_STREQ(r.SenSet_Entry_Name[3], "");
    EXPECT_EQ(v.count.BinaryInSet, 0);
}

TEST(PostParser, InputsBecomeBinaryInputs) {
    values v("58");
    v.run(
        "<Root><Input id='1'><Name>Door</Name><State>1</State><Value>Open</Value><cfg>6</cfg>"
        "</Input><Input id='2'><cfg>2</cfg></Input><Input id='x3'><cfg>4</cfg></Input>"
        "<Input><cfg>0</cfg></Input><Input id='-7'><cfg>24</cfg></Input><Input/></Root>");
    ASSERT_EQ(v.count.BinaryInSet, 6);
    const kyvern_values &r = *v.rec;
    EXPECT_STREQ(r.BinaryInSet_Entry_Name[0], "Door");
    EXPECT_STREQ(r.BinaryInSet_Entry_State[0], "1");
    EXPECT_STREQ(r.BinaryInSet_Entry_Value[0], "Open");
    const char *alarm[] = {"1", "0", "2", "2", "2", ""};
    const char *email[] = {"0", "0", "0", "0", "1", ""};
    const char *trap[] = {"0", "0", "0", "0", "1", ""};
    const char *id[] = {"1", "2", "0", "0", "-7", "0"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(r.BinaryInSet_Entry_Alarm[i], alarm[i]) << i;
        EXPECT_STREQ(r.BinaryInSet_Entry_EmailSMS[i], email[i]) << i;
        EXPECT_STREQ(r.BinaryInSet_Entry_SNMPTrap[i], trap[i]) << i;
        EXPECT_STREQ(r.BinaryInSet_Entry_ID[i], id[i]) << i;
    }
    EXPECT_EQ(v.count.SenSet, 0);
}

TEST(PostParser, AppendsBehindEntriesOfTheMainParse) {
    values v("45");
    v.count.SenSet = 2;
    std::strcpy(v.rec->SenSet_Entry_Name[0], "Temp");
    std::strcpy(v.rec->SenSet_Entry_Name[1], "Hum");
    v.count.BinaryInSet = 1;
    std::strcpy(v.rec->BinaryInSet_Entry_Name[0], "In1");
    v.run(
        "<Root><Meter><Name>M</Name><Val><Name>a</Name></Val><Val><Name>b</Name></Val></Meter>"
        "<Input><Name>In2</Name></Input></Root>");
    EXPECT_EQ(v.count.SenSet, 4);
    EXPECT_STREQ(v.rec->SenSet_Entry_Name[0], "Temp");
    EXPECT_STREQ(v.rec->SenSet_Entry_Name[1], "Hum");
    EXPECT_STREQ(v.rec->SenSet_Entry_Name[2], "M.a");
    EXPECT_STREQ(v.rec->SenSet_Entry_Name[3], "M.b");
    EXPECT_EQ(v.count.BinaryInSet, 2);
    EXPECT_STREQ(v.rec->BinaryInSet_Entry_Name[1], "In2");
}

TEST(PostParser, OtherModelsAndEmptyInputChangeNothing) {
    for (const char *model : {"56", "", "0", "5", "550", "abc"}) {
        values v(model);
        std::memset(v.rec->SenSet_Entry_Name, 'q', sizeof v.rec->SenSet_Entry_Name[0] - 1);
        auto before = std::make_unique<kyvern_values>(*v.rec);
        v.run(kMeters);
        EXPECT_EQ(std::memcmp(before.get(), v.rec.get(), sizeof *before), 0) << model;
        EXPECT_EQ(v.count.SenSet, 0) << model;
    }
    values v("57");
    qvg_pwr_post_parser(v.rec.get(), &v.count, kMeters, 0);
    qvg_pwr_post_parser(v.rec.get(), &v.count, nullptr, 10);
    qvg_pwr_post_parser(nullptr, &v.count, kMeters, 10);
    qvg_pwr_post_parser(v.rec.get(), nullptr, kMeters, 10);
    EXPECT_EQ(v.count.SenSet, 0);
    // model with leading blanks reads as atoi would
    values blanks(" 55");
    blanks.run(kMeters);
    EXPECT_EQ(blanks.count.SenSet, 3);
}

TEST(PostParser, CallersDocumentIsNotChanged) {
    values v("55");
    std::string doc = kMeters;
    const std::string copy = doc;
    v.run(doc);
    EXPECT_EQ(doc, copy);
    EXPECT_EQ(v.count.SenSet, 3);
}

TEST(PostParser, MalformedDocumentUsesThePartialTree) {
    values v("55");
    v.run(
        "<Root><Meter><Name>L1</Name><Val><Name>U</Name></Val><Val><Name>V</Name></Val>"
        "</Meter><Meter><Name>L2</Name><Val></Oops>");
    EXPECT_EQ(v.count.SenSet, 3);
    EXPECT_STREQ(v.rec->SenSet_Entry_Name[2], "L2.");
}

std::string vals(int n) {
    std::string doc = "<Root><Meter><Name>M</Name>";
    for (int i = 0; i < n; ++i) doc += "<Val id='" + std::to_string(i) + "'/>";
    doc += "</Meter>";
    for (int i = 0; i < n; ++i) doc += "<Input id='" + std::to_string(i) + "'/>";
    return doc + "</Root>";
}

TEST(PostParserBounds, EntriesBeyondCapacityAreNotStored) {
    values v("55");
    v.count.SenSet = 40;
    v.count.BinaryInSet = 63;
    v.run(vals(5));
    EXPECT_EQ(v.count.SenSet, 42);
    EXPECT_STREQ(v.rec->SenSet_Entry_ID[40], "0");
    EXPECT_STREQ(v.rec->SenSet_Entry_ID[41], "1");
    EXPECT_EQ(v.count.BinaryInSet, 64);
    EXPECT_STREQ(v.rec->BinaryInSet_Entry_ID[63], "0");
    // the arrays that follow the sets are untouched
    EXPECT_STREQ(v.rec->SenSet_Entry_Units[0], "");
    EXPECT_STREQ(v.rec->BinaryInSet_Entry_Name[0], "");

    values full("55");
    full.run(vals(200));
    EXPECT_EQ(full.count.SenSet, 42);
    EXPECT_EQ(full.count.BinaryInSet, 64);

    values bad("55");
    bad.count.SenSet = -1;
    bad.count.BinaryInSet = 1000;
    bad.run(vals(3));
    EXPECT_EQ(bad.count.SenSet, -1);
    EXPECT_EQ(bad.count.BinaryInSet, 1000);
}

TEST(PostParserBounds, LongTextsAreCutOrSkipped) {
    values v("55");
    std::string meter(60, 'm');
    std::string euro;
    for (int i = 0; i < 30; ++i) euro += "\xE2\x82\xAC";  // 90 bytes of 3-byte characters
    v.run("<Root><Meter><Name>" + meter +
          "</Name><Val id='99999999999'><Name>x</Name><Units>kilowatthours</Units>"
          "<Value>123456789012345</Value><State>12345</State><Exp>-1</Exp>"
          "<alarm_end>1234567</alarm_end><alarm_start>12345</alarm_start></Val></Meter>"
          "<Meter><Name>" +
          euro +
          "</Name><Val/></Meter>"
          "<Input id='-2147483648'><Name>" +
          meter +
          "</Name><Value>0123456789abcdef</Value>"
          "</Input></Root>");
    ASSERT_EQ(v.count.SenSet, 2);
    const kyvern_values &r = *v.rec;
    // display texts are cut to width - 2 bytes, never inside a character
    EXPECT_EQ(std::string(r.SenSet_Entry_Name[0]), meter.substr(0, 50));
    EXPECT_EQ(std::string(r.SenSet_Entry_Units[0]), "kilowa");
    EXPECT_EQ(std::string(r.SenSet_Entry_Name[1]), euro.substr(0, 48));
    EXPECT_EQ(r.SenSet_Entry_Name[1][49], '\0');
    EXPECT_EQ(r.SenSet_Entry_Name[1][50], '\0');
    // numbers and states that do not fit are not stored: a cut number would be wrong
    EXPECT_STREQ(r.SenSet_Entry_Value[0], "");
    EXPECT_STREQ(r.SenSet_Entry_State[0], "");
    EXPECT_STREQ(r.SenSet_Entry_ID[0], "2147483647");  // saturated, as atol would
    EXPECT_STREQ(r.SenSet_Entry_Min[0], "");           // "123456.7" is longer than 6
    EXPECT_STREQ(r.SenSet_Entry_Max[0], "1234.5");
    EXPECT_STREQ(r.BinaryInSet_Entry_ID[0], "");  // "-2147483648" is 11 characters
    EXPECT_EQ(std::string(r.BinaryInSet_Entry_Name[0]), meter.substr(0, 50));
    EXPECT_STREQ(r.BinaryInSet_Entry_Value[0], "");
}

TEST(PostParserBounds, UnterminatedModelFieldIsReadWithinItsWidth) {
    values v("");
    std::memset(v.rec->Agent_Model, '5', sizeof v.rec->Agent_Model);  // "55555555", no NUL
    v.run(kMeters);
    EXPECT_EQ(v.count.SenSet, 0);
}

}  // namespace
