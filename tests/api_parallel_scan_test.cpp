// A scan that may use several threads answers with the same text, byte for
// byte and in the same order, as a scan on the calling thread alone, on
// generated trees that hold every kind of entry the walk tells apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
             {"{}", R"({"include_hidden":true})", R"({"include_zero_byte":false})",
              R"({"report_left_out":true,"exclude":["e1*"]})",
              R"({"report_left_out":true,"include_hidden":true,"min_age_seconds":3600})"}) {
            const std::string alone = scan_text(dirs, with_threads(base, "1"));
            ASSERT_EQ(alone.rfind("error", 0), std::string::npos) << alone;
            EXPECT_EQ(scan_text(dirs, base), alone) << "seed " << seed << " " << base;
            for (const char *threads : {"2", "3", "8", "0", "64"})
                EXPECT_EQ(scan_text(dirs, with_threads(base, threads)), alone)
                    << "seed " << seed << " " << base << " threads " << threads;
        }
    }
}

TEST(ParallelScan, WhatTheAgeGuardKeptIsCountedAsOnOneThread) {
    // Young folders that hold nothing but old empty trees: whether such a
    // folder is empty is known only once the threads that took its trees
    // are done, and only then may it count as kept for its age.
    edtest::temp_tree tree;
    std::vector<std::string> young;
    for (int i = 0; i < 48; ++i) {
        const std::string top = edtest::numbered("r/y", i);
        for (const char *chain : {"/a/b", "/c/d", "/e"})
            tree.mkdir(top + chain);
        for (const char *old : {"/a/b", "/a", "/c/d", "/c", "/e"})
            ASSERT_TRUE(edtest::set_modified_ago(tree.path(top + old), 7200));
        young.push_back(top);
    }
    tree.file("r/data", 1);
    for (const std::string &dir : young)
        ASSERT_TRUE(edtest::set_modified_ago(tree.path(dir), 0));
    const std::string dirs = edtest::json_array({tree.path("r")});
    const char *options = R"({"report_left_out":true,"min_age_seconds":3600})";
    const std::string alone = scan_text(dirs, options);
    ASSERT_NE(alone.find(R"("young":48,)"), std::string::npos) << alone;
    for (int round = 0; round < 10; ++round)
        ASSERT_EQ(scan_text(dirs, with_threads(options, "8")), alone) << "round " << round;
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

#ifndef _WIN32
// Nests `levels` directories named "d" beneath the directory `fd` (each
// made relative to the one above, so the depth is not bounded by the length
// of a path the system accepts), and returns the deepest one open.
int nest(int fd, int levels) {
    int current = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    for (int i = 0; i < levels && current >= 0; ++i) {
        const int next = mkdirat(current, "d", 0755) == 0
                             ? openat(current, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1;
        close(current);
        current = next;
    }
    return current;
}

// Removes everything beneath the directory `fd` (which it closes), relative
// to each directory: the fixture's own removal resolves every path from the
// top, which takes long on trees thousands of levels deep.
void empty_out(int fd) {
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    while (const struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const int sub =
            openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            empty_out(sub);
            unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(dirfd(dir), name.c_str(), 0);
        }
        rewinddir(dir);
    }
    closedir(dir);
}

// The number of descriptors this process has open.
rlim_t open_descriptors() {
    rlim_t count = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        static_cast<void>(entry);
        ++count;
    }
    return count > 0 ? count - 1 : 0; // less the one that lists them
}

constexpr rlim_t kAsManyAsAllowed = RLIM_INFINITY;

// The scan's text (or "error: " and its message) in a child process that
// may open `spare` descriptors beyond those it holds (kAsManyAsAllowed: as
// many as it may raise its limit to), so that the lowered limit touches no
// other test.
std::string scan_text_in_child(const std::string &dirs, const std::string &options, rlim_t spare) {
    int out[2];
    if (pipe(out) != 0)
        return "error: pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = spare != kAsManyAsAllowed ? open_descriptors() + spare : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(3);
        const std::string text = scan_text(dirs, options);
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(out[1], text.data() + done, text.size() - done);
            if (n <= 0)
                _exit(4);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "error: child process ended with status " + std::to_string(status);
    return text;
}
#endif

TEST(ParallelScan, ARootLookedAtWithoutDescriptorsSaysSo) {
#ifdef _WIN32
    GTEST_SKIP() << "handles here have no per-process limit to run into";
#else
    // With no descriptor, or one, to spare, the look at the root itself
    // cannot finish: the answer names the want of descriptors, never a root
    // that is "not found" or has no canonical form.
    edtest::temp_tree tree;
    tree.mkdir("r/e");
    const std::string root = tree.path("r");
    const std::string dirs = edtest::json_array({root});
    const std::string whole = scan_text_in_child(dirs, "{}", kAsManyAsAllowed);
    ASSERT_EQ(whole.rfind("error", 0), std::string::npos) << whole;
    for (const rlim_t spare : {rlim_t{0}, rlim_t{1}, rlim_t{2}, rlim_t{3}}) {
        const std::string text = scan_text_in_child(dirs, "{}", spare);
        if (text != whole) {
            EXPECT_EQ(text, "error: too many open files under " + root) << spare << " spare";
        }
    }
#endif
}

TEST(ParallelScan, DeepTreesGiveOneAnswerWhateverTheDescriptorLimit) {
#ifdef _WIN32
    GTEST_SKIP() << "a path of at most 259 bytes keeps a tree to about 130 levels here";
#else
    // Two chains of more levels than the usual limit of 1,024 descriptors,
    // one wholly empty down to the 4,095-byte path limit, one that holds a
    // zero-byte file 1,050 levels down; and two directories of twenty
    // entries, each a chain deeper than a walk keeps open (so that the
    // listing of the wide directory is left and taken up again at each
    // one), one of them with a file with data among its entries.
    edtest::temp_tree tree;
    tree.mkdir("r");
    const std::string root = tree.canonical_path("r");
    // Deepest path of the empty chain: root + "/empty" + "/d" per level
    // below it, at most the 4,095 bytes a path may hold.
    const int levels = static_cast<int>((4095 - 4 - root.size()) / 2);
    ASSERT_GT(levels, 1100);
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(top, 0);
    int made = 0; // directories below the root
    ASSERT_EQ(mkdirat(top, "empty", 0755), 0);
    int fd = openat(top, "empty", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(nest(fd, levels - 1));
    close(fd);
    made += levels;

    ASSERT_EQ(mkdirat(top, "file", 0755), 0);
    fd = openat(top, "file", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int deep = nest(fd, 1050);
    close(openat(deep, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    close(nest(deep, 50));
    close(deep);
    close(fd);
    made += 1101;

    for (const std::string name : {"wide", "wide-data"}) {
        ASSERT_EQ(mkdirat(top, name.c_str(), 0755), 0);
        fd = openat(top, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; i < 20; ++i) {
            const std::string entry = edtest::numbered("entry-with-a-longer-name-", i);
            if (i == 10 && name == "wide-data") {
                const int data = openat(fd, entry.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                ASSERT_EQ(write(data, "x", 1), 1);
                close(data);
                continue;
            }
            ASSERT_EQ(mkdirat(fd, entry.c_str(), 0755), 0);
            const int sub = openat(fd, entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(nest(sub, 40));
            close(sub);
            made += 41;
        }
        close(fd);
        made += 1;
    }
    close(top);

    const std::string dirs = edtest::json_array({root});
    const std::string whole = scan_text_in_child(dirs, R"({"threads":1})", kAsManyAsAllowed);
    ASSERT_EQ(whole.rfind("error", 0), std::string::npos) << whole.substr(0, 200);
    // What the tree holds, counted as it was made: every directory visited;
    // listed, the empty chain whole, the wide directory without data with
    // everything below it, the part of the other chain below its file, and
    // the chains below the other wide directory but not that directory.
    EXPECT_NE(whole.find(edtest::numbered("\"scanned_dirs\":", made + 1)), std::string::npos);
    const std::string listed_dirs = whole.substr(0, whole.find("],\"zero_files\""));
    EXPECT_EQ(std::count(listed_dirs.begin(), listed_dirs.end(), ',') + 1,
              levels + (1 + 20 * 41) + 50 + 19 * 41);
    EXPECT_NE(whole.find("/d/f\"]"), std::string::npos);

    // About the usual limit of 1,024, and limits that leave the walk only a
    // few descriptors: the same text, or a scan that says it ran out; never
    // a shorter list. On one thread the walk makes do with a few.
    const std::string out_of_descriptors = "error: too many open files under " + root;
    for (const rlim_t spare : {rlim_t{1000}, rlim_t{64}, rlim_t{6}})
        for (const char *threads : {"1", "0"}) {
            const std::string text = scan_text_in_child(dirs, with_threads("{}", threads), spare);
            if (spare >= 1000 || std::string(threads) == "1") {
                EXPECT_EQ(text, whole) << spare << " spare, threads " << threads;
            } else if (text != whole) {
                EXPECT_EQ(text, out_of_descriptors) << spare << " spare, threads " << threads;
            }
        }
    empty_out(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#endif
}

} // namespace
