// The exporter's log: one logfmt line per event on standard error
// ("ts=... level=info msg=\"...\" key=value"), the format Prometheus' own exporters write.
// Callers never pass credentials: a module's password or password file contents are not
// a field of anything that is logged.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace exporter {

enum class log_level { debug = 0, info = 1, warn = 2, error = 3 };

// "debug", "info", "warn", "error" -> level; false for any other text.
bool parse_log_level(std::string_view text, log_level *out);

// Lines below `level` are dropped. Safe from any thread.
void set_log_level(log_level level);
bool log_enabled(log_level level);

using log_field = std::pair<std::string_view, std::string_view>;

// Writes one whole line (one write() call, so lines of concurrent threads never mix).
// Values are quoted and escaped when they hold anything but printable ASCII without
// blanks, quotes or '=', so no value can start a line of its own.
void log(log_level level, std::string_view message, std::initializer_list<log_field> fields = {});

// `text` with '"', '\\', newline, carriage return and tab escaped by a backslash and every
// other control byte written with `control_format` (a printf format of one unsigned int,
// at most 7 characters out); other bytes as they are.
std::string escape_text(std::string_view text, const char *control_format);
// The logfmt form of one value (exposed for the tests).
std::string logfmt_value(std::string_view value);

}  // namespace exporter
