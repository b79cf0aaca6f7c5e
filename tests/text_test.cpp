#include "text/TextFields.h"

#include <gtest/gtest.h>

using namespace text;

namespace {

TEST(TextTrims, TableOfTexts) {
    const struct {
        std::string in, leading, trailing, both;
        bool blank;
    } rows[] = {
        {"  a b  ", "a b  ", "  a b", "a b", false},
        {"\t a \t", "\t a \t", "\t a \t", "\t a \t", false}, // a tab stops both trims
        {"   ", "", "", "", true},
        {"", "", "", "", true},
        {"\t", "\t", "\t", "\t", false},
        {" \t ", "\t ", " \t", "\t", false},
        {"x", "x", "x", "x", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("[" + r.in + "]");
        EXPECT_EQ(TrimLeadingSpaces(r.in), r.leading);
        EXPECT_EQ(TrimTrailingSpaces(r.in), r.trailing);
        EXPECT_EQ(TrimSpaces(r.in), r.both);
        EXPECT_EQ(IsBlank(r.in), r.blank);
    }
}

TEST(GetField, TableOfLinesAndSelectors) {
    const struct {
        std::string line;
        std::int32_t index;
        std::string fallback, expected;
    } rows[] = {
        {"U1 EXEFILE \"Files\\KestrovaCE.exe\"", 1, "xx", "U1"},
        {"  alpha   beta  gamma ", 2, "d", "beta"},
        {"  alpha   beta  gamma ", 3, "d", "gamma"},
        {"  alpha   beta  gamma ", 4, "d", "d"},
        {"", 1, "d", "d"},
        {"   ", 1, "d", "d"},
        {"a\tb c", 1, "d", "a\tb"}, // the blank, not the earlier tab, ends field 1
        {"a\tb c", 2, "d", "c"},
        {"a\tb", 1, "d", "a"},
        {"a\tb", 2, "d", "b"},
        {"a\t\tb", 2, "d", "d"}, // two tabs enclose an empty field
        {"a\t\tb", 3, "d", "b"},
        {"\tX", 1, "xx", "xx"},
        {"alpha beta gamma", 101, "d", "alpha beta gamma"},
        {"alpha beta gamma", 102, "d", "beta gamma"},
        {"alpha  beta   gamma ", 102, "d", "beta   gamma"},
        {"alpha beta gamma", 103, "d", "gamma"},
        {"alpha beta gamma", 3001, "d", "alp"},
        {"alpha beta gamma", 2102, "d", "be"},       // the width overrides rest-of-line
        {"alpha beta gamma", 8001, "d", "alpha be"}, // the width reaches over separators
        {"ab   cdefg", 3002, "d", "c"}, // the window starts right after the first blank
        {"ab   cdefg", 2, "d", "cdefg"},
        {"a  b", 1002, "d", ""}, // fixed width never gives the default
        {"", 3001, "d", ""},
        {"alpha beta", 1000, "d", "d"}, // field 900 to the end of the line
        {"alpha beta", 100, "d", "d"},  // field 100
        {"alpha beta", 2000, "d", "d"}, // width 2, field 0
        {"alpha beta", 1001, "d", "a"}, // width 1, field 1
        {"alpha beta", 1101, "d", "a"},
        {"alpha beta", 0, "d", "d"},
        {"alpha beta", -5, "d", "d"},
        {"alpha beta", -1001, "d", "d"},
        {"alpha beta", 2147483647, "d", "d"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("[" + r.line + "] " + std::to_string(r.index));
        EXPECT_EQ(GetField(r.line, r.index, r.fallback), r.expected);
    }
}

TEST(GetField, RestOfLineCountsFieldsUpTo900) {
    std::string line;
    for (int i = 1; i <= 901; ++i) {
        line += 'f';
        line += std::to_string(i);
        line += ' ';
    }
    EXPECT_EQ(GetField(line, 1000, "d"), "f900 f901");
    EXPECT_EQ(GetField(line, 100, "d"), "f100");
}

TEST(Unquote, TableOfTexts) {
    const struct {
        std::string in, expected;
    } rows[] = {
        {" \"Files\\KestrovaCE.exe\"", "Files\\KestrovaCE.exe"},
        {"\" padded \"", "padded"},
        {"\"open", "open"},
        {"close\"", "close"},
        {"\"\"", ""},
        {"\"", ""},
        {"   ", ""},
        {"", ""},
        {"\"\"x\"\"", "\"x\""},
        {"a\"b", "a\"b"},
        {"\t\"x\"", "\t\"x"}, // the tab is not trimmed, so the leading quote stays
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("[" + r.in + "]");
        EXPECT_EQ(Unquote(r.in), r.expected);
    }
}

TEST(TextCopy, TakesOneBasedRanges) {
    EXPECT_EQ(Copy("abcdef", 1, 3), "abc");
    EXPECT_EQ(Copy("abcdef", 5, 1000), "ef");
    EXPECT_EQ(Copy("abcdef", 7, 2), "");
    EXPECT_EQ(Copy("abcdef", 0, 2), "");
}

} // namespace
