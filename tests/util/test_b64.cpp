// Base64 codec: RFC 4648 vectors, line breaking, buffer sizes, the decoder's skip and
// reject rules, and the caller-error assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qvxml.h"

namespace {

std::string encode(const std::string &in) {
    std::string out(b64_encode(in.data(), in.size(), nullptr, 0), '\0');
    size_t n = b64_encode(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(n, out.size());
    return out;
}

std::string encode2(const std::string &in, unsigned flags, int line_length, int *rc) {
    size_t need = b64_encode2(in.data(), in.size(), nullptr, 0, flags, line_length, rc);
    EXPECT_EQ(*rc, B64_RC_OK);
    std::string out(need, '\0');
    size_t n = b64_encode2(in.data(), in.size(), out.data(), out.size(), flags, line_length, rc);
    out.resize(n);
    return out;
}

std::string decode(const std::string &in) {
    std::vector<char> out(b64_decode(in.data(), in.size(), nullptr, 0) + 1);
    size_t n = b64_decode(in.data(), in.size(), out.data(), out.size());
    return std::string(out.data(), n);
}

struct decode2_result {
    std::string bytes;
    int rc;
    const char *bad;
};

decode2_result decode2(const std::string &in, unsigned flags) {
    std::vector<char> out(b64_decode(in.data(), in.size(), nullptr, 0) + 1);
    decode2_result r{"", -1, reinterpret_cast<const char *>(1)};
    size_t n = b64_decode2(in.data(), in.size(), out.data(), out.size(), flags, &r.bad, &r.rc);
    r.bytes.assign(out.data(), n);
    return r;
}

const std::pair<const char *, const char *> kRfc4648Vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(B64Encode, Rfc4648Vectors) {
    for (auto [plain, coded] : kRfc4648Vectors) {
        EXPECT_EQ(encode(plain), coded) << plain;
        EXPECT_EQ(decode(coded), plain) << coded;
    }
}

TEST(B64Encode, AllByteValuesAndAlphabetOrder) {
    // 0x00 0x10 0x83 ... walks every 6-bit value once: the output is the alphabet itself.
    std::string in;
    for (int i = 0; i < 64; i += 4) {
        unsigned group = (i << 18) | ((i + 1) << 12) | ((i + 2) << 6) | (i + 3);
        in += static_cast<char>(group >> 16);
        in += static_cast<char>(group >> 8);
        in += static_cast<char>(group);
    }
    EXPECT_EQ(encode(in), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    std::string high("\xff\xfe\x80", 3);
    EXPECT_EQ(encode(high), "//6A");
    EXPECT_EQ(decode("//6A"), high);
}

TEST(B64Encode, DestinationSizeAndNoTerminator) {
    const char in[] = "foob";
    char out[9];
    std::memset(out, '#', sizeof out);
    int rc = -1;
    // One byte too small: nothing written, result code 1.
    EXPECT_EQ(b64_encode2(in, 4, out, 7, B64_F_LINE_LEN_INFINITE, 0, &rc), 0u);
    EXPECT_EQ(rc, B64_RC_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(out, 9), "#########");
    EXPECT_EQ(b64_encode(in, 4, out, 7), 0u);
    EXPECT_EQ(std::string(out, 9), "#########");
    // Exact size: written, not terminated.
    EXPECT_EQ(b64_encode2(in, 4, out, 8, B64_F_LINE_LEN_INFINITE, 0, &rc), 8u);
    EXPECT_EQ(rc, B64_RC_OK);
    EXPECT_EQ(std::string(out, 9), "Zm9vYg==#");
    // A null result-code pointer is replaced by the entry point's own.
    EXPECT_EQ(b64_encode2(in, 4, out, 8, B64_F_LINE_LEN_INFINITE, 0, nullptr), 8u);
}

TEST(B64Encode2, Flag76BreaksAfter76Characters) {
    int rc = -1;
    std::string in57(57, 'x');
    std::string out = encode2(in57, B64_F_LINE_LEN_76, 0, &rc);
    EXPECT_EQ(out.size(), 76u);
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out, encode(in57));

    std::string in58(58, 'x');
    EXPECT_EQ(b64_encode2(in58.data(), 58, nullptr, 0, B64_F_LINE_LEN_76, 0, &rc), 82u);
    out = encode2(in58, B64_F_LINE_LEN_76, 0, &rc);
    ASSERT_EQ(out.size(), 82u);
    std::string flat = encode(in58);
    EXPECT_EQ(out, flat.substr(0, 76) + "\r\n" + flat.substr(76));
}

TEST(B64Encode2, Flag64AndGivenLineLengths) {
    int rc = -1;
    std::string in(100, '\x5a');  // 136 characters
    std::string flat = encode(in);
    ASSERT_EQ(flat.size(), 136u);
    std::string by64 =
        flat.substr(0, 64) + "\r\n" + flat.substr(64, 64) + "\r\n" + flat.substr(128);
    EXPECT_EQ(encode2(in, B64_F_LINE_LEN_64, 0, &rc), by64);
    // Negative given length means 64.
    EXPECT_EQ(encode2(in, B64_F_LINE_LEN_USE_PARAM, -1, &rc), by64);
    // Given length 0 and flag 1: no breaks.
    EXPECT_EQ(encode2(in, B64_F_LINE_LEN_USE_PARAM, 0, &rc), flat);
    EXPECT_EQ(encode2(in, B64_F_LINE_LEN_INFINITE, 4, &rc), flat);
    // Given length 8; the output ends exactly at a line end: no trailing CR LF.
    std::string in6("abcdef");
    EXPECT_EQ(encode2(in6, B64_F_LINE_LEN_USE_PARAM, 8, &rc), "YWJjZGVm");
    EXPECT_EQ(encode2(in6 + "gh", B64_F_LINE_LEN_USE_PARAM, 4, &rc), "YWJj\r\nZGVm\r\nZ2g=");
    // Flags above the low four bits do not change the line length.
    EXPECT_EQ(encode2(in, B64_F_LINE_LEN_64 | 0x300, 0, &rc), by64);
    // An empty source has no lines and no breaks.
    EXPECT_EQ(encode2("", B64_F_LINE_LEN_64, 0, &rc), "");
    EXPECT_EQ(rc, B64_RC_OK);
}

TEST(B64Decode, SkipsWhitespaceAndUnknownCharacters) {
    std::string coded = encode("abc");  // "YWJj"
    std::string blank = coded.substr(0, 2) + " " + coded.substr(2);
    EXPECT_EQ(decode(blank), "abc");
    EXPECT_EQ(decode("YW\r\nJj"), "abc");
    EXPECT_EQ(decode("Y\bW\tJ\vj"), "abc");
    EXPECT_EQ(decode("Y*W-J_j!"), "abc");
    EXPECT_EQ(decode(std::string("YW\0Jj", 5)), "abc");

    decode2_result r = decode2(blank, B64_F_STOP_ON_BAD_CHAR);
    EXPECT_EQ(r.rc, B64_RC_DATA_ERROR);
    EXPECT_EQ(r.bytes, "");
    ASSERT_NE(r.bad, nullptr);
    EXPECT_EQ(*r.bad, ' ');
    // Points into the source itself, at the offending character.
    std::string src = "YWJjZGVm\tZ2g=";
    std::vector<char> out(16);
    const char *bad = nullptr;
    int rc = -1;
    EXPECT_EQ(b64_decode2(src.data(), src.size(), out.data(), out.size(), B64_F_STOP_ON_BAD_CHAR,
                          &bad, &rc),
              0u);
    EXPECT_EQ(rc, B64_RC_DATA_ERROR);
    EXPECT_EQ(bad, src.data() + 8);
}

TEST(B64Decode, RejectFlagsAreSeparate) {
    // Blanks (8, 9, 11, 32) obey 0x200 only, other unknown characters 0x100 only; CR and LF
    // are skipped under both.
    for (char blank : {'\b', '\t', '\v', ' '}) {
        std::string s = std::string("YW") + blank + "Jj";
        EXPECT_EQ(decode2(s, B64_F_STOP_ON_UNKNOWN_CHAR).bytes, "abc");
        decode2_result r = decode2(s, B64_F_STOP_ON_BAD_CHAR);
        EXPECT_EQ(r.rc, B64_RC_DATA_ERROR) << int(blank);
        EXPECT_EQ(*r.bad, blank);
    }
    for (char other : {'*', '\f', '\0', '\x80', '-', '_'}) {
        std::string s = std::string("YW") + other + "Jj";
        EXPECT_EQ(decode2(s, B64_F_STOP_ON_BAD_CHAR).bytes, "abc");
        decode2_result r = decode2(s, B64_F_STOP_ON_UNKNOWN_CHAR);
        EXPECT_EQ(r.rc, B64_RC_DATA_ERROR) << int(other);
        EXPECT_EQ(*r.bad, other);
    }
    decode2_result r = decode2("YW\r\nJj", B64_F_STOP_ON_BAD_CHAR | B64_F_STOP_ON_UNKNOWN_CHAR);
    EXPECT_EQ(r.rc, B64_RC_OK);
    EXPECT_EQ(r.bytes, "abc");
    EXPECT_EQ(r.bad, nullptr);
}

TEST(B64Decode, PaddingEndsDecoding) {
    EXPECT_EQ(decode("Zg==Zm9v"), "f");  // rest after the padded group is ignored
    EXPECT_EQ(decode("Zm8=Zm9v"), "fo");
    EXPECT_EQ(decode("Zm9vZg=="), "foof");
    // Three or four padding characters yield three bytes.
    EXPECT_EQ(decode("Zg==="), "f");  // "Zg==" ends decoding first
    EXPECT_EQ(decode("Z==="), std::string("\x64\0\0", 3));
    EXPECT_EQ(decode("===="), std::string("\0\0\0", 3));
    // An alphabet character after "=" resets the padding count; a group completed by an
    // alphabet character goes on.
    EXPECT_EQ(decode("Z=m9v"), decode("ZAm9"));  // '=' is six zero bits, like 'A'
    EXPECT_EQ(decode("Zm=9Zm9v"), std::string("\x66\x60\x3d", 3) + "foo");
}

TEST(B64Decode, IncompleteFinalGroupYieldsNothing) {
    EXPECT_EQ(decode("Zm9vY"), "foo");
    EXPECT_EQ(decode("Zm9vYm"), "foo");
    EXPECT_EQ(decode("Zm9vYmE"), "foo");
    EXPECT_EQ(decode("Zm"), "");
}

TEST(B64Decode, DestinationCapacity) {
    // Capacity is 3 x ceiling(n / 4), whatever the characters are.
    EXPECT_EQ(b64_decode("Zm9vYg==", 8, nullptr, 0), 6u);
    EXPECT_EQ(b64_decode("Zm9vYg=", 7, nullptr, 0), 6u);
    EXPECT_EQ(b64_decode("Zm9vYg=== ", 10, nullptr, 0), 9u);
    EXPECT_EQ(b64_decode("", 0, nullptr, 0), 0u);
    char out[8];
    std::memset(out, '#', sizeof out);
    const char *bad = nullptr;
    int rc = -1;
    EXPECT_EQ(b64_decode2("Zm9vYg==", 8, out, 5, 0, &bad, &rc), 0u);
    EXPECT_EQ(rc, B64_RC_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(out, 8), "########");
    EXPECT_EQ(b64_decode2("Zm9vYg==", 8, out, 6, 0, nullptr, nullptr), 4u);
    EXPECT_EQ(std::string(out, 8), "foob####");
}

using B64Death = ::testing::Test;

TEST(B64Death, CallerErrorsStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char out[64];
    int rc;
    for (unsigned flag = 4; flag < 16; ++flag)
        EXPECT_DEATH(b64_encode2("abc", 3, out, sizeof out, flag, 0, &rc),
                     "Assertion `!\"Bad line length flag specified to b64_encode2\\(\\)\"' failed")
            << flag;
    EXPECT_DEATH(b64_encode2("abc", 3, out, sizeof out, B64_F_LINE_LEN_USE_PARAM, 6, &rc),
                 "Assertion `0 == \\(lineLen % 4\\)' failed");
    EXPECT_DEATH(b64_encode2("abc", 3, nullptr, 0, B64_F_LINE_LEN_USE_PARAM, 2, &rc),
                 "Assertion `0 == \\(lineLen % 4\\)' failed");
}

}  // namespace
