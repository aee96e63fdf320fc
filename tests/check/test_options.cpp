// The command line: every option's forms, defaults, and the one-line reasons of bad lines.
#include <gtest/gtest.h>

#include "check/options.h"

namespace check {
namespace {

std::optional<options> parse(const std::vector<std::string> &args, std::string *why = nullptr) {
    std::string ignored;
    return parse_command_line(args, why != nullptr ? why : &ignored);
}

TEST(Options, DefaultsFollowThePluginConventions) {
    const std::optional<options> o = parse({"-H", "192.0.2.10"});
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->what, options::action::check);
    EXPECT_EQ(o->host, "192.0.2.10");
    EXPECT_EQ(o->port, 80);
    EXPECT_EQ(o->timeout_s, 30);
    EXPECT_TRUE(o->check_inputs());
    EXPECT_FALSE(o->outputs);
    EXPECT_FALSE(o->warning || o->critical);
    EXPECT_EQ(o->verbosity, 0);
}

TEST(Options, EveryFormOfEveryOption) {
    const std::optional<options> o = parse({"--hostname=unit.example",
                                            "-p8080",
                                            "--timeout",
                                            "2.5",
                                            "-u",
                                            "admin",
                                            "--password-file",
                                            "/etc/pw",
                                            "-s",
                                            "3",
                                            "--sensor=Rack temp",
                                            "--inputs",
                                            "--outputs",
                                            "-w",
                                            "10:30",
                                            "-c",
                                            "Rack temp=@~:0",
                                            "--critical=3=~:28",
                                            "-vvv",
                                            "-v"});
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->host, "unit.example");
    EXPECT_EQ(o->port, 8080);
    EXPECT_EQ(o->timeout_s, 2.5);
    EXPECT_EQ(o->user, "admin");
    EXPECT_EQ(o->password_file, "/etc/pw");
    EXPECT_EQ(o->sensors, (std::vector<std::string>{"3", "Rack temp"}));
    EXPECT_TRUE(o->check_inputs()) << "--inputs wins over the -s default";
    EXPECT_TRUE(o->outputs);
    ASSERT_TRUE(o->warning.has_value());
    EXPECT_EQ(range_text(*o->warning), "10:30");
    EXPECT_FALSE(o->critical.has_value());
    ASSERT_EQ(o->critical_for.size(), 2u);
    EXPECT_EQ(o->critical_for[0].sensor, "Rack temp");
    EXPECT_EQ(range_text(o->critical_for[0].range), "@~:0");
    EXPECT_EQ(o->critical_for[1].sensor, "3");
    EXPECT_EQ(o->verbosity, 3) << "-v counts up to 3";

    const std::optional<options> named = parse({"-H", "h", "-w", "a=b=5"});
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->warning_for.at(0).sensor, "a=b") << "a name may hold '='";

    const std::optional<options> selected = parse({"-H", "h", "-s", "1"});
    EXPECT_FALSE(selected->check_inputs()) << "-s leaves the inputs out by default";
    const std::optional<options> none = parse({"-H", "h", "--inputs", "--no-inputs"});
    EXPECT_FALSE(none->check_inputs()) << "the last of --inputs/--no-inputs wins";
    const std::optional<options> password = parse({"-H", "h", "-u", "u", "-P", "secret"});
    EXPECT_EQ(password->password, "secret");
}

TEST(Options, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(parse({"-h"})->what, options::action::help);
    EXPECT_EQ(parse({"--bogus", "-w", "x", "--help"})->what, options::action::help);
    EXPECT_EQ(parse({"-V"})->what, options::action::version);
    EXPECT_EQ(parse({"-Hhost", "--version"})->what, options::action::version);
    EXPECT_NE(help_text().find("-t, --timeout SECONDS"), std::string::npos);
}

TEST(Options, BadCommandLinesNameTheirFault) {
    const std::string long_text(100, 'x');
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{}, "no host: give -H/--hostname"},
        {{"-p", "80"}, "no host: give -H/--hostname"},
        {{"-H"}, "-H/--hostname needs an argument"},
        {{"-H", ""}, "empty host name"},
        {{"-H", "h", "extra"}, "unexpected argument 'extra'"},
        {{"-H", "h", "-x"}, "unknown option '-x'"},
        {{"-H", "h", "--hostnam=h"}, "unknown option '--hostnam'"},
        {{"-H", "h", "--"}, "unexpected argument '--'"},
        {{"-H", "h", "-p", "0"}, "port must be 1..65535, not '0'"},
        {{"-H", "h", "-p", "65536"}, "port must be 1..65535, not '65536'"},
        {{"-H", "h", "-p", "80.5"}, "port must be 1..65535, not '80.5'"},
        {{"-H", "h", "-p", "http"}, "port must be 1..65535, not 'http'"},
        {{"-H", "h", "-t", "0"},
         "timeout must be a number of seconds above 0 and up to 86400, not '0'"},
        {{"-H", "h", "-t", "-1"},
         "timeout must be a number of seconds above 0 and up to 86400, not '-1'"},
        {{"-H", "h", "-t", "1e9"},
         "timeout must be a number of seconds above 0 and up to 86400, not '1e9'"},
        {{"-H", "h", "-w", "10::20"}, "invalid warning range '10::20': more than one ':'"},
        {{"-H", "h", "-c", "3=20:10"},
         "invalid critical range '3=20:10': start is greater than end"},
        {{"-H", "h", "-c", "=5"}, "no sensor before '=' in '=5'"},
        {{"-H", "h", "-w", long_text},
         "invalid warning range 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...': end is no number"},
        {{"-H", "h", "--outputs=1"}, "--outputs takes no argument"},
        {{"-H", "h", "-u", long_text}, "user longer than 99 bytes"},
        {{"-H", "h", "-P", "pw"}, "a password needs -u/--user"},
        {{"-H", "h", "-u", "u", "-P", "pw", "--password-file", "f"},
         "give either -P/--password or --password-file, not both"},
        {{"-H", "h", "-s", ""}, "empty sensor ID or name"},
        {{"-H", "h", "-w", "a\nb"}, "invalid warning range 'a?b': end is no number"},
    };
    for (const auto &[args, reason] : cases) {
        std::string why;
        const std::optional<options> o = parse(args, &why);
        EXPECT_FALSE(o.has_value()) << reason;
        EXPECT_EQ(why, reason);
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line";
    }
}

}  // namespace
}  // namespace check
