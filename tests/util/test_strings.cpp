// String helpers: field splitting, tokens, base names, hexadecimal numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qvxml.h"

namespace {

std::vector<std::string> strsep_all(std::string text, const char *delimiters) {
    std::vector<std::string> fields;
    char *cursor = text.data();
    while (char *field = qv_strsep(&cursor, delimiters)) fields.emplace_back(field);
    EXPECT_EQ(cursor, nullptr);
    return fields;
}

std::vector<std::string> strtok_all(std::string text, const char *delimiters) {
    std::vector<std::string> tokens;
    char *cursor = nullptr;
    for (char *t = qv_strtok_r(text.data(), delimiters, &cursor); t != nullptr;
         t = qv_strtok_r(nullptr, delimiters, &cursor))
        tokens.emplace_back(t);
    return tokens;
}

using Strings = std::vector<std::string>;

TEST(QvStrsep, SplitsFieldsInPlace) {
    EXPECT_EQ(strsep_all("192.168.0.41", "."), (Strings{"192", "168", "0", "41"}));
    EXPECT_EQ(strsep_all("1..2.3", "."), (Strings{"1", "", "2", "3"}));
    EXPECT_EQ(strsep_all(".a.", "."), (Strings{"", "a", ""}));
    EXPECT_EQ(strsep_all("", "."), (Strings{""}));
    EXPECT_EQ(strsep_all("a,b;c", ",;"), (Strings{"a", "b", "c"}));
    EXPECT_EQ(strsep_all("abc", ""), (Strings{"abc"}));

    char text[] = "ab.cd";
    char *cursor = text;
    EXPECT_EQ(qv_strsep(&cursor, "."), text);
    EXPECT_EQ(cursor, text + 3);
    EXPECT_STREQ(text, "ab");  // the delimiter became NUL
    char *null_cursor = nullptr;
    EXPECT_EQ(qv_strsep(&null_cursor, "."), nullptr);
}

TEST(QvStrtokR, ReturnsNonEmptyTokens) {
    EXPECT_EQ(strtok_all("  a  bb c ", " "), (Strings{"a", "bb", "c"}));
    EXPECT_EQ(strtok_all("a,;b", ",;"), (Strings{"a", "b"}));
    EXPECT_EQ(strtok_all(",,,", ","), Strings{});
    EXPECT_EQ(strtok_all("", ","), Strings{});
    EXPECT_EQ(strtok_all("one", ","), (Strings{"one"}));

    char text[] = "x y";
    char *cursor = reinterpret_cast<char *>(1);
    EXPECT_STREQ(qv_strtok_r(text, " ", &cursor), "x");
    EXPECT_STREQ(qv_strtok_r(nullptr, " ", &cursor), "y");
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(qv_strtok_r(nullptr, " ", &cursor), nullptr);
}

std::string basename_of(const char *path) {
    std::string copy(path);
    return qv_basename(copy.data());
}

TEST(QvBasename, LastComponent) {
    EXPECT_EQ(basename_of("c:\\data\\bin\\tarvik.exe"), "tarvik.exe");
    EXPECT_EQ(basename_of("/usr/local/bin/tarvik"), "tarvik");
    EXPECT_EQ(basename_of("tarvik/"), "tarvik");
    EXPECT_EQ(basename_of("tarvik\\"), "tarvik");
    EXPECT_EQ(basename_of("a/b//"), "");  // one trailing separator only
    EXPECT_EQ(basename_of("/"), "/");
    EXPECT_EQ(basename_of("x"), "x");
    EXPECT_EQ(basename_of(""), "");
    EXPECT_EQ(basename_of("tarvik"), "tarvik");
    // Backslashes take precedence over slashes.
    EXPECT_EQ(basename_of("c:\\dir\\sub/name"), "sub/name");
    EXPECT_EQ(basename_of("a/b\\c/d"), "c/d");

    char path[] = "/opt/tarvik/";
    char *name = qv_basename(path);
    EXPECT_EQ(name, path + 5);
    EXPECT_STREQ(path, "/opt/tarvik");  // the trailing slash was overwritten in place
}

TEST(QvHtoi, HexDigitsOnly) {
    EXPECT_EQ(qv_htoi("ff"), 255u);
    EXPECT_EQ(qv_htoi("FF"), 255u);
    EXPECT_EQ(qv_htoi("0x1F"), 31u);  // the x is skipped
    EXPECT_EQ(qv_htoi(""), 0u);
    EXPECT_EQ(qv_htoi("ghij-+ "), 0u);
    EXPECT_EQ(qv_htoi("1 2:3"), 0x123u);
    EXPECT_EQ(qv_htoi("0123456789abcdef"), 0x89abcdefu);  // wraps in 32 bits
    EXPECT_EQ(qv_htoi("DEADbeef"), 0xdeadbeefu);
    EXPECT_EQ(qv_htoi("100000000"), 0u);
}

}  // namespace
