#include <gtest/gtest.h>

#include <string>

#include "core/ed_strlist.h"

namespace {

TEST(StringList, FreshListIsEmptyWithNullArray) {
    ed_strlist_guard list;
    EXPECT_EQ(list->strs, nullptr);
    EXPECT_EQ(list->n, 0);
    EXPECT_EQ(list->cap, 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), ""), 0);
    ed_strlist_free(list.get());
    EXPECT_EQ(list->strs, nullptr);
}

TEST(StringList, GrowsBySixteenThenDoublesKeepingOrder) {
    ed_strlist_guard list;
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(ed_strlist_push(list.get(), std::to_string(i).c_str()), 0);
    EXPECT_EQ(list->cap, 16);
    ASSERT_EQ(ed_strlist_push(list.get(), "16"), 0);
    EXPECT_EQ(list->cap, 32);
    ASSERT_EQ(list->n, 17);
    for (int i = 0; i < 17; ++i)
        EXPECT_STREQ(list->strs[i], std::to_string(i).c_str());
    for (int i = 17; i < 33; ++i)
        ASSERT_EQ(ed_strlist_push(list.get(), "x"), 0);
    EXPECT_EQ(list->cap, 64);
}

TEST(StringList, KeepsDuplicatesAsSeparateCopies) {
    ed_strlist_guard list;
    std::string text = "C:/Data";
    ASSERT_EQ(ed_strlist_push(list.get(), text.c_str()), 0);
    ASSERT_EQ(ed_strlist_push(list.get(), text.c_str()), 0);
    EXPECT_EQ(list->n, 2);
    EXPECT_NE(list->strs[0], list->strs[1]);
    text[0] = 'X'; // the caller's text stays the caller's
    EXPECT_STREQ(list->strs[0], "C:/Data");
}

TEST(StringList, ContainsIsExactByteComparison) {
    ed_strlist_guard list;
    ASSERT_EQ(ed_strlist_push(list.get(), "C:/Data"), 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), "C:/Data"), 1);
    EXPECT_EQ(ed_strlist_contains(list.get(), "c:/data"), 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), "C:/Data/"), 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), ""), 0);
    ASSERT_EQ(ed_strlist_push(list.get(), ""), 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), ""), 1);
}

TEST(StringList, NullArgumentsChangeNothing) {
    ed_strlist_guard list;
    EXPECT_EQ(ed_strlist_push(nullptr, "a"), -1);
    EXPECT_EQ(ed_strlist_push(list.get(), nullptr), -1);
    EXPECT_EQ(list->strs, nullptr);
    EXPECT_EQ(ed_strlist_contains(nullptr, "a"), 0);
    EXPECT_EQ(ed_strlist_contains(list.get(), nullptr), 0);
    ed_strlist_free(nullptr);
    EXPECT_EQ(ed_strdup(nullptr), nullptr);
}

TEST(StringList, FreeEmptiesAndNextPushStartsAgain) {
    ed_strlist_guard list;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(ed_strlist_push(list.get(), "p"), 0);
    ed_strlist_free(list.get());
    EXPECT_EQ(list->strs, nullptr);
    EXPECT_EQ(list->n, 0);
    EXPECT_EQ(list->cap, 0);
    ASSERT_EQ(ed_strlist_push(list.get(), "q"), 0);
    EXPECT_EQ(list->cap, 16);
}

TEST(StringList, RefusesToGrowBeyondTheSlotLimit) {
    // A list at the limit, faked without allocating 2^30 slots: growth must
    // fail before any allocation and leave the list as it was.
    ed_strlist list{nullptr, int32_t{1} << 30, int32_t{1} << 30};
    EXPECT_EQ(ed_strlist_push(&list, "x"), -1);
    EXPECT_EQ(list.strs, nullptr);
    EXPECT_EQ(list.n, int32_t{1} << 30);
    EXPECT_EQ(list.cap, int32_t{1} << 30);
}

TEST(StringList, StrdupOfEmptyTextIsANewTerminator) {
    char *copy = ed_strdup("");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], '\0');
    std::free(copy);
}

} // namespace
