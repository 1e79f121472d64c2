// A scan that may use several threads answers with the same text, byte for
// byte and in the same order, as a scan on the calling thread alone, on
// generated trees that hold every kind of entry the walk tells apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "edclean.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Grows a seeded random tree: chains of empty directories, directories that
// hold only hidden names, zero-byte and non-empty files, links (where the
// platform makes them), names too long to join, and, on POSIX, FIFOs and
// directories that cannot be read.
class tree_grower {
  public:
    tree_grower(const edtest::temp_tree &tree, unsigned seed) : tree_(tree), rng_(seed) {}
    ~tree_grower() {
#ifndef _WIN32
        for (const std::string &path : unreadable_)
            chmod(path.c_str(), 0700); // so that the fixture can remove it
#endif
    }
    tree_grower(const tree_grower &) = delete;
    tree_grower &operator=(const tree_grower &) = delete;

    void grow(const std::string &dir, int depth) {
        const int entries = pick(depth == 0 ? 12 : 7);
        for (int i = 0; i < entries; ++i) {
            const std::string child = dir + "/" + edtest::numbered("e", i);
            switch (pick(depth >= 6 ? 4 : 10)) {
            case 0:
                tree_.file(child);
                break;
            case 1:
                tree_.file(child, 1 + static_cast<unsigned>(pick(40)));
                break;
            case 2:
                tree_.mkdir(child); // an empty leaf
                break;
            case 3:
                tree_.mkdir(child + "/a/b/c"); // a chain that is empty all the way
                break;
            case 4:
                tree_.mkdir(child + "/.hidden");
                break;
            case 5:
                special(dir, child);
                break;
            default:
                tree_.mkdir(child);
                grow(child, depth + 1);
                break;
            }
        }
    }

  private:
    int pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng_); }

    void special(const std::string &dir, const std::string &child) {
        switch (pick(4)) {
        case 0:
            tree_.symlink(tree_.path(dir), child, true);
            break;
        case 1:
            // A name that makes the joined path too long to examine.
            tree_.mkdir(child);
            edtest::make_directory_in(tree_.path(child), std::string(250, 'n'));
            edtest::make_directory_in(tree_.path(child) + "/" + std::string(250, 'n'),
                                      std::string(250, 'm'));
            break;
#ifndef _WIN32
        case 2:
            mkfifo(tree_.path(child).c_str(), 0600);
            break;
        case 3:
            tree_.mkdir(child + "/locked");
            chmod(tree_.path(child + "/locked").c_str(), 0);
            unreadable_.push_back(tree_.path(child + "/locked"));
            break;
#endif
        default:
            tree_.mkdir(child + "/x");
            break;
        }
    }

    const edtest::temp_tree &tree_;
    std::mt19937 rng_;
    std::vector<std::string> unreadable_;
};

std::string scan_text(const std::string &dirs, const std::string &options) {
    char *text = edclean_scan(dirs.c_str(), options.c_str());
    if (text == nullptr)
        return std::string("error: ") + edclean_last_error();
    std::string copy = text;
    edclean_free_string(text);
    return copy;
}

std::string with_threads(const char *base, const char *threads) {
    std::string options = base;
    options.pop_back(); // the closing brace
    if (options.size() > 1)
        options += ",";
    options += "\"threads\":";
    options += threads;
    options += "}";
    return options;
}

TEST(ParallelScan, SameTextAsOneThreadOnGeneratedTrees) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        edtest::temp_tree tree;
        tree.mkdir("r/inner");
        tree_grower grower(tree, seed);
        grower.grow("r", 0);
        grower.grow("r/inner", 1);
        // Overlapping and repeated roots: each path is still listed once.
        const std::string dirs =
            edtest::json_array({tree.path("r/inner"), tree.path("r"), tree.path("r")});
        for (const char *base :
             {"{}", R"({"include_hidden":true})", R"({"include_zero_byte":false})"}) {
            const std::string alone = scan_text(dirs, with_threads(base, "1"));
            ASSERT_EQ(alone.rfind("error", 0), std::string::npos) << alone;
            EXPECT_EQ(scan_text(dirs, base), alone) << "seed " << seed << " " << base;
            for (const char *threads : {"2", "3", "8", "0", "64"})
                EXPECT_EQ(scan_text(dirs, with_threads(base, threads)), alone)
                    << "seed " << seed << " " << base << " threads " << threads;
        }
    }
}

TEST(ParallelScan, RepeatedScansOfOneTreeNeverDiffer) {
    // Hand-overs depend on timing: many rounds give the order many chances
    // to come out wrong.
    edtest::temp_tree tree;
    tree.mkdir("r");
    tree_grower grower(tree, 99);
    grower.grow("r", 0);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string alone = scan_text(dirs, "{}");
    for (int round = 0; round < 30; ++round)
        ASSERT_EQ(scan_text(dirs, R"({"threads":8})"), alone) << "round " << round;
}

TEST(ParallelScan, ThreadsOfAnyValueNeverFailAScan) {
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    tree.file("r/z");
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string alone = scan_text(dirs, "{}");
    for (const char *value :
         {"-1", "-9223372036854775808", "65", "4294967297", "18446744073709551615",
          "100000000000000000000000", "2.5", "true", "\"4\"", "null", "[4]", "{\"n\":4}"})
        EXPECT_EQ(scan_text(dirs, with_threads("{}", value)), alone) << "threads " << value;
}

} // namespace
