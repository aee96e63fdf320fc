// Threshold ranges in the monitoring plugins' syntax: [@][start:][end].
//   10      alert below 0 or above 10       10:     alert below 10
//   ~:10    alert above 10                  10:20   alert below 10 or above 20
//   @10:20  alert from 10 to 20 (ends included)
// start omitted (no colon, or nothing before it) is 0; end omitted is +infinity; "~" as
// start is -infinity. The ends belong to the range. At least one end must be written, and
// start may not exceed end.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace check {

struct threshold_range {
    std::optional<double> start;  // absent: -infinity
    std::optional<double> end;    // absent: +infinity
    bool inside = false;          // '@': alert inside the range instead of outside
};

// The range of `text`, or absent with a one-line reason in `*why` (when given). Numbers are
// decimal (sign, fraction and exponent allowed: "-1.5", "2e3"); no blanks anywhere.
std::optional<threshold_range> parse_range(std::string_view text, std::string *why = nullptr);

// True when `value` raises the alert of `range`.
bool alerts(const threshold_range &range, double value);

// The range in the same syntax, numbers without exponent ("10", "~:10", "10:", "@-5:2.5"),
// as performance data carries them.
std::string range_text(const threshold_range &range);

// A number as performance data and status lines carry it: decimal, never in scientific
// notation, the shortest text that reads back as the same double; -0 is "0".
std::string number_text(double value);

}  // namespace check
