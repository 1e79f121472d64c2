// Removal as a host sees it: scan first, then delete what the scan listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using edclean_json_io::scan_lists;

scan_lists scan(const std::string &root, const char *options = nullptr) {
    char *text = edclean_scan(edtest::json_array({root}).c_str(), options);
    EXPECT_NE(text, nullptr) << edclean_last_error();
    if (text == nullptr)
        return {};
    std::optional<scan_lists> lists = edclean_json_io::read_scan_result(text);
    EXPECT_TRUE(lists) << text;
    edclean_free_string(text);
    return lists.value_or(scan_lists{});
}

std::string to_json(const std::vector<std::string> &paths) { return edtest::json_array(paths); }

TEST(Delete, NestedChainGoesDeepestFirstWhateverTheInputOrder) {
    edtest::temp_tree tree;
    tree.mkdir("r/d/e");
    const scan_lists lists = scan(tree.path("r"));
    ASSERT_EQ(lists.empty_dirs.size(), 3u);
    std::vector<std::string> shuffled = {lists.empty_dirs[2], lists.empty_dirs[0],
                                         lists.empty_dirs[1]};
    EXPECT_EQ(edclean_delete_dirs(to_json(shuffled).c_str()), 3);
    EXPECT_STREQ(edclean_last_error(), "");
    EXPECT_FALSE(tree.exists("r"));
}

TEST(Delete, ListedParentWithUnlistedChildIsLeftWithRmdirFailed) {
    edtest::temp_tree tree;
    tree.mkdir("r/d/e");
    scan(tree.path("r"));
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/d")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "rmdir failed");
    EXPECT_TRUE(tree.exists("r/d/e"));
}

TEST(Delete, ContentThatAppearedSinceTheScanKeepsItsDirectory) {
    edtest::temp_tree tree;
    tree.mkdir("r/d");
    tree.file("r/z");
    const scan_lists lists = scan(tree.path("r"));
    tree.file("r/d/new");
    tree.write("r/z", "data");
    EXPECT_EQ(edclean_delete_dirs(to_json(lists.empty_dirs).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: directory no longer empty (TOCTOU)");
    EXPECT_EQ(edclean_delete_files(to_json(lists.zero_files).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: file size != 0");
    EXPECT_TRUE(tree.exists("r/d/new"));
    EXPECT_TRUE(tree.exists("r/z"));
}

TEST(Delete, DuplicatesAreRemovedOnceAndTheRestSaysNotFound) {
    edtest::temp_tree tree;
    tree.mkdir("r/d");
    tree.file("r/z");
    scan(tree.path("r"));
    const std::string d = tree.canonical_path("r/d"), z = tree.canonical_path("r/z");
    EXPECT_EQ(edclean_delete_dirs(to_json({d, d}).c_str()), 1);
    EXPECT_STREQ(edclean_last_error(), "path not found");
    EXPECT_EQ(edclean_delete_files(to_json({z, z}).c_str()), 1);
    EXPECT_STREQ(edclean_last_error(), "path not found");
}

TEST(Delete, FailureThenSuccessKeepsTheFailureMessage) {
    edtest::temp_tree tree;
    tree.mkdir("r/b");
    tree.file("r/a");
    scan(tree.path("r"));
    // Equal depth: "r/b" sorts first and is removed, then "r/a" is refused.
    EXPECT_EQ(edclean_delete_dirs(
                  to_json({tree.canonical_path("r/a"), tree.canonical_path("r/b")}).c_str()),
              1);
    EXPECT_STREQ(edclean_last_error(), "refused: not a directory");
    tree.mkdir("r/c");
    EXPECT_EQ(edclean_delete_dirs(
                  to_json({tree.canonical_path("r/c"), tree.canonical_path("r/missing")}).c_str()),
              1);
    EXPECT_STREQ(edclean_last_error(), "path not found");
}

TEST(Delete, HiddenEntriesFollowTheLatestScansSetting) {
    edtest::temp_tree tree;
    tree.mkdir("r/x/.cache");
    scan(tree.path("r"));
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/x")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: directory no longer empty (TOCTOU)");

    // A scan that fails after its options still records include_hidden.
    EXPECT_EQ(edclean_scan("[]", R"({"include_hidden":true})"), nullptr);
    EXPECT_STREQ(edclean_last_error(), "empty dirs list");
    EXPECT_EQ(edclean_delete_dirs(
                  to_json({tree.canonical_path("r/x"), tree.canonical_path("r/x/.cache")}).c_str()),
              2);
    EXPECT_STREQ(edclean_last_error(), "");
    scan(tree.path("r")); // back to the default for the tests that follow
}

TEST(Delete, ExcludedNamesFollowTheLatestScansPatterns) {
    edtest::temp_tree tree;
    tree.mkdir("r/x");
    const scan_lists lists = scan(tree.path("r"), R"({"exclude":["keep*"]})");
    ASSERT_EQ(lists.empty_dirs.size(), 2u);
    tree.mkdir("r/x/keep.d"); // appeared since the scan, under an excluded name
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/x")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: directory no longer empty (TOCTOU)");

    // A later scan without patterns is what the re-check follows then: the
    // re-check passes, and the system keeps the directory that holds one.
    scan(tree.path("r"), R"({"include_hidden":false})");
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/x")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "rmdir failed");

    // A scan that fails after its options still records its patterns.
    EXPECT_EQ(edclean_scan("[]", R"({"exclude":["keep.d"]})"), nullptr);
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/x")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: directory no longer empty (TOCTOU)");
    EXPECT_TRUE(tree.exists("r/x/keep.d"));
    scan(tree.path("r")); // back to the default for the tests that follow
}

TEST(Delete, AgeGuardPlaysNoPartInTheRecheck) {
    // Removing a listed child makes its parent young; the parent still goes.
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("r/a/b"), 7200));
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("r/a"), 7200));
    const scan_lists lists = scan(tree.path("r"), R"({"min_age_seconds":3600})");
    EXPECT_EQ(lists.empty_dirs,
              (std::vector<std::string>{tree.canonical_path("r/a/b"), tree.canonical_path("r/a")}));
    EXPECT_EQ(edclean_delete_dirs(to_json(lists.empty_dirs).c_str()), 2);
    EXPECT_STREQ(edclean_last_error(), "");
    EXPECT_FALSE(tree.exists("r/a"));
    scan(tree.path("r"));
}

TEST(Delete, DotDotIsRefusedEvenWhenItWouldResolveInside) {
    edtest::temp_tree tree;
    tree.mkdir("r/d");
    tree.file("r/z");
    scan(tree.path("r"));
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.canonical_path("r/d/../d")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: path contains ..");
    EXPECT_EQ(edclean_delete_files(to_json({tree.canonical_path("r/d/../z")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: path contains ..");
    EXPECT_TRUE(tree.exists("r/d"));
    EXPECT_TRUE(tree.exists("r/z"));
}

TEST(Delete, LinkToOutsideIsOutsideAndLeavesTheTargetAlone) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    outside.mkdir("e");
    outside.file("z");
    tree.mkdir("r");
    if (!tree.symlink(outside.root(), "r/out", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    scan(tree.path("r"));
    EXPECT_EQ(edclean_delete_dirs(to_json({tree.path("r/out/e")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_EQ(edclean_delete_files(to_json({tree.path("r/out/z")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(outside.exists("e"));
    EXPECT_TRUE(outside.exists("z"));
}

// S is a link inside the root R to R/T, L a link to the folder that holds R.
// A host path that goes through S reaches T or what T holds, which the host
// never named by a path inside R: refused in every spelling, and nothing
// goes. A link above the root, in the part that leads to it, is the host's
// own business, and the same object is removed through it.
TEST(Delete, LinkSpellingsBelowTheRootAreRefusedAndAboveItAccepted) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    struct {
        const char *path;    // as the host spells it, below the temporary folder
        const char *object;  // what it reaches there
        bool directory;      // through edclean_delete_dirs, else edclean_delete_files
        const char *message; // null: removed
    } const cases[] = {
        {"R/S/.", "R/T", true, "refused: symlink"},
        {"R/S/./", "R/T", true, "refused: symlink"},
        {"R/S/", "R/T", true, "refused: symlink"},
        {"R/S/x", "R/T/x", true, "refused: symlink"},
        {"R/S/x", "R/T/x", false, "refused: symlink"},
        {"R/S/./x", "R/T/x", false, "refused: symlink"},
        {"L/R/T/x", "R/T/x", true, nullptr},
        {"L/R/T/x", "R/T/x", false, nullptr},
        {"R/T/x", "R/T/x", true, nullptr},
        {"R/T/x", "R/T/x", false, nullptr},
    };
    for (const auto &c : cases) {
        edtest::temp_tree tree;
        tree.mkdir("R/T");
        const std::string object = c.object;
        if (object != "R/T") {
            if (c.directory)
                tree.mkdir(object);
            else
                tree.file(object);
        }
        if (!tree.symlink(tree.path("R/T"), "R/S", true) || !tree.symlink(tree.root(), "L", true))
            GTEST_SKIP() << "this account may not create symbolic links";
        scan(tree.path("R"));
        const std::string json = to_json({tree.path(c.path)});
        const int32_t removed =
            c.directory ? edclean_delete_dirs(json.c_str()) : edclean_delete_files(json.c_str());
        EXPECT_EQ(removed, c.message == nullptr ? 1 : 0) << c.path;
        EXPECT_STREQ(edclean_last_error(), c.message == nullptr ? "" : c.message) << c.path;
        EXPECT_EQ(tree.exists(object), c.message != nullptr) << c.path;
        EXPECT_TRUE(tree.exists("R/S")) << c.path;
    }
}

#if !defined(_WIN32)
// Restores the current directory when the scope ends.
class scoped_cwd {
  public:
    explicit scoped_cwd(const std::string &dir) : saved_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~scoped_cwd() {
        std::error_code ignored;
        fs::current_path(saved_, ignored);
    }
    scoped_cwd(const scoped_cwd &) = delete;
    scoped_cwd &operator=(const scoped_cwd &) = delete;

  private:
    fs::path saved_;
};

// A host working inside the tree names entries relative to its current
// directory: no link is on the way, so they go like any other spelling.
TEST(Delete, PathsRelativeToADirectoryInsideTheTreeAreRemoved) {
    edtest::temp_tree tree;
    const char *const spellings[] = {"e", "./e", "sub2/e", ".//sub2/./e"};
    tree.mkdir("R/sub/sub2");
    scan(tree.path("R"));
    const scoped_cwd inside(tree.path("R/sub"));
    for (const char *spelling : spellings) {
        const std::string relative =
            std::string(spelling).find("sub2") != std::string::npos ? "R/sub/sub2/e" : "R/sub/e";
        tree.mkdir(relative);
        EXPECT_EQ(edclean_delete_dirs(to_json({spelling}).c_str()), 1)
            << spelling << ": " << edclean_last_error();
        EXPECT_FALSE(tree.exists(relative)) << spelling;
        tree.file(relative);
        EXPECT_EQ(edclean_delete_files(to_json({spelling}).c_str()), 1)
            << spelling << ": " << edclean_last_error();
        EXPECT_FALSE(tree.exists(relative)) << spelling;
    }
}

#if defined(__linux__)
// A link inside the tree whose target cannot be resolved (a link to itself,
// two links to each other, a target behind a directory that may not be
// searched) is a link inside the tree all the same, refused as a dangling
// one is, never judged as outside.
TEST(Delete, LinksWhoseTargetCannotBeResolvedAreRefusedAsLinks) {
    edtest::temp_tree tree;
    tree.mkdir("R/locked/x");
    ASSERT_EQ(::symlink("self", tree.path("R/self").c_str()), 0);
    ASSERT_EQ(::symlink("other", tree.path("R/one").c_str()), 0);
    ASSERT_EQ(::symlink("one", tree.path("R/other").c_str()), 0);
    ASSERT_EQ(::symlink("locked/x", tree.path("R/behind").c_str()), 0);
    ASSERT_EQ(::symlink("gone", tree.path("R/dangling").c_str()), 0);
    scan(tree.path("R"));
    ASSERT_EQ(::chmod(tree.path("R/locked").c_str(), 0), 0);
    {
        const edtest::without_permission_override as_anyone;
        for (const char *link : {"R/self", "R/self/", "R/one", "R/behind", "R/dangling"}) {
            for (const bool directory : {true, false}) {
                const std::string json = to_json({tree.path(link)});
                EXPECT_EQ(directory ? edclean_delete_dirs(json.c_str())
                                    : edclean_delete_files(json.c_str()),
                          0)
                    << link;
                EXPECT_STREQ(edclean_last_error(), "refused: symlink") << link;
                std::string object = link;
                if (object.back() == '/')
                    object.pop_back();
                EXPECT_TRUE(fs::is_symlink(tree.path(object))) << link;
            }
        }
    }
    ::chmod(tree.path("R/locked").c_str(), 0755);
}
#endif

// A text without a name names the current directory through ".", which the
// system refuses to remove: so does the library, at the root and below it,
// and the directory stays.
TEST(Delete, TheCurrentDirectoryThroughDotIsNotRemoved) {
    edtest::temp_tree tree;
    tree.mkdir("R/sub");
    scan(tree.path("R"));
    const char *const spellings[] = {".", "./", "././", ".//."};
    for (const char *cwd : {"R/sub", "R"}) {
        const scoped_cwd inside(tree.path(cwd));
        for (const char *spelling : spellings) {
            const std::string where = std::string(cwd) + ", " + spelling;
            EXPECT_EQ(edclean_delete_dirs(to_json({spelling}).c_str()), 0) << where;
            EXPECT_STREQ(edclean_last_error(), "rmdir failed") << where;
            EXPECT_EQ(edclean_delete_files(to_json({spelling}).c_str()), 0) << where;
            EXPECT_STREQ(edclean_last_error(), "refused: not a regular file") << where;
            EXPECT_TRUE(tree.exists(cwd)) << where;
        }
    }
}
#endif

// A generated tree of a few thousand entries: everything the scan lists
// goes, everything else stays with its bytes, and a second scan lists only
// directories that held nothing but listed entries.
TEST(Delete, WholeCycleOnAGeneratedTree) {
    edtest::temp_tree tree;
    std::mt19937 rng(20261210);
    std::map<std::string, std::string> data_files; // relative path -> bytes
    for (int top = 0; top < 40; ++top) {
        const std::string t = edtest::numbered("t", top);
        for (int sub = 0; sub < 12; ++sub) {
            const std::string s = t + edtest::numbered("/s", sub);
            switch (rng() % 5) {
            case 0:
                tree.mkdir(s + "/chain/of/empties");
                break;
            case 1:
                tree.file(s + edtest::numbered("/zero", rng() % 100));
                break;
            case 2: {
                const std::string rel = s + "/data.bin";
                const std::string bytes(1 + rng() % 64, static_cast<char>('a' + rng() % 26));
                tree.write(rel, bytes);
                data_files[rel] = bytes;
                break;
            }
            case 3:
                tree.mkdir(s + "/.hidden_empty");
                tree.mkdir(s + "/visible_empty");
                break;
            default:
                for (int k = 0; k < 5; ++k)
                    tree.mkdir(s + edtest::numbered("/e", k));
                tree.file(s + "/.keep");
                break;
            }
        }
    }
    const scan_lists first = scan(tree.root());
    ASSERT_FALSE(first.empty_dirs.empty());
    ASSERT_FALSE(first.zero_files.empty());

    EXPECT_EQ(edclean_delete_files(to_json(first.zero_files).c_str()),
              static_cast<int32_t>(first.zero_files.size()))
        << edclean_last_error();
    EXPECT_EQ(edclean_delete_dirs(to_json(first.empty_dirs).c_str()),
              static_cast<int32_t>(first.empty_dirs.size()))
        << edclean_last_error();
    for (const std::string &p : first.zero_files)
        EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
    for (const std::string &p : first.empty_dirs)
        EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
    for (const auto &[rel, bytes] : data_files) {
        std::ifstream in(tree.path(rel), std::ios::binary);
        const std::string read((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        EXPECT_EQ(read, bytes) << rel;
    }
    for (const std::string &p : first.empty_dirs)
        EXPECT_TRUE(std::find(first.zero_files.begin(), first.zero_files.end(), p) ==
                    first.zero_files.end());

    // A directory listed now held only listed entries before.
    const scan_lists second = scan(tree.root());
    EXPECT_TRUE(second.zero_files.empty());
    for (const std::string &dir : second.empty_dirs) {
        EXPECT_TRUE(std::find(first.empty_dirs.begin(), first.empty_dirs.end(), dir) ==
                    first.empty_dirs.end())
            << dir;
        EXPECT_TRUE(fs::is_empty(dir)) << dir;
    }
    EXPECT_FALSE(second.empty_dirs.empty()) << "directories emptied by the removal are found now";
}

} // namespace
