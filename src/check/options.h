// The command line of check_tarvik, in the monitoring plugins' conventions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/range.h"

namespace check {

// A -w/-c range for one sensor: "ID=RANGE" or "NAME=RANGE" (split at the last '=').
struct sensor_range {
    std::string sensor;
    threshold_range range;
    std::string text;  // as given, for messages
};

struct options {
    enum class action { check, help, version } what = action::check;
    std::string host;
    int port = 80;
    double timeout_s = 30;
    std::string user;
    std::string password;              // from -P/--password
    std::string password_file;         // from --password-file (read by the program)
    std::vector<std::string> sensors;  // -s: IDs or names; empty: all
    std::optional<bool> inputs;        // --inputs / --no-inputs; absent: the default
    bool outputs = false;
    std::optional<threshold_range> warning, critical;  // for every checked sensor
    std::vector<sensor_range> warning_for, critical_for;
    int verbosity = 0;

    // Binary inputs are checked when asked, else when no -s selects sensors.
    bool check_inputs() const { return inputs.value_or(sensors.empty()); }
};

// Parses the arguments after the program name. Returns the options, or absent with a
// one-line reason in `*why` (an unknown option, a missing or bad argument, a range that does
// not parse with the offending text, no -H). -h/--help and -V/--version win over everything
// else, including errors elsewhere on the line. Options take their argument as the next word,
// attached ("-p80", "--port=80"), or for long options after '='; short flags bundle ("-vvv").
// Never reads files: --password-file is only recorded.
std::optional<options> parse_command_line(const std::vector<std::string> &args, std::string *why);

// The text of --help.
std::string help_text();

}  // namespace check
