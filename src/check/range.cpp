// Threshold ranges (see range.h).
#include "check/range.h"

#include <charconv>
#include <cmath>

#include "snapshot/snapshot.h"

namespace check {

namespace {

// A number of a range: what snapshot::parse_decimal accepts, minus blanks (parse_decimal
// allows them around the number; a range never holds any).
std::optional<double> range_number(std::string_view text) {
    if (text.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;
    return snapshot::parse_decimal(text);
}

std::optional<threshold_range> refuse(std::string *why, std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
}

}  // namespace

std::optional<threshold_range> parse_range(std::string_view text, std::string *why) {
    threshold_range range;
    std::string_view rest = text;
    if (!rest.empty() && rest.front() == '@') {
        range.inside = true;
        rest.remove_prefix(1);
    }
    if (rest.empty()) return refuse(why, "empty range");
    const size_t colon = rest.find(':');
    std::string_view start_text, end_text;
    if (colon == std::string_view::npos) {
        end_text = rest;
    } else {
        start_text = rest.substr(0, colon);
        end_text = rest.substr(colon + 1);
        if (end_text.find(':') != std::string_view::npos) return refuse(why, "more than one ':'");
        if (start_text.empty() && end_text.empty()) return refuse(why, "no start and no end");
    }

    if (start_text == "~") {
        range.start.reset();
    } else if (start_text.empty()) {
        range.start = 0.0;
    } else if (const std::optional<double> v = range_number(start_text)) {
        range.start = *v;
    } else {
        return refuse(why, "start is no number");
    }

    if (end_text.empty()) {
        range.end.reset();
    } else if (const std::optional<double> v = range_number(end_text)) {
        range.end = *v;
    } else {
        return refuse(why, "end is no number");
    }

    if (range.start && range.end && *range.start > *range.end)
        return refuse(why, "start is greater than end");
    return range;
}

bool alerts(const threshold_range &range, double value) {
    const bool within =
        (!range.start || value >= *range.start) && (!range.end || value <= *range.end);
    return range.inside ? within : !within;
}

std::string number_text(double value) {
    if (value == 0) return "0";  // also -0
    if (!std::isfinite(value)) return "U";
    char buffer[400];  // the longest double in fixed notation is 309 digits and a sign
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (ec != std::errc()) return "U";
    return std::string(buffer, end);
}

std::string range_text(const threshold_range &range) {
    std::string text = range.inside ? "@" : "";
    if (!range.start) {
        text += "~:";
    } else if (*range.start != 0 || !range.end) {
        text += number_text(*range.start) + ":";
    }
    if (range.end) text += number_text(*range.end);
    return text;
}

}  // namespace check
