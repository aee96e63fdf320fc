#include "exporter/log.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace exporter {

namespace {

std::atomic<int> current_level{static_cast<int>(log_level::info)};

const char *level_name(log_level level) {
    switch (level) {
        case log_level::debug:
            return "debug";
        case log_level::info:
            return "info";
        case log_level::warn:
            return "warn";
        case log_level::error:
            return "error";
    }
    return "error";
}

// RFC 3339 in UTC with milliseconds.
std::string timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long millis =
        static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return text;
}

}  // namespace

bool parse_log_level(std::string_view text, log_level *out) {
    static const std::pair<std::string_view, log_level> levels[] = {
        {"debug", log_level::debug},
        {"info", log_level::info},
        {"warn", log_level::warn},
        {"error", log_level::error},
    };
    for (const auto &[name, level] : levels) {
        if (text == name) {
            *out = level;
            return true;
        }
    }
    return false;
}

void set_log_level(log_level level) {
    current_level.store(static_cast<int>(level));
}

bool log_enabled(log_level level) {
    return static_cast<int>(level) >= current_level.load();
}

std::string escape_text(std::string_view text, const char *control_format) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < ' ' || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, control_format, c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);  // UTF-8 bytes pass as they are
                }
        }
    }
    return out;
}

std::string logfmt_value(std::string_view value) {
    bool plain = !value.empty();
    for (unsigned char c : value) {
        if (c <= ' ' || c >= 0x7f || c == '"' || c == '=' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) return std::string(value);
    std::string quoted = "\"";
    quoted.append(escape_text(value, "\\x%02x")).append("\"");
    return quoted;
}

void log(log_level level, std::string_view message, std::initializer_list<log_field> fields) {
    if (!log_enabled(level)) return;
    std::string line =
        "ts=" + timestamp() + " level=" + level_name(level) + " msg=" + logfmt_value(message);
    for (const auto &[key, value] : fields) {
        line += ' ';
        line += key;
        line += '=';
        line += logfmt_value(value);
    }
    line += '\n';
    // One write per line; a short write (a full pipe) continues where it stopped.
    const char *data = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0) break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace exporter
