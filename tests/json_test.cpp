#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/edclean_error.h"
#include "api/edclean_json.h"

namespace {

struct array_case {
    const char *name;
    std::string text;
    const char *message;               // null: parses
    std::vector<std::string> expected; // entries when it parses
};

class ParseStringArray : public ::testing::TestWithParam<array_case> {};

TEST_P(ParseStringArray, GivesEntriesOrExactMessage) {
    const array_case &c = GetParam();
    ed_clear_error();
    ed_strlist list{reinterpret_cast<char **>(0x1), 7, 7}; // poisoned: must be initialised
    const int rc = parse_string_array(c.text.c_str(), &list);
    if (c.message == nullptr) {
        ASSERT_EQ(rc, 0) << ed_error_buffer();
        ASSERT_EQ(list.n, static_cast<int32_t>(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(list.strs[i], c.expected[i]);
        EXPECT_STREQ(ed_error_buffer(), "");
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(ed_error_buffer(), c.message);
        EXPECT_EQ(list.strs, nullptr);
        EXPECT_EQ(list.n, 0);
    }
    ed_strlist_free(&list);
}

const array_case kArrayCases[] = {
    {"empty_array", "[]", nullptr, {}},
    {"duplicates_and_empty", R"(["a","a",""])", nullptr, {"a", "a", ""}},
    {"escaped_nul", R"(["x\u0000y"])", "array elements must not contain NUL", {}},
    {"leading_nul", R"(["a",5,"\u0000y"])", "array elements must be strings", {}},
    {"nul_before_a_number", R"(["\u0000y",5])", "array elements must not contain NUL", {}},
    {"white_space_around", " \t\r\n[ \"a\" ,\n\"b\" ]\n ", nullptr, {"a", "b"}},
    {"escapes_decoded",
     R"(["a\/b\\c\"d\u00e9\ud83d\ude00"])",
     nullptr,
     {"a/b\\c\"d\xc3\xa9\xf0\x9f\x98\x80"}},
    {"raw_utf8", "[\"\xc3\xa9t\xc3\xa9\"]", nullptr, {"\xc3\xa9t\xc3\xa9"}},
    {"empty_text", "", "invalid json array", {}},
    {"white_space_only", " \n\t", "invalid json array", {}},
    {"trailing_comma", R"(["a",])", "invalid json array", {}},
    {"trailing_garbage", R"(["a"] x)", "invalid json array", {}},
    {"trailing_comment", R"(["a"] /* c */)", "invalid json array", {}},
    {"single_quotes", "['a']", "invalid json array", {}},
    {"nan", "[NaN]", "invalid json array", {}},
    {"byte_order_mark", "\xef\xbb\xbf[\"a\"]", "invalid json array", {}},
    {"invalid_utf8", "[\"\xff\"]", "invalid json array", {}},
    {"overlong_utf8", "[\"\xc0\xaf\"]", "invalid json array", {}},
    {"raw_surrogate_utf8", "[\"\xed\xa0\x80\"]", "invalid json array", {}},
    {"lone_high_surrogate", R"(["\ud800"])", "invalid json array", {}},
    {"lone_low_surrogate", R"(["\udc00"])", "invalid json array", {}},
    {"raw_control_character", "[\"a\tb\"]", "invalid json array", {}},
    {"unterminated", R"(["a")", "invalid json array", {}},
    {"invalid_after_non_string", R"([1,)", "invalid json array", {}},
    {"invalid_utf8_in_nested_key", "[{\"\xff\":1}]", "invalid json array", {}},
    {"object", "{}", "expected JSON array", {}},
    {"string", R"("a")", "expected JSON array", {}},
    {"number", "3", "expected JSON array", {}},
    {"null", "null", "expected JSON array", {}},
    {"number_element", R"(["a",1])", "array elements must be strings", {}},
    {"nested_array_element", R"(["a",["b"]])", "array elements must be strings", {}},
    {"object_element", R"([{"a":"b"}])", "array elements must be strings", {}},
    {"huge_integer_element",
     "[123456789012345678901234567890]",
     "array elements must be strings",
     {}},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseStringArray, ::testing::ValuesIn(kArrayCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(ParseStringArrayLimits, NullTextHasItsOwnMessage) {
    ed_strlist list;
    EXPECT_EQ(parse_string_array(nullptr, &list), -1);
    EXPECT_STREQ(ed_error_buffer(), "NULL json array");
}

TEST(ParseStringArrayLimits, MillionOpenBracketsFailWithoutExhaustingTheStack) {
    const std::string deep(1000000, '[');
    ed_strlist list;
    EXPECT_EQ(parse_string_array(deep.c_str(), &list), -1);
    EXPECT_STREQ(ed_error_buffer(), "invalid json array");
}

TEST(ParseStringArrayLimits, DeepButValidNestingIsJustANonString) {
    const std::string deep = "[" + std::string(100000, '[') + std::string(100000, ']') + "]";
    ed_strlist list;
    EXPECT_EQ(parse_string_array(deep.c_str(), &list), -1);
    EXPECT_STREQ(ed_error_buffer(), "array elements must be strings");
}

struct options_case {
    const char *name;
    const char *text;
    int include_hidden;
    int include_zero_byte;
    const char *message; // null: read
};

class ReadScanOptions : public ::testing::TestWithParam<options_case> {};

TEST_P(ReadScanOptions, FollowsTheOptionsTable) {
    const options_case &c = GetParam();
    ed_scan_opts opts{0, 1};
    ed_clear_error();
    const int rc = ed_read_scan_options(c.text, &opts);
    if (c.message != nullptr) {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(ed_error_buffer(), c.message);
        return;
    }
    ASSERT_EQ(rc, 0) << ed_error_buffer();
    EXPECT_EQ(opts.include_hidden, c.include_hidden);
    EXPECT_EQ(opts.include_zero_byte, c.include_zero_byte);
}

const options_case kOptionCases[] = {
    {"spaced_empty_object", "{ }", 0, 1, nullptr},
    {"true", R"({"include_hidden":true})", 1, 1, nullptr},
    {"one", R"({"include_hidden":1})", 1, 1, nullptr},
    {"minus_one", R"({"include_hidden":-1})", 1, 1, nullptr},
    {"seven", R"({"include_hidden":7})", 1, 1, nullptr},
    {"false", R"({"include_hidden":false})", 0, 1, nullptr},
    {"zero", R"({"include_hidden":0})", 0, 1, nullptr},
    {"two_to_the_32", R"({"include_hidden":4294967296})", 0, 1, nullptr},
    {"two_to_the_32_plus_1", R"({"include_hidden":4294967297})", 1, 1, nullptr},
    {"max_unsigned_64", R"({"include_hidden":18446744073709551615})", 1, 1, nullptr},
    {"beyond_64_bits_is_real", R"({"include_hidden":18446744073709551616})", 0, 1, nullptr},
    {"real", R"({"include_hidden":1.0})", 0, 1, nullptr},
    {"real_exponent", R"({"include_hidden":1e0})", 0, 1, nullptr},
    {"string", R"({"include_hidden":"yes"})", 0, 1, nullptr},
    {"null", R"({"include_hidden":null})", 0, 1, nullptr},
    {"array_value", R"({"include_hidden":[1]})", 0, 1, nullptr},
    {"first_duplicate_wins", R"({"include_hidden":true,"include_hidden":false})", 1, 1, nullptr},
    {"first_duplicate_wins_uncounted", R"({"include_hidden":"x","include_hidden":true})", 0, 1,
     nullptr},
    {"names_are_case_sensitive", R"({"Include_Hidden":true})", 0, 1, nullptr},
    {"other_members_ignored", R"({"other":5})", 0, 1, nullptr},
    {"nested_member_ignored", R"({"x":{"include_hidden":true}})", 0, 1, nullptr},
    {"zero_byte_off", R"({"include_zero_byte":false})", 0, 0, nullptr},
    {"both", R"({"include_zero_byte":0,"include_hidden":2})", 1, 0, nullptr},
    {"key_with_nul", R"({"include_hidden\u0000x":true})", 0, 1, nullptr},
    {"array", "[]", 0, 1, "options_json must be object"},
    {"null_root", "null", 0, 1, "options_json must be object"},
    {"number_root", "1", 0, 1, "options_json must be object"},
    {"unclosed", "{", 0, 1, "invalid options_json"},
    {"missing_value", R"({"include_hidden":})", 0, 1, "invalid options_json"},
    {"invalid_utf8_key", "{\"\xff\":1}", 0, 1, "invalid options_json"},
};

INSTANTIATE_TEST_SUITE_P(Table, ReadScanOptions, ::testing::ValuesIn(kOptionCases),
                         [](const auto &test) { return std::string(test.param.name); });

// The two options that narrow what a scan lists.
struct filter_option_case {
    const char *name;
    std::string text;
    size_t patterns;      // 0: no filter at all
    const char *excluded; // a name the filter matches, when there is one
    int64_t min_age_seconds;
    int include_hidden;
};

class ReadFilterOptions : public ::testing::TestWithParam<filter_option_case> {};

TEST_P(ReadFilterOptions, FollowsTheOptionsTable) {
    const filter_option_case &c = GetParam();
    ed_scan_opts opts{0, 1};
    ed_clear_error();
    ASSERT_EQ(ed_read_scan_options(c.text.c_str(), &opts), 0) << ed_error_buffer();
    EXPECT_EQ(opts.min_age_seconds, c.min_age_seconds);
    EXPECT_EQ(opts.include_hidden, c.include_hidden);
    EXPECT_EQ(opts.include_zero_byte, 1);
    if (c.patterns == 0) {
        EXPECT_EQ(opts.exclude, nullptr);
        return;
    }
    ASSERT_NE(opts.exclude, nullptr);
    EXPECT_EQ(opts.exclude->size(), c.patterns);
    EXPECT_TRUE(opts.exclude->matches(c.excluded));
    EXPECT_FALSE(opts.exclude->matches("not-excluded"));
}

constexpr int64_t kMax64 = INT64_MAX;

const filter_option_case kFilterOptionCases[] = {
    {"absent", "{}", 0, nullptr, 0, 0},
    {"one_pattern", R"({"exclude":["node_modules"]})", 1, "node_modules", 0, 0},
    {"two_patterns", R"({"exclude":["*.tmp","AUDIO_TS"]})", 2, "x.tmp", 0, 0},
    {"malformed_pattern_kept", R"({"exclude":["[abc"]})", 1, "[abc", 0, 0},
    {"escaped_text", R"({"exclude":["caf\u00e9"]})", 1, "caf\xc3\xa9", 0, 0},
    {"nul_in_pattern", R"({"exclude":["a\u0000b","c"]})", 2, "c", 0, 0},
    {"empty_array", R"({"exclude":[]})", 0, nullptr, 0, 0},
    {"string", R"({"exclude":"node_modules"})", 0, nullptr, 0, 0},
    {"number_element", R"({"exclude":["a",1]})", 0, nullptr, 0, 0},
    {"null_element", R"({"exclude":["a",null]})", 0, nullptr, 0, 0},
    {"bool_element", R"({"exclude":[true,"a"]})", 0, nullptr, 0, 0},
    {"array_element", R"({"exclude":["a",["b"]]})", 0, nullptr, 0, 0},
    {"object_element", R"({"exclude":["a",{"b":"c"}]})", 0, nullptr, 0, 0},
    {"object", R"({"exclude":{"a":"b"}})", 0, nullptr, 0, 0},
    {"true", R"({"exclude":true})", 0, nullptr, 0, 0},
    {"exclude_first_duplicate_wins", R"({"exclude":["a"],"exclude":["b"]})", 1, "a", 0, 0},
    {"exclude_first_duplicate_uncounted", R"({"exclude":5,"exclude":["b"]})", 0, nullptr, 0, 0},
    {"exclude_nested_member_ignored", R"({"x":{"exclude":["a"]}})", 0, nullptr, 0, 0},
    {"members_after_arrays", R"({"exclude":[["x"]],"min_age_seconds":9,"include_hidden":1})", 0,
     nullptr, 9, 1},
    {"members_after_exclude", R"({"exclude":["a"],"include_hidden":true})", 1, "a", 0, 1},
    {"age", R"({"min_age_seconds":3600})", 0, nullptr, 3600, 0},
    {"age_zero", R"({"min_age_seconds":0})", 0, nullptr, 0, 0},
    {"age_real", R"({"min_age_seconds":3600.0})", 0, nullptr, 0, 0},
    {"age_exponent", R"({"min_age_seconds":36e2})", 0, nullptr, 0, 0},
    {"age_string", R"({"min_age_seconds":"3600"})", 0, nullptr, 0, 0},
    {"age_true", R"({"min_age_seconds":true})", 0, nullptr, 0, 0},
    {"age_null", R"({"min_age_seconds":null})", 0, nullptr, 0, 0},
    {"age_array", R"({"min_age_seconds":[60]})", 0, nullptr, 0, 0},
    {"age_beyond_32_bits", R"({"min_age_seconds":4294967296})", 0, nullptr, 4294967296, 0},
    {"age_max_signed", R"({"min_age_seconds":9223372036854775807})", 0, nullptr, kMax64, 0},
    {"age_max_unsigned_clamped", R"({"min_age_seconds":18446744073709551615})", 0, nullptr, kMax64,
     0},
    {"age_beyond_64_bits_is_real", R"({"min_age_seconds":18446744073709551616})", 0, nullptr, 0, 0},
    {"age_first_duplicate_wins", R"({"min_age_seconds":5,"min_age_seconds":7})", 0, nullptr, 5, 0},
    {"age_first_duplicate_uncounted", R"({"min_age_seconds":"1","min_age_seconds":7})", 0, nullptr,
     0, 0},
    {"age_does_not_set_hidden", R"({"min_age_seconds":1})", 0, nullptr, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, ReadFilterOptions, ::testing::ValuesIn(kFilterOptionCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(ReadFilterOptionsLimits, NegativeAgeFailsTheCallAndLeavesEveryOptionAsItWas) {
    // A negative age cannot be meant: a guard that silently did nothing
    // would let a cleanup job remove what it was told to leave alone.
    for (const char *json :
         {R"({"min_age_seconds":-5})", R"({"min_age_seconds":-9223372036854775808})",
          R"({"exclude":["a"],"min_age_seconds":-1,"min_age_seconds":7})"}) {
        ed_scan_opts opts{0, 1};
        ed_clear_error();
        EXPECT_EQ(ed_read_scan_options(json, &opts), -1) << json;
        EXPECT_STREQ(ed_error_buffer(), "min_age_seconds must not be negative") << json;
        EXPECT_EQ(opts.exclude, nullptr) << json;
        EXPECT_EQ(opts.min_age_seconds, 0) << json;
    }
}

TEST(ReadFilterOptionsLimits, InvalidTextLeavesEveryOptionAsItWas) {
    ed_scan_opts opts{0, 1};
    ed_clear_error();
    EXPECT_EQ(ed_read_scan_options(R"({"exclude":["a"],"min_age_seconds":5,)", &opts), -1);
    EXPECT_STREQ(ed_error_buffer(), "invalid options_json");
    EXPECT_EQ(opts.exclude, nullptr);
    EXPECT_EQ(opts.min_age_seconds, 0);
}

// The two options a host asks for more than the lists with.
struct report_option_case {
    const char *name;
    const char *text;
    int report_left_out;
    int64_t progress_target; // -1: no lines
};

class ReadReportOptions : public ::testing::TestWithParam<report_option_case> {};

TEST_P(ReadReportOptions, FollowsTheOptionsTable) {
    const report_option_case &c = GetParam();
    ed_scan_opts opts{0, 1};
    ed_clear_error();
    ASSERT_EQ(ed_read_scan_options(c.text, &opts), 0) << ed_error_buffer();
    EXPECT_EQ(opts.report_left_out, c.report_left_out);
    EXPECT_EQ(opts.progress_target, c.progress_target);
    EXPECT_EQ(opts.include_hidden, 0);
    EXPECT_EQ(opts.include_zero_byte, 1);
}

const report_option_case kReportOptionCases[] = {
    {"absent", "{}", 0, -1},
    {"report_true", R"({"report_left_out":true})", 1, -1},
    {"report_integer", R"({"report_left_out":7})", 1, -1},
    {"report_false", R"({"report_left_out":false})", 0, -1},
    {"report_two_to_the_32", R"({"report_left_out":4294967296})", 0, -1},
    {"report_string", R"({"report_left_out":"true"})", 0, -1},
    {"report_first_duplicate_wins", R"({"report_left_out":1,"report_left_out":0})", 1, -1},
    {"fd", R"({"progress_fd":3})", 0, 3},
    {"fd_zero", R"({"progress_fd":0})", 0, 0},
    {"fd_large_handle", R"({"progress_fd":4294967300})", 0, 4294967300},
    {"fd_negative", R"({"progress_fd":-1})", 0, -1},
    {"fd_beyond_signed_64", R"({"progress_fd":18446744073709551615})", 0, -1},
    {"fd_real", R"({"progress_fd":3.0})", 0, -1},
    {"fd_bool", R"({"progress_fd":true})", 0, -1},
    {"fd_string", R"({"progress_fd":"3"})", 0, -1},
    {"fd_first_duplicate_wins", R"({"progress_fd":"x","progress_fd":4})", 0, -1},
    {"both", R"({"progress_fd":5,"report_left_out":true,"Progress_Fd":6})", 1, 5},
};

INSTANTIATE_TEST_SUITE_P(Table, ReadReportOptions, ::testing::ValuesIn(kReportOptionCases),
                         [](const auto &test) { return std::string(test.param.name); });

TEST(WriteScanResult, IsMinifiedInKeyOrderEscapingOnlyWhereRequired) {
    ed_strlist_guard dirs;
    ed_strlist_guard files;
    ASSERT_EQ(ed_strlist_push(dirs.get(), "D:/a \"q\" \\ /\xc3\xa9"), 0);
    ASSERT_EQ(ed_strlist_push(files.get(), "D:/new\nline\x01\x7f"), 0);
    char *text = ed_write_scan_result(dirs.get(), files.get(), -3);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "{\"empty_dirs\":[\"D:/a \\\"q\\\" \\\\ /\xc3\xa9\"],"
                       "\"zero_files\":[\"D:/new\\nline\\u0001\x7f\"],\"scanned_dirs\":-3}");
    std::free(text);
}

TEST(WriteScanResult, EmptyListsAreEmptyArrays) {
    ed_strlist_guard dirs;
    ed_strlist_guard files;
    char *text = ed_write_scan_result(dirs.get(), files.get(), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, R"({"empty_dirs":[],"zero_files":[],"scanned_dirs":0})");
    std::free(text);
}

TEST(WriteScanResult, LeftOutFollowsTheCountWhenAskedFor) {
    ed_strlist_guard dirs;
    ed_strlist_guard files;
    ed_left_out left_out;
    left_out.counts = {1, 2, 3, 4, 6};
    for (const char *path : {"/r/a", "/r/b\n", "/r/a", "/r/c", "/r/d", "/r/e", "/r/f"})
        left_out.keep_unreadable_path(path);
    char *text = ed_write_scan_result(dirs.get(), files.get(), 9, &left_out);
    ASSERT_NE(text, nullptr);
    // Each path once, the first ED_LEFT_OUT_PATHS in the order met.
    EXPECT_STREQ(text, "{\"empty_dirs\":[],\"zero_files\":[],\"scanned_dirs\":9,\"left_out\":{"
                       "\"hidden\":1,\"excluded\":2,\"young\":3,\"invalid_names\":4,"
                       "\"unreadable_dirs\":6,\"unreadable_paths\":[\"/r/a\",\"/r/b\\n\","
                       "\"/r/c\",\"/r/d\",\"/r/e\"]}}");
    std::free(text);
}

} // namespace
