// The scan call as a host sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#endif

namespace {

struct result_deleter {
    void operator()(char *text) const noexcept { edclean_free_string(text); }
};
using result_text = std::unique_ptr<char, result_deleter>;

using parsed_result = edclean_json_io::scan_lists;

parsed_result parse(const char *text) {
    std::optional<parsed_result> r = edclean_json_io::read_scan_result(text);
    EXPECT_TRUE(r) << text;
    return r.value_or(parsed_result{});
}

parsed_result scan_ok(const std::string &dirs, const char *options = nullptr) {
    result_text text(edclean_scan(dirs.c_str(), options));
    EXPECT_TRUE(text) << edclean_last_error();
    if (!text)
        return {};
    EXPECT_STREQ(edclean_last_error(), "");
    return parse(text.get());
}

TEST(Scan, ResultTextIsExactlyTheDocumentedForm) {
    edtest::temp_tree tree;
    tree.file("archive/notes.txt");
    tree.mkdir("archive/old/tmp");
    result_text text(edclean_scan(edtest::json_array({tree.path("archive")}).c_str(), nullptr));
    ASSERT_TRUE(text) << edclean_last_error();
    const std::string c = tree.canonical_path("archive");
    EXPECT_EQ(std::string(text.get()), "{\"empty_dirs\":[\"" + c + "/old/tmp\",\"" + c +
                                           "/old\"],\"zero_files\":[\"" + c +
                                           "/notes.txt\"],\"scanned_dirs\":3}");
}

TEST(Scan, EmptyRootListsItsCanonicalPathAndCountsOne) {
    edtest::temp_tree tree;
    tree.mkdir("e");
    const parsed_result r = scan_ok(edtest::json_array({tree.path("e") + "/"}));
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("e")});
    EXPECT_TRUE(r.zero_files.empty());
    EXPECT_EQ(r.scanned_dirs, 1);
}

TEST(Scan, KeysKeepTheirOrderWhenBothListsAreEmpty) {
    edtest::temp_tree tree;
    tree.write("data", "x");
    result_text text(edclean_scan(edtest::json_array({tree.root()}).c_str(), "{}"));
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), R"({"empty_dirs":[],"zero_files":[],"scanned_dirs":1})");
}

TEST(Scan, OptionsChangeWhatIsListed) {
    edtest::temp_tree tree;
    tree.file("z");
    tree.mkdir("d/.cache");
    const std::string dirs = edtest::json_array({tree.root()});
    for (const char *defaults :
         {static_cast<const char *>(nullptr), "", "{}", "{ }", "{\"other\":5}"}) {
        const parsed_result r = scan_ok(dirs, defaults);
        EXPECT_EQ(r.zero_files, std::vector<std::string>{tree.canonical_path("z")});
        EXPECT_TRUE(r.empty_dirs.empty());
    }
    EXPECT_TRUE(scan_ok(dirs, R"({"include_zero_byte":false})").zero_files.empty());
    const parsed_result hidden = scan_ok(dirs, R"({"include_hidden":true})");
    EXPECT_EQ(hidden.empty_dirs, (std::vector<std::string>{tree.canonical_path("d/.cache"),
                                                           tree.canonical_path("d")}));
}

// The text of a scan, byte for byte.
std::string scan_text(const std::string &dirs, const char *options) {
    result_text text(edclean_scan(dirs.c_str(), options));
    EXPECT_TRUE(text) << edclean_last_error();
    return text ? std::string(text.get()) : std::string();
}

TEST(Scan, NewOptionsAbsentOrAtTheirDefaultsChangeNothing) {
    edtest::temp_tree tree;
    tree.file("z");
    tree.mkdir("d/e");
    tree.mkdir("n/node_modules");
    tree.mkdir(".h");
    const std::string dirs = edtest::json_array({tree.root()});
    const std::string plain = scan_text(dirs, nullptr);
    for (const char *same :
         {R"({"exclude":[]})", R"({"exclude":"node_modules"})", R"({"exclude":["x",1]})",
          R"({"exclude":null})", R"({"min_age_seconds":0})", R"({"min_age_seconds":"3600"})",
          R"({"min_age_seconds":3600.5})", R"({"min_age_seconds":true})",
          R"({"report_left_out":false})", R"({"report_left_out":0})",
          R"({"report_left_out":"yes"})", R"({"progress_fd":-1})", R"({"progress_fd":"1"})"})
        EXPECT_EQ(scan_text(dirs, same), plain) << same;
}

TEST(Scan, ExcludedNamesAreNeitherWalkedNorListed) {
    edtest::temp_tree tree;
    tree.mkdir("n/node_modules/pkg");
    tree.file("n/AUDIO_TS/z");
    tree.mkdir("e");
    const std::string dirs = edtest::json_array({tree.root()});
    const parsed_result r = scan_ok(dirs, R"({"exclude":["node_modules","AUDIO_?S"]})");
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("e")});
    EXPECT_TRUE(r.zero_files.empty());
    EXPECT_EQ(r.scanned_dirs, 3); // the root, n and e
}

TEST(Scan, AgeGuardLeavesYoungEntriesOut) {
    edtest::temp_tree tree;
    tree.mkdir("old/young");
    tree.mkdir("aged");
    tree.file("fresh");
    tree.file("stale");
    for (const char *aged : {"old", "aged", "stale"})
        ASSERT_TRUE(edtest::set_modified_ago(tree.path(aged), 2 * 86400)) << aged;
    const std::string dirs = edtest::json_array({tree.root()});
    const parsed_result r = scan_ok(dirs, R"({"min_age_seconds":86400})");
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("aged")});
    EXPECT_EQ(r.zero_files, std::vector<std::string>{tree.canonical_path("stale")});
    EXPECT_EQ(r.scanned_dirs, 4);
    // An age beyond any clock: everything is young.
    const parsed_result none = scan_ok(dirs, R"({"min_age_seconds":18446744073709551615})");
    EXPECT_TRUE(none.empty_dirs.empty());
    EXPECT_TRUE(none.zero_files.empty());
}

// What a scan passed by is told only to a host that asks, as one member
// after the others; the rest of the text is what it always was.
TEST(ScanLeftOut, AskingAddsOneMemberAndChangesNothingElse) {
    edtest::temp_tree tree;
    tree.file("archive/notes.txt");
    tree.mkdir("archive/old/tmp");
    tree.mkdir("archive/.h/e");
    tree.file("archive/x.tmp");
    const std::string dirs = edtest::json_array({tree.path("archive")});
    const std::string plain = scan_text(dirs, R"({"exclude":["*.tmp"]})");
    ASSERT_EQ(plain.back(), '}');
    EXPECT_EQ(scan_text(dirs, R"({"exclude":["*.tmp"],"report_left_out":true})"),
              plain.substr(0, plain.size() - 1) +
                  R"(,"left_out":{"hidden":1,"excluded":1,"young":0,"invalid_names":0,)"
                  R"("unreadable_dirs":0,"unreadable_paths":[]}})");
}

// A tree that holds one of each thing a scan passes by, counted the same
// with one thread and with several.
class ScanLeftOutCounts : public ::testing::Test {
  protected:
    void SetUp() override {
        tree_.mkdir("r/.hidden/inner"); // passed by whole: what it holds is not counted
        tree_.file("r/.dot");
        tree_.mkdir("r/node_modules/pkg");
        tree_.file("r/a.tmp");
        tree_.file("r/.cache.tmp"); // hidden first, excluded once hidden names are walked
        tree_.mkdir("r/young");
        tree_.file("r/z");
        tree_.mkdir("r/kept/old");
        for (const char *aged : {"r/kept/old", "r/kept"})
            ASSERT_TRUE(edtest::set_modified_ago(tree_.path(aged), 2 * 3600)) << aged;
#if !defined(_WIN32)
        // A name that is not UTF-8 is never handed to a host.
        ASSERT_EQ(::mkdir((tree_.path("r") + "/bad\xff").c_str(), 0700), 0);
        invalid_ = 1;
        tree_.mkdir("r/locked/x");
        ASSERT_EQ(chmod(tree_.path("r/locked").c_str(), 0), 0);
#endif
    }
    void TearDown() override {
#if !defined(_WIN32)
        chmod(tree_.path("r/locked").c_str(), 0700);
#endif
    }

    edclean_json_io::left_out_report scan_left_out(const std::string &options) {
        const std::string text = scan_text(edtest::json_array({tree_.path("r")}), options.c_str());
        const std::optional<parsed_result> r = edclean_json_io::read_scan_result(text.c_str());
        if (!r || !r->left_out) {
            ADD_FAILURE() << "no left_out in " << text;
            return {};
        }
        return *r->left_out;
    }

    edtest::temp_tree tree_;
    long long invalid_ = 0;
};

TEST_F(ScanLeftOutCounts, EachReasonIsCountedOnceWhateverTheThreads) {
    struct {
        const char *name;
        const char *options;
        long long hidden, excluded, young;
    } const cases[] = {
        {"defaults", R"("exclude":["node_modules","*.tmp"])", 3, 2, 0},
        {"hidden_walked", R"("exclude":["node_modules","*.tmp"],"include_hidden":true)", 0, 3, 0},
        // Only what the age guard kept from the lists: "young" and "z", not
        // the folders that hold them; "kept/old" is old enough to be listed.
        {"age_guard", R"("exclude":["node_modules","*.tmp"],"min_age_seconds":3600)", 3, 2, 2},
        {"zero_files_off",
         R"("exclude":["node_modules","*.tmp"],"min_age_seconds":3600,"include_zero_byte":false)",
         3, 2, 1},
    };
#if !defined(_WIN32)
    const edtest::without_permission_override as_anyone;
#endif
    for (const auto &c : cases)
        for (const char *threads : {"1", "8"}) {
            SCOPED_TRACE(std::string(c.name) + " threads " + threads);
            const std::string options = std::string("{\"report_left_out\":true,") + c.options +
                                        ",\"threads\":" + threads + "}";
            const edclean_json_io::left_out_report got = scan_left_out(options);
            EXPECT_EQ(got.hidden, c.hidden);
            EXPECT_EQ(got.excluded, c.excluded);
            EXPECT_EQ(got.young, c.young);
            EXPECT_EQ(got.invalid_names, invalid_);
#if !defined(_WIN32)
            EXPECT_EQ(got.unreadable_dirs, 1);
            EXPECT_EQ(got.unreadable_paths,
                      std::vector<std::string>{tree_.canonical_path("r/locked")});
#else
            EXPECT_EQ(got.unreadable_dirs, 0);
#endif
        }
}

TEST(ScanLeftOut, UnreadablePathsAreTheFirstFewAndEachOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "no folder here that the scan can reach but not list";
#else
    edtest::temp_tree tree;
    std::vector<std::string> locked;
    for (int i = 0; i < 7; ++i) {
        const std::string name = edtest::numbered("r/d", i) + "/locked";
        tree.mkdir(name);
        ASSERT_EQ(chmod(tree.path(name).c_str(), 0), 0);
        locked.push_back(tree.path(name));
    }
    {
        const edtest::without_permission_override as_anyone;
        // The tree twice: counted per root that reaches it, named once.
        const std::string text = scan_text(edtest::json_array({tree.path("r"), tree.path("r")}),
                                           R"({"report_left_out":true})");
        const std::optional<parsed_result> r = edclean_json_io::read_scan_result(text.c_str());
        ASSERT_TRUE(r && r->left_out) << text;
        EXPECT_EQ(r->left_out->unreadable_dirs, 14);
        const std::vector<std::string> &paths = r->left_out->unreadable_paths;
        EXPECT_EQ(paths.size(), 5u) << text;
        EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size()) << text;
    }
    for (const std::string &path : locked)
        chmod(path.c_str(), 0700);
#endif
}

TEST(Scan, OptionErrorsComeBeforeArrayErrors) {
    struct {
        const char *options, *message;
    } const cases[] = {
        {"[]", "options_json must be object"},
        {"null", "options_json must be object"},
        {"1", "options_json must be object"},
        {"{", "invalid options_json"},
        {R"({"include_hidden":})", "invalid options_json"},
        {R"({"min_age_seconds":-60})", "min_age_seconds must not be negative"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan("not json", c.options), nullptr);
        EXPECT_STREQ(edclean_last_error(), c.message) << c.options;
    }
}

TEST(Scan, RootRefusalsInOrderWithTheHostText) {
    edtest::temp_tree tree;
    tree.mkdir("a");
    tree.file("file");
    tree.mkdir("home");
    edtest::scoped_env home("HOME", tree.path("home"));
    struct {
        std::string dirs, message;
    } const cases[] = {
        {edtest::json_array({tree.path("a"), ""}), "empty path in dirs"},
        {edtest::json_array({tree.path("a/../a")}), "refused: path contains .."},
        {edtest::json_array({"/"}), "refused: system root (/)"},
        {edtest::json_array({tree.path("home")}),
         "refused: system root (" + tree.path("home") + ")"},
        {edtest::json_array({tree.path("a"), tree.path("missing")}),
         "root not found: " + tree.path("missing")},
        {edtest::json_array({tree.path("file")}), "not a directory: " + tree.path("file")},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(edclean_scan(c.dirs.c_str(), nullptr), nullptr) << c.dirs;
        EXPECT_EQ(std::string(edclean_last_error()), c.message) << c.dirs;
    }
}

#if defined(_WIN32)
// The Windows directory is protected in every spelling Windows resolves to
// it, and the profile folder stands for the home when HOME is not set.
TEST(Scan, ProtectedWindowsLocationsInAnySpelling) {
    edtest::temp_tree tree;
    tree.mkdir("profile/e");
    tree.mkdir("home");
    edtest::scoped_env profile("USERPROFILE", tree.path("profile"));
    edtest::scoped_env home("HOME", std::nullopt);
    const std::vector<std::string> roots = {"C:\\WINDOWS", "c:/WINDOWS/", "C:/windows",
                                            tree.path("profile")};
    for (const std::string &root : roots) {
        EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr) << root;
        EXPECT_EQ(std::string(edclean_last_error()), "refused: system root (" + root + ")");
    }
    // Scanned from above, the profile folder is still never removed.
    scan_ok(edtest::json_array({tree.root()}));
    EXPECT_EQ(edclean_delete_dirs(
                  edtest::json_array({tree.path("profile/e"), tree.path("profile")}).c_str()),
              1);
    EXPECT_STREQ(edclean_last_error(), "refused: system root");
    EXPECT_TRUE(tree.exists("profile"));
    // Where HOME is set, it is the home, and the profile folder is not.
    edtest::scoped_env home_set("HOME", tree.path("home"));
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({tree.path("profile")}).c_str()), 1)
        << edclean_last_error();
    EXPECT_EQ(edclean_scan(edtest::json_array({tree.path("home")}).c_str(), nullptr), nullptr);
    EXPECT_EQ(std::string(edclean_last_error()),
              "refused: system root (" + tree.path("home") + ")");
}
#endif

TEST(Scan, RefusedRootsRegisterNothing) {
    edtest::temp_tree tree;
    tree.mkdir("a/e");
    EXPECT_EQ(
        edclean_scan(edtest::json_array({tree.path("a"), tree.path("missing")}).c_str(), nullptr),
        nullptr);
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({tree.path("a/e")}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(tree.exists("a/e"));
}

TEST(Scan, OverlappingAndRepeatedRootsListEachPathOnce) {
    edtest::temp_tree tree;
    tree.mkdir("inner/e");
    tree.file("inner/z");
    tree.write("keep", "x");
    const parsed_result r = scan_ok(edtest::json_array(
        {tree.root(), tree.path("inner"), tree.root() + "/", tree.path("inner")}));
    EXPECT_EQ(r.empty_dirs, std::vector<std::string>{tree.canonical_path("inner/e")});
    EXPECT_EQ(r.zero_files, std::vector<std::string>{tree.canonical_path("inner/z")});
    EXPECT_EQ(r.scanned_dirs, 3 + 2 + 3 + 2);
}

TEST(Scan, NamesAreEscapedOnlyWhereJsonRequires) {
    edtest::temp_tree tree;
    // Each name, and how the result must write it.
    std::vector<std::pair<std::string, std::string>> names = {{"caf\xc3\xa9", "caf\xc3\xa9"},
                                                              {"a/b", "a/b"}};
#if !defined(_WIN32)
    names.push_back({"q\"uote", "q\\\"uote"});
    names.push_back({"back\\slash", "back\\\\slash"});
    names.push_back({"new\nline", "new\\nline"});
#endif
    for (const auto &[n, escaped] : names)
        tree.file("d/" + n);
    result_text text(edclean_scan(edtest::json_array({tree.path("d")}).c_str(), nullptr));
    ASSERT_TRUE(text) << edclean_last_error();
    const std::string body(text.get());
    for (const auto &[n, escaped] : names) {
        std::string quoted(1, '"');
        quoted.append(tree.canonical_path("d/")).append(escaped).append(1, '"');
        EXPECT_NE(body.find(quoted), std::string::npos) << n << " in " << body;
    }
    EXPECT_EQ(body.find("\\/"), std::string::npos) << "the solidus is never escaped";
}

#if !defined(_WIN32)
TEST(Scan, SpecialFilesAsRootsAreNotDirectories) {
    edtest::temp_tree tree;
    const std::string fifo = tree.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(edclean_scan(edtest::json_array({fifo}).c_str(), nullptr), nullptr);
    EXPECT_EQ(std::string(edclean_last_error()), "not a directory: " + fifo);
    EXPECT_EQ(edclean_scan(R"(["/dev/null"])", nullptr), nullptr);
    EXPECT_STREQ(edclean_last_error(), "not a directory: /dev/null");
}
#endif

TEST(Scan, SymlinkRootIsRefused) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("target");
    if (!tree.symlink(tree.path("target"), "link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    for (const std::string &root : {tree.path("link"), tree.path("link") + "/"}) {
        EXPECT_EQ(edclean_scan(edtest::json_array({root}).c_str(), nullptr), nullptr);
        EXPECT_STREQ(edclean_last_error(), "refused: symlink root");
    }
}

#if !defined(_WIN32)
// A root named through a link ends up in the folder the link leads to: where
// that folder's name is not UTF-8, the root has no name the result could
// give, and is refused rather than handed out as bytes.
TEST(Scan, RootWhoseCanonicalFormIsNotUtf8IsRefused) {
    const struct {
        const char *folder;
        bool named;
    } cases[] = {{"good", true}, {"bad\xff", false}};
    for (const auto &c : cases) {
        edtest::temp_tree tree;
        tree.mkdir(std::string(c.folder) + "/sub/e");
        ASSERT_TRUE(tree.symlink(tree.path(c.folder), "lnk", true));
        const std::string root = tree.path("lnk") + "/sub";
        char *text = edclean_scan(edtest::json_array({root}).c_str(), nullptr);
        if (c.named) {
            ASSERT_NE(text, nullptr) << edclean_last_error();
            EXPECT_EQ(std::string(text), R"({"empty_dirs":[")" + tree.path("good/sub/e") +
                                             R"(",")" + tree.path("good/sub") +
                                             R"("],"zero_files":[],"scanned_dirs":2})");
        } else {
            EXPECT_EQ(text, nullptr) << text;
            EXPECT_EQ(std::string(edclean_last_error()), "realpath failed: " + root);
        }
        edclean_free_string(text);
    }
}

// Removes the entry `name` of the directory `parent` with all it holds,
// through descriptors only: its path may be longer than any path call takes.
void remove_tree_at(int parent, const char *name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        unlinkat(parent, name, 0);
        return;
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    for (const std::string &n : names)
        remove_tree_at(dirfd(dir), n.c_str());
    closedir(dir);
    unlinkat(parent, name, AT_REMOVEDIR);
}

// Inside the temporary folder, a chain of directories ending in "A", whose
// canonical path is about 4000 bytes, built one descriptor at a time. A
// holds an empty directory "other", and an empty directory and a zero-byte
// file with 200-byte names, whose canonical paths exceed PATH_MAX. The tests
// work from A's parent, which they make the current directory.
class BeyondPathMax : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(saved_cwd_, 0);
        top_ = open(tree_.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(top_, 0);
        int parent = dup(top_);
        size_t length = tree_.canonical().size();
        constexpr size_t kTarget = 4000;
        while (length + 2 < kTarget) { // room left for "/A"
            const size_t room = kTarget - length - 2;
            const std::string name(std::max<size_t>(1, std::min<size_t>(250, room - 1)), 'c');
            if (first_.empty())
                first_ = name;
            ASSERT_EQ(mkdirat(parent, name.c_str(), 0755), 0);
            const int child = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(parent);
            parent = child;
            ASSERT_GE(parent, 0);
            length += 1 + name.size();
        }
        above_a_ = parent;
        ASSERT_EQ(mkdirat(above_a_, "A", 0755), 0);
        ASSERT_EQ(mkdirat(above_a_, "A/other", 0755), 0);
        ASSERT_EQ(mkdirat(above_a_, ("A/" + long_name_).c_str(), 0755), 0);
        const int file = openat(above_a_, ("A/" + long_name_ + "f").c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        close(file);
        a_length_ = length + 2;
        ASSERT_LT(a_length_, static_cast<size_t>(PATH_MAX));
        ASSERT_GT(a_length_ + 1 + long_name_.size(), static_cast<size_t>(PATH_MAX));
        ASSERT_EQ(fchdir(above_a_), 0);
    }
    void TearDown() override {
        if (saved_cwd_ >= 0) {
            EXPECT_EQ(fchdir(saved_cwd_), 0);
            close(saved_cwd_);
        }
        if (above_a_ >= 0)
            close(above_a_);
        if (top_ >= 0) {
            if (!first_.empty())
                remove_tree_at(top_, first_.c_str());
            close(top_);
        }
    }
    bool exists_in_a(const std::string &name) const {
        return faccessat(above_a_, ("A/" + name).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    }

    edtest::temp_tree tree_;
    const std::string long_name_ = std::string(200, 'b');
    std::string first_;
    size_t a_length_ = 0;
    int saved_cwd_ = -1;
    int top_ = -1;
    int above_a_ = -1;
};

// A root whose object exists but has no canonical path is refused; its
// parent, which does have one, never stands in for it (it would register and
// walk a wider tree than the host named).
TEST_F(BeyondPathMax, RootIsRefusedAndItsParentNeverStandsIn) {
    const std::string root = "A/" + long_name_;
    result_text text(edclean_scan(edtest::json_array({root}).c_str(), nullptr));
    EXPECT_FALSE(text) << text.get();
    EXPECT_EQ(std::string(edclean_last_error()), "realpath failed: " + root);
    // Nothing was registered: A's empty "other" is in no scanned tree.
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({"A/other"}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(exists_in_a("other"));
}

// Inside a scanned tree, a path whose object has no canonical path is
// refused as it stands, not judged as its parent A.
TEST_F(BeyondPathMax, DeletePathIsRefusedNotJudgedAsItsParent) {
    scan_ok(edtest::json_array({tree_.root()}));
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({"A/" + long_name_}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_EQ(edclean_delete_files(edtest::json_array({"A/" + long_name_ + "f"}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_TRUE(exists_in_a(long_name_));
    EXPECT_TRUE(exists_in_a(long_name_ + "f"));
    EXPECT_TRUE(exists_in_a("other"));
}
#endif

} // namespace
