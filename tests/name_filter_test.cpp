#include <gtest/gtest.h>

#include <string>

#include "scan/ed_name_filter.h"

namespace {

struct match_case {
    const char *pattern;
    const char *name;
    bool matches;
};

class NameFilterMatch : public ::testing::TestWithParam<match_case> {};

TEST_P(NameFilterMatch, FollowsTheTable) {
    const match_case &c = GetParam();
    ed_name_filter filter;
    filter.add(c.pattern);
    EXPECT_EQ(filter.matches(c.name), c.matches)
        << "pattern \"" << c.pattern << "\", name \"" << c.name << "\"";
}

const match_case kMatchCases[] = {
    // Plain text: the whole name, byte for byte, case and all.
    {"node_modules", "node_modules", true},
    {"node_modules", "node_module", false},
    {"node_modules", "node_modules2", false},
    {"node_modules", "Node_modules", false},
    {"AUDIO_TS", "AUDIO_TS", true},
    {"", "a", false},
    {"a/b", "a/b", true}, // names never hold '/', so such a pattern never matches one
    // '*': any run of bytes, none included; a leading '.' is a byte like any other.
    {"*", "anything", true},
    {"*", ".git", true},
    {"*.log", "a.log", true},
    {"*.log", ".log", true},
    {"*.log", "a.log.1", false},
    {"a*", "a", true},
    {"*a", "a", true},
    {"*a*", "bab", true},
    {"*a*", "bbb", false},
    {"a**b", "ab", true},
    {"a*b*c", "aXbYc", true},
    {"a*b*c", "aXbYcZ", false},
    {"*a*a*b", "aab", true},
    {"*a*a*b", "ab", false},
    {"*ab", "aab", true},
    {"*aab", "aaab", true},
    // '?': one byte; a character of two UTF-8 bytes needs two.
    {"a?c", "abc", true},
    {"a?c", "ac", false},
    {"a?c", "abbc", false},
    {"?", "\xc3\xa9", false},
    {"??", "\xc3\xa9", true},
    {"caf\xc3\xa9", "caf\xc3\xa9", true},
    {"caf?", "caf\xc3\xa9", false},
    {"caf??", "caf\xc3\xa9", true},
    // Sets.
    {"[abc]x", "bx", true},
    {"[abc]x", "dx", false},
    {"[a-c]", "b", true},
    {"[a-c]", "d", false},
    {"[a-cx-z]", "y", true},
    {"[!a-c]", "d", true},
    {"[!a-c]", "a", false},
    {"[^a-c]", "d", true},
    {"[^a-c]", "c", false},
    {"[]]", "]", true},
    {"[]a]", "a", true},
    {"[!]]", "a", true},
    {"[!]]", "]", false},
    {"[a-]", "-", true},
    {"[-a]", "-", true},
    {"[a-]", "b", false},
    {"[*]", "*", true},
    {"[*]", "a", false},
    {"[?]", "?", true},
    {"[?]", "a", false},
    {"[[]", "[", true},
    {"[a-a]", "a", true},
    {"[\x80-\xff]?", "\xc3\xa9", true},
    {"[!\x80-\xff]", "\xc3", false},
    {"[0-9][0-9]*.bak", "42-old.bak", true},
    {"[0-9][0-9]*.bak", "4-old.bak", false},
    // No escape character: a backslash is a byte of its own.
    {"\\*", "\\x", true},
    {"\\*", "*", false},
    // Not well formed: only the pattern's own text matches.
    {"[abc", "[abc", true},
    {"[abc", "a", false},
    {"[", "[", true},
    {"[", "a", false},
    {"[]", "[]", true},
    {"[!]", "[!]", true},
    {"[!]", "a", false},
    {"*[", "*[", true},
    {"*[", "x[", false},
    {"a[b-", "a[b-", true},
    {"[z-a]", "[z-a]", true},
    {"[z-a]", "m", false},
    {"[z-a]*", "[z-a]*", true},
    {"[z-a]*", "[z-a]x", false},
    {"?[", "?[", true},
    {"?[", "x[", false},
};

INSTANTIATE_TEST_SUITE_P(Table, NameFilterMatch, ::testing::ValuesIn(kMatchCases));

TEST(NameFilter, AnyPatternOfTheSetMatches) {
    ed_name_filter filter;
    EXPECT_TRUE(filter.empty());
    EXPECT_FALSE(filter.matches("x"));
    filter.add("node_modules");
    filter.add("*.tmp");
    filter.add("[");
    EXPECT_EQ(filter.size(), 3u);
    EXPECT_FALSE(filter.empty());
    EXPECT_TRUE(filter.matches("node_modules"));
    EXPECT_TRUE(filter.matches("x.tmp"));
    EXPECT_TRUE(filter.matches("["));
    EXPECT_FALSE(filter.matches("x.tm"));
    EXPECT_FALSE(ed_name_excluded(nullptr, "node_modules"));
    EXPECT_TRUE(ed_name_excluded(&filter, "node_modules"));
}

TEST(NameFilter, PatternsAfterAMalformedOneKeepTheirOwnSets) {
    ed_name_filter filter;
    filter.add("[a-c]1");
    filter.add("[x-y");
    filter.add("[x-z]2");
    EXPECT_TRUE(filter.matches("b1"));
    EXPECT_FALSE(filter.matches("x1"));
    EXPECT_TRUE(filter.matches("y2"));
    EXPECT_FALSE(filter.matches("b2"));
    EXPECT_TRUE(filter.matches("[x-y"));
}

TEST(NameFilter, PathologicalPatternsStayQuadraticAtWorst) {
    // With backtracking to every earlier star these would take far longer
    // than the test run: 2^20 ways to place twenty stars in each attempt.
    const std::string name(511, 'a');
    ed_name_filter filter;
    std::string stars;
    for (int i = 0; i < 20; ++i)
        stars += "*a";
    filter.add(stars + "b");
    std::string long_pattern;
    for (int i = 0; i < 5000; ++i)
        long_pattern += "*?";
    filter.add(long_pattern + "[b]");
    filter.add(std::string(600, '?'));
    filter.add(std::string("*").append(300, 'a').append("b"));
    EXPECT_FALSE(filter.matches(name));
    EXPECT_TRUE(filter.matches(name + "b"));
    EXPECT_TRUE(filter.matches(std::string(600, 'x')));
}

} // namespace
