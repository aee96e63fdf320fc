// Reading the exporter's answers in tests: the series of an exposition text, promtool.
#pragma once

#include <map>
#include <string>

namespace exporter_test {

// Series (name and labels exactly as written) to value; comment lines skipped. A line that
// is not "series value" is kept under the key "!bad:<line>" so a test sees it.
std::map<std::string, double> parse_exposition(const std::string &text);

// The path of promtool, or "" when the Debian package prometheus is not installed.
std::string promtool_path();

// Runs `promtool check metrics` on `text`; the exit code, and its output in *output.
int promtool_check_metrics(const std::string &text, std::string *output);

}  // namespace exporter_test
