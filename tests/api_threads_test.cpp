// A host that breaks the calling contract: scans and deletes on eight
// threads at once. The library guards its registry and its record of the
// latest scan's rules, so every call still answers correctly (and a
// ThreadSanitizer build reports nothing).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "edclean.h"
#include "test_support.h"

namespace {

TEST(Threads, ScansAndDeletesAtOnceStayCorrect) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 25;
    edtest::temp_tree tree;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        tree.mkdir(edtest::numbered("t", t));
        threads.emplace_back([&, t] {
            const std::string mine = tree.path(edtest::numbered("t", t));
            for (int round = 0; round < kRounds; ++round) {
                const std::string dir = mine + edtest::numbered("/d", round);
                const std::string zero = mine + edtest::numbered("/z", round);
                tree.mkdir(edtest::numbered("t", t) + edtest::numbered("/d", round));
                tree.file(edtest::numbered("t", t) + edtest::numbered("/z", round));
                // Each thread scans its own subtree, registering it, with its
                // own include_hidden setting and patterns, while the others
                // delete.
                static const char *const options[] = {nullptr, R"({"include_hidden":true})",
                                                      R"({"exclude":["q*","[!d]*"]})",
                                                      R"({"exclude":["*.x"],"include_hidden":1})"};
                char *text = edclean_scan(edtest::json_array({mine}).c_str(), options[t % 4]);
                if (text == nullptr) {
                    ++wrong;
                    continue;
                }
                edclean_free_string(text);
                if (edclean_delete_files(edtest::json_array({zero}).c_str()) != 1)
                    ++wrong;
                if (edclean_delete_dirs(edtest::json_array({dir}).c_str()) != 1)
                    ++wrong;
                if (*edclean_last_error() != '\0')
                    ++wrong;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
