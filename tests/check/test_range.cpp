// Threshold ranges: the syntax's edge cases and which values raise the alert.
#include <gtest/gtest.h>

#include <limits>

#include "check/range.h"

namespace check {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct range_case {
    const char *text;
    // For a valid range: values that alert and values that do not.
    std::vector<double> alert, quiet;
    const char *normalised;  // range_text of the parsed range
};

TEST(Range, ValidRangesAlertExactlyWhereTheyShould) {
    const range_case cases[] = {
        {"10", {-0.001, 10.001, -kInf, kInf}, {0, 5, 10}, "10"},
        {"10:", {9.999, -5, -kInf}, {10, 11, 1e300, kInf}, "10:"},
        {"~:10", {10.5, kInf}, {10, -1e300, -kInf}, "~:10"},
        {"10:20", {9.99, 20.01}, {10, 15, 20}, "10:20"},
        {"@10:20", {10, 15, 20}, {9.99, 20.01}, "@10:20"},
        {"@10", {0, 10, 5}, {-0.1, 10.1}, "@10"},
        {"-10:-5", {-10.1, -4.9, 0}, {-10, -7, -5}, "-10:-5"},
        {"-5:5", {-5.5, 5.5}, {-5, 0, 5}, "-5:5"},
        {"~:-5", {-4.9, 0}, {-5, -6}, "~:-5"},
        {"@~:0", {0, -1, -kInf}, {0.1}, "@~:0"},
        {":10", {-1, 11}, {0, 10}, "10"},  // start omitted before the colon is 0
        {"5:5", {4.99, 5.01}, {5}, "5:5"},
        {"0", {-0.1, 0.1}, {0}, "0"},
        {"~:", {}, {-kInf, 0, kInf}, "~:"},
        {"1e1:2.5e1", {9, 26}, {10, 25}, "10:25"},
        {"+3", {-1, 4}, {0, 3}, "3"},
        {"0.000001:", {0}, {0.000001}, "0.000001:"},
    };
    for (const range_case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string why;
        const std::optional<threshold_range> r = parse_range(c.text, &why);
        ASSERT_TRUE(r.has_value()) << why;
        for (double v : c.alert) EXPECT_TRUE(alerts(*r, v)) << v;
        for (double v : c.quiet) EXPECT_FALSE(alerts(*r, v)) << v;
        EXPECT_EQ(range_text(*r), c.normalised);
        // The normalised text reads back as the same range.
        const std::optional<threshold_range> again = parse_range(range_text(*r));
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->start, r->start);
        EXPECT_EQ(again->end, r->end);
        EXPECT_EQ(again->inside, r->inside);
    }
}

TEST(Range, MalformedRangesAreRefusedWithAReason) {
    const std::pair<const char *, const char *> cases[] = {
        {"", "empty range"},
        {"@", "empty range"},
        {":", "no start and no end"},
        {"@:", "no start and no end"},
        {"20:10", "start is greater than end"},
        {"@5:-5", "start is greater than end"},
        {"10::20", "more than one ':'"},
        {"1:2:3", "more than one ':'"},
        {"a", "end is no number"},
        {"10:x", "end is no number"},
        {"x:10", "start is no number"},
        {"~", "end is no number"},
        {"10:~", "end is no number"},
        {"~~:1", "start is no number"},
        {" 10", "end is no number"},
        {"10 ", "end is no number"},
        {"1 0:20", "start is no number"},
        {"nan", "end is no number"},
        {"inf", "end is no number"},
        {"-inf:0", "start is no number"},
        {"0x10", "end is no number"},
        {"1e999", "end is no number"},
        {"@@1", "end is no number"},
        {"10,5", "end is no number"},
        {"--1", "end is no number"},
    };
    for (const auto &[text, reason] : cases) {
        std::string why;
        EXPECT_FALSE(parse_range(text, &why).has_value()) << "'" << text << "'";
        EXPECT_EQ(why, reason) << "'" << text << "'";
    }
}

TEST(NumberText, NeverScientificAndReadsBackExactly) {
    const std::pair<double, const char *> cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {23.7, "23.7"},
        {-5, "-5"},
        {0.412, "0.412"},
        {1e-7, "0.0000001"},
        {1e20, "100000000000000000000"},
        {5.4e6, "5400000"},
        {230.1, "230.1"},
        {kInf, "U"},
    };
    for (const auto &[value, text] : cases) EXPECT_EQ(number_text(value), text) << value;
    const std::string huge = number_text(1.7e308);
    EXPECT_EQ(huge.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(huge.size(), 309u);
}

}  // namespace
}  // namespace check
