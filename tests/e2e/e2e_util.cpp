// tarvik-specific helpers of the end-to-end tests (see e2e_util.h).
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace e2e {

std::string tarvik_path() {
    return qvtest::built_program("tarvik");
}

run_result run_tarvik(const std::vector<std::string> &args, int limit_s) {
    std::vector<std::string> argv{tarvik_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    qvtest::run_options options;
    options.merge_stderr = true;
    const qvtest::run_result r = qvtest::run(argv, std::chrono::seconds(limit_s), options);
    EXPECT_FALSE(r.timed_out) << "tarvik did not end within " << limit_s << " s";
    run_result result;
    result.exit_code = r.exit_code;
    result.signal = r.signal;
    result.killed = r.timed_out;
    result.out = r.out;
    return result;
}

int shell(const std::string &command, const std::string &log, int limit_s) {
    qvtest::run_options options;
    options.merge_stderr = true;
    const qvtest::run_result r =
        qvtest::run({"/bin/sh", "-c", command}, std::chrono::seconds(limit_s), options);
    EXPECT_FALSE(r.timed_out) << "killed after " << limit_s << " s: " << command;
    EXPECT_TRUE(write_file(log, r.out)) << log;
    return r.exit_code;
}

bool file_exists(const std::string &path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> files_in(const std::string &dir, const std::string &prefix) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(entry.path().string());
    }
    // request-2 before request-10
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

std::string without_progress(const std::string &out) {
    std::string text = out;
    // Each progress line: its fixed words, then (for SET and SEND) one argument; the dots
    // follow directly.
    struct marker {
        const char *words;
        bool argument;
    };
    const marker markers[] = {{" connecting", false},
                              {"GET values.xml", false},
                              {"GET setup.xml", false},
                              {"SET output ", true},
                              {"SEND ", true}};
    for (const marker &m : markers) {
        for (size_t at = text.find(m.words); at != std::string::npos;
             at = text.find(m.words, at + 1)) {
            const size_t start = at + std::strlen(m.words);
            if (m.argument) {
                // The dots end the argument's token: "SET output 151=1." "SEND up.xml.."
                const size_t end = std::min(text.find_first_of(" \n", start), text.size());
                size_t dots = end;
                while (dots > start && text[dots - 1] == '.') --dots;
                text.erase(dots, end - dots);
            } else {
                size_t end = start;
                while (end < text.size() && text[end] == '.') ++end;
                text.erase(start, end - start);
            }
        }
    }
    return text;
}

}  // namespace e2e
