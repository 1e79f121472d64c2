#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "scan/ed_task_pool.h"
#include "scan/ed_walk.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

std::vector<std::string> items(const ed_strlist *list) {
    return std::vector<std::string>(list->strs, list->strs + list->n);
}

struct scan_result {
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    int32_t counter = 0;
};

scan_result scan(const std::string &root, ed_scan_opts opts = {0, 1}) {
    ed_scan_result scanned;
    scan_result r;
    EXPECT_EQ(ed_scan_tree(root.c_str(), &opts, &scanned), 0);
    r.dirs = items(scanned.empty_dirs.get());
    r.files = items(scanned.zero_files.get());
    r.counter = scanned.scanned_dirs;
    return r;
}

// Every listed directory comes after every listed directory below it.
void expect_post_order(const std::vector<std::string> &dirs) {
    for (size_t i = 0; i < dirs.size(); ++i)
        for (size_t j = i + 1; j < dirs.size(); ++j)
            EXPECT_FALSE(ed_path_under_root(dirs[j].c_str(), dirs[i].c_str()))
                << dirs[j] << " is listed after " << dirs[i];
}

TEST(ScanTree, EmptyRootListsOnlyItself) {
    edtest::temp_tree tree;
    const scan_result r = scan(tree.root());
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.root()});
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.counter, 1);
}

TEST(ScanTree, NestedEmptyChainIsListedDeepestFirst) {
    edtest::temp_tree tree;
    tree.mkdir("d/e");
    const scan_result r = scan(tree.root());
    EXPECT_EQ(r.dirs, (std::vector<std::string>{tree.path("d/e"), tree.path("d"), tree.root()}));
    EXPECT_EQ(r.counter, 3);
}

TEST(ScanTree, MixedTreeWithHiddenEntry) {
    // R: a/{a1/, f0}, b/, c (zero bytes), .h/
    edtest::temp_tree tree;
    tree.mkdir("a/a1");
    tree.file("a/f0");
    tree.mkdir("b");
    tree.file("c");
    tree.mkdir(".h");

    scan_result r = scan(tree.root());
    EXPECT_EQ(std::set<std::string>(r.dirs.begin(), r.dirs.end()),
              (std::set<std::string>{tree.path("a/a1"), tree.path("b")}));
    EXPECT_EQ(std::set<std::string>(r.files.begin(), r.files.end()),
              (std::set<std::string>{tree.path("a/f0"), tree.path("c")}));
    EXPECT_EQ(r.counter, 4);

    r = scan(tree.root(), {1, 1});
    EXPECT_EQ(std::set<std::string>(r.dirs.begin(), r.dirs.end()),
              (std::set<std::string>{tree.path("a/a1"), tree.path("b"), tree.path(".h")}));
    EXPECT_EQ(r.counter, 5);
    expect_post_order(r.dirs);
}

TEST(ScanTree, ZeroByteFileMakesItsDirectoryNotEmpty) {
    edtest::temp_tree tree;
    tree.file("f");
    scan_result r = scan(tree.root());
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_EQ(r.files, std::vector<std::string>{tree.path("f")});
    r = scan(tree.root(), {0, 0});
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_TRUE(r.files.empty());
}

TEST(ScanTree, HiddenEntriesUnderBothSettings) {
    edtest::temp_tree tree;
    tree.file("k/.keep");
    tree.mkdir("c/.cache");

    scan_result r = scan(tree.root());
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.counter, 3); // root, k, c; .cache is not entered

    r = scan(tree.root(), {1, 1});
    EXPECT_EQ(r.files, std::vector<std::string>{tree.path("k/.keep")});
    const std::vector<std::string> cache_then_c{tree.path("c/.cache"), tree.path("c")};
    EXPECT_TRUE(std::search(r.dirs.begin(), r.dirs.end(), cache_then_c.begin(),
                            cache_then_c.end()) != r.dirs.end());
    EXPECT_EQ(r.counter, 4);
}

TEST(ScanTree, FourGibibyteFileIsNotZeroByte) {
    edtest::temp_tree tree;
    tree.file("big", std::uintmax_t{1} << 32);
    EXPECT_TRUE(scan(tree.root()).files.empty());
}

TEST(ScanTree, LinksAreNeitherFollowedCountedNorListed) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree outside;
    outside.file("zero");
    edtest::temp_tree tree;
    tree.mkdir("holder");
    tree.file("zero_target");
    if (!tree.symlink(outside.root(), "holder/link", true) ||
        !tree.symlink(tree.path("zero_target"), "file_link", false))
        GTEST_SKIP() << "this account may not create symbolic links";
    const scan_result r = scan(tree.root());
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_EQ(r.files, std::vector<std::string>{tree.path("zero_target")});
    EXPECT_EQ(r.counter, 2);
}

TEST(ScanTree, RootEndingInSlashIsNotDoubled) {
    edtest::temp_tree tree;
    tree.file("x");
    const scan_result r = scan(tree.root() + "/");
    EXPECT_EQ(r.files, std::vector<std::string>{tree.root() + "/x"});
}

TEST(ScanTree, UnopenableRootIsCountedButNotAFailure) {
    edtest::temp_tree tree;
    const scan_result r = scan(tree.path("missing"));
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_EQ(r.counter, 1);
}

#if !defined(_WIN32)
TEST(ScanTree, UnreadableSubdirectoryKeepsItsParent) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    edtest::temp_tree tree;
    tree.mkdir("p/locked");
    ASSERT_EQ(chmod(tree.path("p/locked").c_str(), 0), 0);
    const scan_result r = scan(tree.root());
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_EQ(r.counter, 3);
}

// The stream reads one entry ahead of the name it hands out, so a listing can
// break right after a name it cannot give: that entry is still a bad name,
// and the folder is unreadable once.
TEST(ScanTree, AListingBrokenAfterANameIsCountedApartFromTheName) {
    struct read_fails {
        static unsigned long hook(ed_test_moment moment, void *) {
            return moment == ED_TEST_LISTING_READ_ON ? EIO : 0;
        }
    };
    const struct {
        const char *name;
        int64_t invalid_names;
    } cases[] = {{"fine", 0}, {"bad\xff", 1}};
    for (const auto &c : cases) {
        edtest::temp_tree tree;
        tree.file(std::string("r/") + c.name);
        ed_scan_opts opts{0, 1};
        ed_scan_result scanned;
        ed_set_test_hook(&read_fails::hook, nullptr);
        const int status = ed_scan_tree(tree.path("r").c_str(), &opts, &scanned);
        ed_set_test_hook(nullptr, nullptr);
        ASSERT_EQ(status, 0) << c.name;
        EXPECT_EQ(items(scanned.empty_dirs.get()), std::vector<std::string>{}) << c.name;
        EXPECT_EQ(scanned.left_out.counts.invalid_names, c.invalid_names) << c.name;
        EXPECT_EQ(scanned.left_out.counts.unreadable_dirs, 1) << c.name;
        EXPECT_EQ(scanned.left_out.unreadable_paths, std::vector<std::string>{tree.path("r")})
            << c.name;
    }
}

TEST(ScanTree, FifoMakesItsDirectoryNotEmptyAndIsNeverOpened) {
    edtest::temp_tree tree;
    tree.mkdir("p");
    ASSERT_EQ(mkfifo(tree.path("p/fifo").c_str(), 0600), 0);
    const scan_result r = scan(tree.root()); // would hang if the FIFO were opened
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_TRUE(r.files.empty());
}
#endif

TEST(ScanTree, EntriesBeyondThePathLimitAreNotExamined) {
    edtest::temp_tree tree;
    // Nest directories until one more entry would join to more than the
    // limit: the deepest directory holds an entry that is never examined.
    std::string relative;
    while (tree.root().size() + relative.size() + 1 + 200 + 2 <= ED_PATH_LIMIT)
        relative.append(relative.empty() ? "" : "/").append(200, 'd');
    const size_t room = ED_PATH_LIMIT - tree.root().size() - relative.size() - 1;
    relative += '/';
    relative.append(room - 2, 'p'); // joins to the limit less 2
    tree.mkdir(relative);
    // "/sub" makes it one byte more than the limit: too long for a path, so
    // it is made relative to its directory.
    ASSERT_TRUE(edtest::make_directory_in(tree.path(relative), "sub"));
    const scan_result r = scan(tree.root());
    EXPECT_TRUE(r.dirs.empty()) << "the unexamined entry keeps its directories from being empty";
    EXPECT_EQ(r.counter,
              static_cast<int32_t>(std::count(relative.begin(), relative.end(), '/') + 2));
}

TEST(ScanTree, DeepChainsWithinTheLimitAreWalkedWhole) {
    // Forty nested names of 16 bytes: far beyond 259 bytes where Linux
    // allows it, so every directory of the chain is examined and listed.
    if (ED_PATH_LIMIT < 1000)
        GTEST_SKIP() << "this platform's path limit is " << ED_PATH_LIMIT << " bytes";
    edtest::temp_tree tree;
    std::string relative;
    for (int i = 0; i < 40; ++i)
        relative.append(i ? "/" : "").append(15, static_cast<char>('a' + i % 26));
    tree.mkdir(relative);
    const scan_result r = scan(tree.root());
    EXPECT_EQ(r.counter, 41);
    EXPECT_EQ(r.dirs.size(), 41u);
}

TEST(ScanTree, NullArgumentsWalkNothing) {
    ed_scan_result scanned;
    const ed_scan_opts opts{0, 1};
    scanned.scanned_dirs = 5;
    EXPECT_EQ(ed_scan_tree(nullptr, &opts, &scanned), -1);
    EXPECT_EQ(ed_scan_tree("x", nullptr, &scanned), -1);
    EXPECT_EQ(ed_scan_tree("x", &opts, nullptr), -1);
    EXPECT_EQ(scanned.scanned_dirs, 5);
    EXPECT_EQ(scanned.empty_dirs->n, 0);
    EXPECT_EQ(scanned.zero_files->n, 0);
}

TEST(ScanTree, OverlappingRootsListEachPathOnceAtFirstAppearance) {
    edtest::temp_tree tree;
    tree.mkdir("inner/e");
    tree.file("inner/z");
    ed_scan_result scanned;
    const ed_scan_opts opts{0, 1};
    for (const std::string &root : {tree.root(), tree.path("inner"), tree.root()})
        ASSERT_EQ(ed_scan_tree(root.c_str(), &opts, &scanned), 0);
    EXPECT_EQ(items(scanned.empty_dirs.get()), std::vector<std::string>{tree.path("inner/e")});
    EXPECT_EQ(items(scanned.zero_files.get()), std::vector<std::string>{tree.path("inner/z")});
    EXPECT_EQ(scanned.scanned_dirs, 3 + 2 + 3);
}

ed_scan_opts excluding(std::initializer_list<const char *> patterns, int include_hidden = 0) {
    auto filter = std::make_shared<ed_name_filter>();
    for (const char *p : patterns)
        filter->add(p);
    ed_scan_opts opts{include_hidden, 1};
    opts.exclude = std::move(filter);
    return opts;
}

std::set<std::string> as_set(const std::vector<std::string> &paths) {
    return std::set<std::string>(paths.begin(), paths.end());
}

TEST(ScanTree, ExcludedNamesAreLeftAloneLikeHiddenOnes) {
    edtest::temp_tree tree;
    tree.mkdir("keep/node_modules");
    tree.file("node_modules/deep/z");
    tree.file("a/x.tmp");
    tree.mkdir("b");
    tree.mkdir(".h");

    scan_result r = scan(tree.root(), excluding({"node_modules", "*.tmp"}));
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.path("b")});
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.counter, 4); // the root, keep, a, b: no excluded directory is walked

    // Hidden names come back with include_hidden; excluded ones do not.
    r = scan(tree.root(), excluding({"node_modules", "*.tmp"}, 1));
    EXPECT_EQ(as_set(r.dirs), (std::set<std::string>{tree.path("b"), tree.path(".h")}));
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.counter, 5);

    r = scan(tree.root());
    EXPECT_EQ(as_set(r.dirs), (std::set<std::string>{tree.path("keep/node_modules"),
                                                     tree.path("keep"), tree.path("b")}));
    EXPECT_EQ(as_set(r.files),
              (std::set<std::string>{tree.path("node_modules/deep/z"), tree.path("a/x.tmp")}));
    EXPECT_EQ(r.counter, 7);
}

TEST(ScanTree, PatternsJudgeEntriesNeverTheRootItself) {
    edtest::temp_tree tree;
    tree.mkdir("b");
    const scan_result r = scan(tree.path("b"), excluding({"b", "*"}));
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.path("b")});
}

TEST(ScanTree, MalformedPatternExcludesOnlyItsOwnText) {
    edtest::temp_tree tree;
    tree.mkdir("[abc");
    tree.mkdir("a");
    const scan_result r = scan(tree.root(), excluding({"[abc"}));
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.path("a")});
}

ed_scan_opts aged(int64_t seconds) {
    ed_scan_opts opts{0, 1};
    opts.min_age_seconds = seconds;
    opts.young_after = ed_age_threshold(ed_clock_now(), seconds);
    return opts;
}

// Sets each entry's modification time `seconds` back, deepest first.
void age(const edtest::temp_tree &tree, std::initializer_list<const char *> relatives,
         long long seconds = 7200) {
    for (const char *relative : relatives)
        ASSERT_TRUE(edtest::set_modified_ago(tree.path(relative), seconds)) << relative;
}

TEST(ScanTree, AgeGuardKeepsYoungEntriesAndTheirParents) {
    edtest::temp_tree tree;
    tree.mkdir("old");
    tree.mkdir("young");
    tree.file("oldz");
    tree.file("youngz");
    tree.mkdir("parent/child");
    tree.mkdir("p2/c2");
    age(tree, {"old", "oldz", "parent", "p2/c2", "p2"});

    scan_result r = scan(tree.root(), aged(3600));
    EXPECT_EQ(as_set(r.dirs),
              (std::set<std::string>{tree.path("old"), tree.path("p2/c2"), tree.path("p2")}));
    expect_post_order(r.dirs);
    EXPECT_EQ(r.files, std::vector<std::string>{tree.path("oldz")});
    EXPECT_EQ(r.counter, 7);

    // Off, the same tree lists everything.
    r = scan(tree.root(), aged(0));
    EXPECT_EQ(as_set(r.dirs), (std::set<std::string>{tree.path("old"), tree.path("young"),
                                                     tree.path("parent/child"), tree.path("parent"),
                                                     tree.path("p2/c2"), tree.path("p2")}));
    EXPECT_EQ(as_set(r.files), (std::set<std::string>{tree.path("oldz"), tree.path("youngz")}));
}

TEST(ScanTree, AgeGuardJudgesTheRootAndTimesFromTheFuture) {
    edtest::temp_tree tree;
    tree.mkdir("e");
    scan_result r = scan(tree.path("e"), aged(3600));
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_EQ(r.counter, 1);
    age(tree, {"e"});
    r = scan(tree.path("e"), aged(3600));
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.path("e")});
    // A clock set wrong made it later than the scan: young.
    age(tree, {"e"}, -86400);
    r = scan(tree.path("e"), aged(60));
    EXPECT_TRUE(r.dirs.empty());
}

TEST(ScanTree, AnEntryExactlyAsOldAsTheGuardIsOldEnough) {
    edtest::temp_tree tree;
    tree.mkdir("e");
    tree.file("z");
    age(tree, {"e", "z"}, 100);
    ed_time e_time = 0;
    ed_time z_time = 0;
    {
        ed_dir_stream root(ed_opendir(tree.root().c_str()));
        ASSERT_TRUE(root);
        while (ed_readdir(root.get()) != nullptr) { // entries are asked about once listed
        }
        ASSERT_EQ(ed_modified_at(root.get(), "e", &e_time), 0);
        ASSERT_EQ(ed_modified_at(root.get(), "z", &z_time), 0);
    }
    ed_scan_opts opts{0, 1};
    opts.min_age_seconds = 1;
    opts.young_after = std::max(e_time, z_time);
    // Modified at the threshold itself: exactly the guard's age, not younger.
    scan_result r = scan(tree.root(), opts);
    EXPECT_EQ(r.dirs, std::vector<std::string>{tree.path("e")});
    EXPECT_EQ(r.files, std::vector<std::string>{tree.path("z")});
    opts.young_after = std::min(e_time, z_time) - 1;
    r = scan(tree.root(), opts);
    EXPECT_TRUE(r.dirs.empty());
    EXPECT_TRUE(r.files.empty());
}

TEST(StillEmpty, FollowsTheSameNotionAsTheScan) {
    edtest::temp_tree tree;
    tree.mkdir("empty");
    tree.mkdir("nested/a/b/c");
    tree.file("zero_below/x/f");
    tree.mkdir("hidden/.cache");
    tree.file("file");
    EXPECT_EQ(ed_dir_still_empty(tree.path("empty").c_str(), 0), 1);
    EXPECT_EQ(ed_dir_still_empty((tree.path("nested") + "/").c_str(), 0), 1);
    EXPECT_EQ(ed_dir_still_empty(tree.path("zero_below").c_str(), 1), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("hidden").c_str(), 0), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("hidden").c_str(), 1), 1);
    EXPECT_EQ(ed_dir_still_empty(tree.path("file").c_str(), 1), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("missing").c_str(), 1), 0);
    EXPECT_EQ(ed_dir_still_empty("", 1), 0);
    EXPECT_EQ(ed_dir_still_empty(nullptr, 1), 0);
}

TEST(StillEmpty, ExcludedNamesAreContent) {
    edtest::temp_tree tree;
    tree.mkdir("d/keep");
    tree.mkdir("e/x/keep");
    ed_name_filter filter;
    filter.add("kee?");
    EXPECT_EQ(ed_dir_still_empty(tree.path("d").c_str(), 0), 1);
    EXPECT_EQ(ed_dir_still_empty(tree.path("d").c_str(), 0, &filter), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("d").c_str(), 1, &filter), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("e").c_str(), 1, &filter), 0);
    EXPECT_EQ(ed_dir_still_empty(tree.path("d/keep").c_str(), 0, &filter), 1);
}

TEST(StillEmpty, LinkToAnEmptyDirectoryIsContent) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("target");
    tree.mkdir("holder");
    if (!tree.symlink(tree.path("target"), "holder/link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    EXPECT_EQ(ed_dir_still_empty(tree.path("holder").c_str(), 1), 0);
}

} // namespace

namespace {

// Refuses every thread the walk asks for, for one scope.
struct threads_refused {
    threads_refused() { ed_task_pool_refuse_threads_for_testing(true); }
    ~threads_refused() { ed_task_pool_refuse_threads_for_testing(false); }
    threads_refused(const threads_refused &) = delete;
    threads_refused &operator=(const threads_refused &) = delete;
};

TEST(ScanTree, NoThreadToSpareScansOnTheCallingThread) {
    edtest::temp_tree tree;
    tree.mkdir("a/b");
    tree.mkdir("c/d");
    tree.file("c/z");
    const scan_result alone = scan(tree.root());
    ed_scan_opts opts{0, 1};
    opts.threads = 8;
    const threads_refused refused;
    const scan_result r = scan(tree.root(), opts);
    EXPECT_EQ(r.dirs, alone.dirs);
    EXPECT_EQ(r.files, alone.files);
    EXPECT_EQ(r.counter, alone.counter);
}

} // namespace
