// The line compaction of an upload text, in-process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tool/actions.h"

namespace {

std::string compact(std::string text) {
    const int kept = compact_lines(text.data());
    EXPECT_EQ(static_cast<size_t>(kept), std::strlen(text.c_str()));
    return text.substr(0, static_cast<size_t>(kept));
}

TEST(CompactLines, DropsEverythingBeforeTheFirstMarkupOfALine) {
    EXPECT_EQ(compact("<Root>\n  <A>1</A>\n\t\t<B>x y</B>\n</Root>\n"),
              "<Root>\n<A>1</A>\n<B>x y</B>\n</Root>\n");
    // Blank lines, lines of blanks and lines of plain text disappear with their line end.
    EXPECT_EQ(compact("<A>\n\n   \nplain text\n<B/>\n"), "<A>\n<B/>\n");
    // Text after the first "<" of a line is kept whole, blanks included.
    EXPECT_EQ(compact("  <A> a  b </A>  \n"), "<A> a  b </A>  \n");
    // A first line without markup is dropped as well.
    EXPECT_EQ(compact("text first\n<A/>"), "<A/>");
}

TEST(CompactLines, KeepsOnlyTheCarriageReturnOfACrLfPair) {
    EXPECT_EQ(compact("<A>\r\n  <B/>\r\n</A>\r\n"), "<A>\r<B/>\r</A>\r");
    EXPECT_EQ(compact("<A>\r\r\n\n<B/>"), "<A>\r<B/>");
    EXPECT_EQ(compact("<A>\n\r<B/>"), "<A>\n<B/>");
}

TEST(CompactLines, StopsAtTheFirstZeroByte) {
    std::string text("<A/>\n  <B/>", 11);
    text += std::string("\0  <C/>", 7);
    const int kept = compact_lines(text.data());
    EXPECT_EQ(std::string(text.c_str()), "<A/>\n<B/>");
    EXPECT_EQ(kept, 9);
}

TEST(CompactLines, EmptyAndMarkupFreeTexts) {
    EXPECT_EQ(compact(""), "");
    EXPECT_EQ(compact("no markup at all\n  still none\n"), "");
}

}  // namespace
