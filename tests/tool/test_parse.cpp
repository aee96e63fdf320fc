// The parse stage in-process: what it stores in user_settings. Nothing here starts the
// library or contacts an address.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tool/tool.h"

namespace {

// Runs the parse stage on "tarvik" + args with a mutable argument vector; returns its
// result and, through `printed`, its standard output.
int parse(const std::vector<std::string> &args, std::string *printed = nullptr) {
    std::vector<std::string> storage{"/usr/bin/tarvik"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    int result = parse_command_line(static_cast<int>(storage.size()), argv.data());
    std::string out = ::testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    return result;
}

// Accepted command lines print nothing in the parse stage.
void expect_accepted(const std::vector<std::string> &args) {
    std::string out;
    EXPECT_EQ(parse(args, &out), 1);
    EXPECT_EQ(out, "");
}

TEST(ParseStage, DefaultsAndGetRule) {
    expect_accepted({"192.168.0.41"});
    EXPECT_STREQ(user_settings.ip, "192.168.0.41");
    EXPECT_EQ(user_settings.port, 80);
    EXPECT_EQ(user_settings.get, 1);  // the address alone means -g
    EXPECT_EQ(user_settings.output, -1);
    EXPECT_EQ(user_settings.output_value, -1);
    EXPECT_STREQ(user_settings.filename, "");
    EXPECT_STREQ(user_settings.values_file, "");
    EXPECT_EQ(connect_state, 0);

    expect_accepted({"192.168.0.41", "8080"});
    EXPECT_EQ(user_settings.port, 8080);
    EXPECT_EQ(user_settings.get, 1);

    expect_accepted({"192.168.0.41", "-g"});
    EXPECT_EQ(user_settings.port, 80);
    EXPECT_EQ(user_settings.get, 1);

    expect_accepted({"-v", "v.xml", "192.168.0.41"});
    EXPECT_EQ(user_settings.get, 0);
    EXPECT_STREQ(user_settings.values_file, "v.xml");

    expect_accepted({"-o", "1=ON", "192.168.0.41"});
    EXPECT_EQ(user_settings.get, 0);

    // Every run starts from the initial values.
    expect_accepted({"-v", "v.xml", "-g", "192.168.0.41", "81"});
    expect_accepted({"-s", "s.xml", "192.168.0.41"});
    EXPECT_STREQ(user_settings.values_file, "");
    EXPECT_EQ(user_settings.port, 80);
    EXPECT_EQ(user_settings.get, 0);
}

TEST(ParseStage, EveryOptionFillsItsField) {
    expect_accepted({"-f", "up.xml", "-v", "v.xml", "-s", "s.xml", "-t", "r.txt", "-u", "me", "-p",
                     "secret", "-o", "3=off", "10.0.0.9", "1234"});
    EXPECT_STREQ(user_settings.filename, "up.xml");
    EXPECT_STREQ(user_settings.values_file, "v.xml");
    EXPECT_STREQ(user_settings.setup_file, "s.xml");
    EXPECT_STREQ(user_settings.text_file, "r.txt");
    EXPECT_STREQ(user_settings.user, "me");
    EXPECT_STREQ(user_settings.password, "secret");
    EXPECT_EQ(user_settings.output, 153);
    EXPECT_EQ(user_settings.output_value, 0);
    EXPECT_STREQ(user_settings.ip, "10.0.0.9");
    EXPECT_EQ(user_settings.port, 1234);
    EXPECT_EQ(user_settings.get, 0);

    expect_accepted({"--filename", "a", "--values", "b", "--setup", "c", "--user", "d",
                     "--password", "e", "--output", "214=ON", "--get", "10.0.0.9"});
    EXPECT_STREQ(user_settings.filename, "a");
    EXPECT_STREQ(user_settings.values_file, "b");
    EXPECT_STREQ(user_settings.setup_file, "c");
    EXPECT_STREQ(user_settings.user, "d");
    EXPECT_STREQ(user_settings.password, "e");
    EXPECT_EQ(user_settings.output, 214);
    EXPECT_EQ(user_settings.output_value, 1);
    EXPECT_EQ(user_settings.get, 1);

    // A later occurrence of an option replaces the earlier one.
    expect_accepted({"-v", "first.xml", "-v", "second.xml", "10.0.0.9"});
    EXPECT_STREQ(user_settings.values_file, "second.xml");
}

TEST(ParseStage, OutputNumbering) {
    struct output_case {
        const char *arg;
        int output;
        int value;
    };
    for (output_case c :
         {output_case{"1=ON", 151, 1}, output_case{"64=on", 214, 1}, output_case{"151=1", 151, 1},
          output_case{"214=OFF", 214, 0}, output_case{"149=off", 299, 0},
          output_case{"150=0", 150, 0}, output_case{"0=1", 150, 1}, output_case{"x=1", 150, 1},
          output_case{" 7abc=1", 157, 1}, output_case{"-5=1", 145, 1},
          output_case{"1=ON=1", -1, -1},  // Y is everything after the first "="
          output_case{"99999999999=1", INT_MAX, 1},
          output_case{"-99999999999=1", INT_MIN + 150, 1}}) {
        std::string out;
        int result = parse({"-o", c.arg, "10.0.0.9"}, &out);
        if (c.output == -1) {
            EXPECT_EQ(result, 0) << c.arg;
            EXPECT_NE(out.find("\nBad argument for option --output"), std::string::npos);
            continue;
        }
        EXPECT_EQ(result, 1) << c.arg;
        EXPECT_EQ(user_settings.output, c.output) << c.arg;
        EXPECT_EQ(user_settings.output_value, c.value) << c.arg;
    }
}

TEST(ParseStage, AddressForms) {
    // 15 characters is the limit: "192.168.0000.41" has 15 as well and passes.
    for (const char *address : {"1..2.3", "999.1.1.1", "192.168.000.041", "192.168.0000.41", "...",
                                "1.2.3.4.x", "1.2.3.4.5.6"}) {
        expect_accepted({address, "80"});
        EXPECT_STREQ(user_settings.ip, address);  // kept as typed
    }
    expect_accepted({"10.0.0.1", "http"});
    EXPECT_EQ(user_settings.port, 0);
    expect_accepted({"10.0.0.1", "-1"});
    EXPECT_EQ(user_settings.port, -1);  // unchecked here
    expect_accepted({"10.0.0.1", "99999999999"});
    EXPECT_EQ(user_settings.port, INT_MAX);
    std::string out;
    EXPECT_EQ(parse({"192.168.0000.041"}, &out), 0);
    EXPECT_NE(out.find("\nBad IP_ADDRESS"), std::string::npos);
}

TEST(CopyIp, CopiesBeforeCheckingAndLeavesSourceIntact) {
    char dst[16];
    std::strcpy(dst, "old");
    char src[] = "1.2.x.4";
    EXPECT_EQ(copy_ip(dst, src), -1);
    EXPECT_STREQ(dst, "1.2.x.4");
    EXPECT_STREQ(src, "1.2.x.4");

    std::strcpy(dst, "old");
    EXPECT_EQ(copy_ip(dst, "1234567890123456"), -1);  // too long: not copied
    EXPECT_STREQ(dst, "old");
    EXPECT_EQ(copy_ip(dst, "123.567.901.345"), 0);
    EXPECT_STREQ(dst, "123.567.901.345");
    EXPECT_EQ(copy_ip(dst, "1.2.3"), -1);
    EXPECT_EQ(copy_ip(dst, ""), -1);
    EXPECT_EQ(copy_ip(dst, "1.2.3.+4"), -1);
    EXPECT_EQ(copy_ip(dst, "1.2.3. 4"), -1);
}

TEST(CopyStr, LimitIsInclusive) {
    char dst[8];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(copy_str(dst, "1234567", 7, "NAME"), 0);
    EXPECT_STREQ(dst, "1234567");
    EXPECT_EQ(copy_str(dst, "12345678", 7, "NAME"), -1);
    EXPECT_STREQ(dst, "1234567");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "maximal length of NAME is 7 chars\n");
}

}  // namespace
