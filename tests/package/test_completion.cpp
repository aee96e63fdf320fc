// The bash completions (packaging/completion/), sourced into bash and asked as bash asks
// them: every option a program's --help lists is offered after "-", and nothing else; an
// option that takes a file completes file names, other option values complete nothing.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace std::chrono_literals;

struct program_case {
    std::string name;     // the command the completion is registered for
    std::string program;  // the built program
};

std::vector<program_case> programs() {
    return {
#ifdef QV_HAVE_TARVIK
        {"tarvik", QV_TARVIK_PROGRAM},
#endif
#ifdef QV_HAVE_TARVIK_EXPORTER
        {"tarvik_exporter", QV_TARVIK_EXPORTER_PROGRAM},
#endif
#ifdef QV_HAVE_CHECK_TARVIK
        {"check_tarvik", QV_CHECK_TARVIK_PROGRAM},
#endif
    };
}

std::string completion_file(const std::string &name) {
    return qvtest::source_dir() + "/packaging/completion/" + name;
}

// What the completion of `name` offers for the command line `words` (the last one is the
// word being completed), sorted. Words are given as bash splits them ("--a=b" is "--a", "=",
// "b").
std::set<std::string> complete(const std::string &name, const std::vector<std::string> &words) {
    static const char *driver = R"(
source "$1" || exit 3
shift
binding=$(complete -p "$1") || exit 4
fn=${binding#*-F }
fn=${fn%% *}
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
"$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
for reply in "${COMPREPLY[@]}"; do printf '%s\n' "$reply"; done
)";
    std::vector<std::string> argv = {"/bin/bash",           "-c", driver, "bash",
                                     completion_file(name), name};
    argv.insert(argv.end(), words.begin(), words.end());
    const qvtest::run_result r = qvtest::run(argv, 20s);
    EXPECT_EQ(r.exit_code, 0) << name << ": " << r.err;
    EXPECT_EQ(r.err, "") << name;
    std::set<std::string> offered;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) offered.insert(line);
    return offered;
}

// The options a --help text lists: the "-x" and "--name" words at the start of the lines
// that begin with a dash (before the two blanks of the description), without "=VALUE", ","
// or "[...]".
std::set<std::string> help_options(const std::string &help) {
    std::set<std::string> options;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || line[start] != '-') continue;
        const size_t end = line.find("  ", start);
        std::istringstream words(line.substr(start, end == std::string::npos ? end : end - start));
        for (std::string word; words >> word;) {
            word = word.substr(0, word.find_first_of(",=["));
            // An option's name; prose that starts with a dash ("-w/-c ranges ...") is not.
            static const std::regex name("--?[A-Za-z0-9][-A-Za-z0-9.]*");
            if (std::regex_match(word, name)) options.insert(word);
        }
    }
    return options;
}

TEST(Completion, OffersExactlyTheOptionsOfTheHelp) {
    ASSERT_FALSE(programs().empty());
    for (const program_case &p : programs()) {
        SCOPED_TRACE(p.name);
        const qvtest::run_result help = qvtest::run({p.program, "--help"}, 20s);
        const std::set<std::string> listed = help_options(help.out);
        ASSERT_GE(listed.size(), 4u) << help.out;
        EXPECT_EQ(complete(p.name, {"-"}), listed);
        // A word that is no option's start is offered nothing.
        EXPECT_EQ(complete(p.name, {"--no-such-option"}), std::set<std::string>{});
    }
}

TEST(Completion, CompletesFilesForFileOptionsAndNothingForOtherValues) {
    qvtest::temp_dir dir;
    ASSERT_TRUE(qvtest::write_file(dir.file("values.xml"), ""));
    ASSERT_TRUE(qvtest::write_file(dir.file("other.txt"), ""));
    const std::string file = dir.file("values.xml");
    const std::string start = dir.file("va");
    struct row {
        std::string name;
        std::vector<std::string> words;
        std::set<std::string> offered;
    };
    const std::vector<row> rows = {
        {"tarvik", {"--va"}, {"--values"}},
        {"tarvik", {"-v", start}, {file}},
        {"tarvik", {"--setup", start}, {file}},
        {"tarvik", {"-t", start}, {file}},
        {"tarvik", {"-f", start}, {file}},
        {"tarvik", {"-o", ""}, {}},
        {"tarvik", {"-u", ""}, {}},
        {"tarvik", {"-g", "127.0.0.1", ""}, {}},
        {"tarvik_exporter", {"--config.f"}, {"--config.file"}},
        {"tarvik_exporter", {"--config.file", "=", start}, {file}},
        {"tarvik_exporter", {"--config.file", start}, {file}},
        {"tarvik_exporter", {"--log.level", "=", "w"}, {"warn"}},
        {"tarvik_exporter", {"--web.listen-address", "=", ""}, {}},
        {"check_tarvik", {"--no"}, {"--no-inputs"}},
        {"check_tarvik", {"--password-file", start}, {file}},
        {"check_tarvik", {"--password-file", "=", start}, {file}},
        {"check_tarvik", {"-w", ""}, {}},
        {"check_tarvik", {"--sensor", "=", ""}, {}},
        {"check_tarvik", {"-H", "192.0.2.10", "-t", ""}, {}},
    };
    for (const row &r : rows) {
        bool built = false;
        for (const program_case &p : programs()) built = built || p.name == r.name;
        if (!built) continue;
        SCOPED_TRACE(r.name + " " + ::testing::PrintToString(r.words));
        EXPECT_EQ(complete(r.name, r.words), r.offered);
    }
}

}  // namespace
