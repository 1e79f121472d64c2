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

// Strict decoding, as .NET, Node or Python would do it: whole characters
// only, nothing cut in the middle of one.
bool is_strict_utf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80         ? 1
                              : (lead >> 5) == 6  ? 2
                              : (lead >> 4) == 14 ? 3
                              : (lead >> 3) == 30 ? 4
                                                  : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

TEST(Frame, ACutMessageEndsOnAWholeCharacter) {
    // "root not found: " (16 bytes) + "/x/" + padding + many copies of one
    // character: for each padding the cut at byte 511 falls 0, 1, 2 or 3
    // bytes into a character of 2, 3 and 4 bytes.
    const std::string prefix = "root not found: ";
    for (const std::string character : {"\u00e9", "\u20ac", "\U0001F600"}) {
        for (size_t padding = 0; padding < character.size(); ++padding) {
            const std::string root = "/x/" + std::string(padding, 'p') + [&] {
                std::string many;
                while (many.size() < 600)
                    many += character;
                return many;
            }();
            EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr);
            const std::string message = last_error();
            const std::string full = prefix + root;
            const size_t into = (511 - prefix.size() - 3 - padding) % character.size();
            EXPECT_TRUE(is_strict_utf8(message))
                << character.size() << "-byte, padding " << padding;
            EXPECT_EQ(message.size(), 511 - into)
                << character.size() << "-byte, padding " << padding;
            EXPECT_EQ(message, full.substr(0, message.size()));
        }
    }
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
