// The frame every export shares: the per-thread message, null arguments and
// the array parser's messages as a host sees them.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "edclean.h"
#include "test_support.h"

namespace {

std::string last_error() { return edclean_last_error(); }

TEST(Frame, LastErrorIsNeverNullOnAFreshThread) {
    std::thread([] {
        const char *message = edclean_last_error();
        ASSERT_NE(message, nullptr);
        EXPECT_STREQ(message, "");
    }).join();
}

TEST(Frame, NullArgumentsHaveTheirOwnMessages) {
    EXPECT_EQ(edclean_scan(nullptr, R"({"include_hidden":true})"), nullptr);
    EXPECT_EQ(last_error(), "NULL dirs_json");
    EXPECT_EQ(edclean_delete_dirs(nullptr), -1);
    EXPECT_EQ(last_error(), "NULL dirs_json");
    EXPECT_EQ(edclean_delete_files(nullptr), -1);
    EXPECT_EQ(last_error(), "NULL files_json");
    EXPECT_EQ(last_error(), "NULL files_json") << "reading the message must not change it";
    edclean_free_string(nullptr);
    EXPECT_EQ(last_error(), "NULL files_json") << "freeing must not change the message";
}

TEST(Frame, MessagesStayOnTheirOwnThread) {
    EXPECT_EQ(edclean_delete_files(nullptr), -1);
    std::string seen_elsewhere = "unset";
    std::thread([&] {
        seen_elsewhere = edclean_last_error();
        EXPECT_EQ(edclean_delete_dirs("{}"), -1);
        EXPECT_STREQ(edclean_last_error(), "expected JSON array");
    }).join();
    EXPECT_EQ(seen_elsewhere, "");
    EXPECT_EQ(last_error(), "NULL files_json");
}

TEST(Frame, ManyThreadsNeverSeeEachOthersMessages) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 200; ++i) {
                const bool files = (t + i) % 2 == 0;
                if (files)
                    edclean_delete_files(nullptr);
                else
                    edclean_delete_dirs(nullptr);
                if (std::string(edclean_last_error()) !=
                    (files ? "NULL files_json" : "NULL dirs_json"))
                    ++mismatches;
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Frame, MessagePointerIsTheLiveBuffer) {
    edtest::temp_tree tree;
    EXPECT_EQ(edclean_delete_dirs("[1]"), -1);
    const char *message = edclean_last_error();
    EXPECT_STREQ(message, "array elements must be strings");
    char *result = edclean_scan(edtest::json_array({tree.root()}).c_str(), nullptr);
    ASSERT_NE(result, nullptr) << edclean_last_error();
    edclean_free_string(result);
    EXPECT_STREQ(message, "") << "a successful scan empties the same buffer";
}

TEST(Frame, LongMessagesAreCutAt511Bytes) {
    const std::string root = "/" + std::string(599, 'm'); // 600 bytes, missing
    EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr);
    const std::string expected = ("root not found: " + root).substr(0, 511);
    EXPECT_EQ(last_error(), expected);
}

TEST(Frame, ArrayParserMessagesReachEveryExport) {
    struct {
        const char *text, *message;
    } const cases[] = {
        {"", "invalid json array"},
        {"[\"a\",]", "invalid json array"},
        {"\"a\"", "expected JSON array"},
        {"[\"a\",1]", "array elements must be strings"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan(c.text, nullptr), nullptr);
        EXPECT_EQ(last_error(), c.message) << c.text;
        EXPECT_EQ(edclean_delete_dirs(c.text), -1);
        EXPECT_EQ(last_error(), c.message) << c.text;
        EXPECT_EQ(edclean_delete_files(c.text), -1);
        EXPECT_EQ(last_error(), c.message) << c.text;
    }
}

TEST(Frame, EmptyArraysAreReportedByEachCall) {
    EXPECT_EQ(edclean_scan("[]", nullptr), nullptr);
    EXPECT_EQ(last_error(), "empty dirs list");
    EXPECT_EQ(edclean_delete_dirs("[]"), -1);
    EXPECT_EQ(last_error(), "invalid dirs list");
    EXPECT_EQ(edclean_delete_files("[]"), -1);
    EXPECT_EQ(last_error(), "invalid files list");
    EXPECT_EQ(edclean_delete_dirs(R"(["",""])"), 0);
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(edclean_delete_files(R"([""])"), 0);
    EXPECT_EQ(last_error(), "");
}

TEST(Frame, MillionNestedBracketsFailCleanly) {
    const std::string deep(1000000, '[');
    EXPECT_EQ(edclean_scan(deep.c_str(), nullptr), nullptr);
    EXPECT_EQ(last_error(), "invalid json array");
    EXPECT_EQ(edclean_scan("[\"x\"]", deep.c_str()), nullptr);
    EXPECT_EQ(last_error(), "invalid options_json");
}

} // namespace
