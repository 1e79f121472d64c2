#include <gtest/gtest.h>

#include <string>

#include "core/ed_path_rules.h"
#include "test_support.h"

namespace {

TEST(JoinPath, AddsOneSlashOnlyWhereNeeded) {
    struct {
        const char *dir, *name, *joined;
    } const cases[] = {
        {"C:/", "x", "C:/x"}, {"C:/a", "x", "C:/a/x"},       {"", "x", "/x"},
        {"/", "x", "/x"},     {"C:\\x\\", "y", "C:\\x\\/y"},
    };
    for (const auto &c : cases) {
        char out[ED_PATH_BUFFER];
        ASSERT_EQ(ed_join_path(out, sizeof out, c.dir, c.name), 0) << c.dir;
        EXPECT_STREQ(out, c.joined);
    }
}

TEST(JoinPath, FitsAtMostThePathLimit) {
    // 259 bytes on Windows, the system's limit for a path on Linux.
    char out[ED_PATH_BUFFER];
    const std::string fits(ED_PATH_LIMIT - 5, 'd');
    EXPECT_EQ(ed_join_path(out, sizeof out, fits.c_str(), "name"), 0);
    EXPECT_EQ(std::string(out).size(), ED_PATH_LIMIT);
    EXPECT_EQ(ed_join_path(out, sizeof out, (fits + "d").c_str(), "name"), -1);
}

TEST(JoinPath, RefusesNullAndZeroSize) {
    char out[8];
    EXPECT_EQ(ed_join_path(nullptr, 8, "a", "b"), -1);
    EXPECT_EQ(ed_join_path(out, 0, "a", "b"), -1);
    EXPECT_EQ(ed_join_path(out, 8, nullptr, "b"), -1);
    EXPECT_EQ(ed_join_path(out, 8, "a", nullptr), -1);
}

TEST(HiddenName, Table) {
    struct {
        const char *name;
        int hidden;
    } const cases[] = {
        {nullptr, 0}, {"", 0},   {".", 0}, {"..", 0}, {"...", 1}, {".git", 1},
        {"..a", 1},   {"./", 1}, {"a", 0}, {"a.", 0}, {" .a", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_is_hidden_name(c.name), c.hidden) << (c.name ? c.name : "(null)");
}

TEST(DotDot, Table) {
    struct {
        const char *path;
        int dotdot;
    } const cases[] = {
        {nullptr, 1},    {"", 0},         {".", 0},       {"..", 1},           {"a/..", 1},
        {"../a", 1},     {"a/../b", 1},   {"a/../", 1},   {"/..", 1},          {"./..", 1},
        {"//..//", 1},   {"x/.../..", 1}, {"a..b", 0},    {"..a", 0},          {"a/..b", 0},
        {"a/b..", 0},    {"...", 0},      {".../a", 0},   {"a/...", 0},        {"a/..../b", 0},
        {"a\\..\\b", 0}, {"..\\a", 0},    {"a/..\\b", 0}, {"C:\\x\\..\\y", 0}, {"C:/x/../y", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_path_has_dotdot(c.path), c.dotdot) << (c.path ? c.path : "(null)");
}

TEST(CanonicalForm, Table) {
    std::string longest = "/";
    longest.append(ED_PATH_LIMIT - 1, 'd');
    struct {
        std::string path;
        int canonical;
    } const cases[] = {
        {"/a", 1},
        {"/a/b.c/.d/..e", 1},
        {"/a b/c", 1},
        {longest, 1},
        {longest + "d", 0},
        {"", 0},
        {"a/b", 0},
        {"/", 0},
        {"//a", 0},
        {"/a//b", 0},
        {"/a/", 0},
        {"/a/.", 0},
        {"/a/./b", 0},
        {"/a/..", 0},
        {"/a/../b", 0},
        {"/.", 0},
        {"C:/a", 0},
        {"./a", 0},
        // A backslash separates only on Windows, where no path written this
        // way is canonical; elsewhere it is a byte of a name.
        {"/a\\b", ed_backslash_separates ? 0 : 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_has_canonical_form(c.path.c_str()), c.canonical) << c.path;
    EXPECT_EQ(ed_has_canonical_form(nullptr), 0);
}

TEST(UnderRoot, Table) {
    struct {
        const char *path, *root;
        int under;
    } const cases[] = {
        {"C:/a", "C:/a", 1},    {"C:/a/b", "C:/a", 1}, {"C:/ab", "C:/a", 0},
        {"C:/a/b", "C:/a/", 1}, {"C:/x", "C:/", 1},    {"C:/a", "", 0},
        {nullptr, "C:/a", 0},   {"C:/a", nullptr, 0},  {"C:/", "C:/a", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_path_under_root(c.path, c.root), c.under)
            << (c.path ? c.path : "(null)") << " under " << (c.root ? c.root : "(null)");
}

TEST(SystemRoot, LiteralsAndEmptyAreProtectedWithoutHome) {
    edtest::scoped_env home("HOME", std::nullopt);
    edtest::scoped_env profile("USERPROFILE", std::nullopt);
    for (const char *p :
         {"", "/", "/usr", "/usr/", "C:\\Windows", "C:/Windows", "c:\\windows", "c:/windows"})
        EXPECT_EQ(ed_is_system_root(p), 1) << p;
    EXPECT_EQ(ed_is_system_root(nullptr), 1);
    // A drive root and places below the Windows directory are not protected.
    for (const char *p : {"C:/", "C:/Windows/Temp"})
        EXPECT_EQ(ed_is_system_root(p), 0) << p;
}

TEST(SystemRoot, TheWindowsDirectoryInAnySpellingThatResolvesToIt) {
    edtest::scoped_env home("HOME", std::nullopt);
    edtest::scoped_env profile("USERPROFILE", std::nullopt);
    // On Windows the file system ignores case, so every spelling names the
    // one directory; elsewhere these are just texts that name nothing.
#if defined(_WIN32)
    const int expected = 1;
#else
    const int expected = 0;
#endif
    for (const char *p :
         {"C:\\WINDOWS", "C:/Windows/", "c:/WINDOWS/", "C:/windows", "C:\\Windows\\"})
        EXPECT_EQ(ed_is_system_root(p), expected) << p;
}

#if defined(_WIN32)
TEST(SystemRoot, ProfileStandsForHomeOnlyWhereHomeIsNotSet) {
    edtest::temp_tree tree;
    const std::string profile = tree.mkdir("profile");
    const std::string other = tree.mkdir("other");
    edtest::scoped_env user_profile("USERPROFILE", profile);
    for (const std::optional<std::string> &unset :
         {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        edtest::scoped_env home("HOME", unset);
        EXPECT_EQ(ed_is_system_root(profile.c_str()), 1);
        EXPECT_EQ(ed_is_system_root(other.c_str()), 0);
    }
    edtest::scoped_env home("HOME", other);
    EXPECT_EQ(ed_is_system_root(profile.c_str()), 0);
    EXPECT_EQ(ed_is_system_root(other.c_str()), 1);
}
#else
TEST(SystemRoot, ProfileIsNotConsultedOnLinux) {
    edtest::temp_tree tree;
    const std::string profile = tree.mkdir("profile");
    edtest::scoped_env user_profile("USERPROFILE", profile);
    edtest::scoped_env home("HOME", std::nullopt);
    EXPECT_EQ(ed_is_system_root(profile.c_str()), 0);
}
#endif

TEST(SystemRoot, ProtectsHomeInEveryFormThatResolvesToIt) {
    edtest::temp_tree tree;
    const std::string home = tree.mkdir("home");
    edtest::scoped_env env("HOME", home);
    EXPECT_EQ(ed_is_user_home(tree.canonical_path("home").c_str()), 1);
    EXPECT_EQ(ed_is_user_home(home.c_str()), tree.canonical_path("home") == home ? 1 : 0);
    EXPECT_EQ(ed_is_system_root(home.c_str()), 1);
    EXPECT_EQ(ed_is_system_root((home + "/").c_str()), 1);
    // A missing path right below home resolves to home itself.
    EXPECT_EQ(ed_is_system_root((home + "/missing/deeper").c_str()), 1);
    tree.mkdir("home/sub");
    EXPECT_EQ(ed_is_system_root((home + "/sub").c_str()), 0);
    EXPECT_EQ(ed_is_system_root(tree.root().c_str()), 0);
}

TEST(SystemRoot, EmptyOrUnsetHomeProtectsNothing) {
    edtest::temp_tree tree;
    for (const std::optional<std::string> &value :
         {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        edtest::scoped_env env("HOME", value);
        EXPECT_EQ(ed_is_user_home(tree.canonical().c_str()), 0);
        EXPECT_EQ(ed_is_user_home(""), 0);
        EXPECT_EQ(ed_is_system_root(tree.root().c_str()), 0);
    }
    EXPECT_EQ(ed_is_user_home(nullptr), 0);
}

TEST(SystemRoot, UnresolvableHomeIsComparedAsWritten) {
    edtest::scoped_env env("HOME", std::string("no-such-home-dir"));
    EXPECT_EQ(ed_is_user_home("no-such-home-dir"), 1);
    EXPECT_EQ(ed_is_system_root("no-such-home-dir"), 1);
}

#if !defined(_WIN32)
// The comparison a delete call makes for each canonical path, with HOME
// read once for the call: the same answers as ed_is_system_root().
TEST(SystemRoot, CanonicalPathsAgainstFormsResolvedOncePerCall) {
    edtest::temp_tree tree;
    tree.mkdir("home/sub");
    if (!tree.symlink(tree.path("home"), "link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    // HOME spelled through a link: its canonical form is what is protected.
    edtest::scoped_env env("HOME", tree.path("link"));
    ed_protected_forms forms;
    for (const std::string &path :
         {std::string("/"), std::string("/usr"), tree.canonical_path("home"),
          tree.canonical_path("home/sub"), tree.canonical(), std::string("/usr/share")}) {
        EXPECT_EQ(ed_is_system_root_canonical(path.c_str(), &forms),
                  ed_is_system_root(path.c_str()))
            << path;
    }
    EXPECT_EQ(ed_is_system_root_canonical(tree.canonical_path("home").c_str(), &forms), 1);
    // Resolved once: a later change of HOME is not seen by the same call.
    edtest::scoped_env later("HOME", tree.path("home/sub"));
    EXPECT_EQ(ed_is_system_root_canonical(tree.canonical_path("home").c_str(), &forms), 1);
    EXPECT_EQ(ed_is_system_root_canonical(nullptr, &forms), 1);
    EXPECT_EQ(ed_is_system_root_canonical("", &forms), 1);
}

TEST(SystemRoot, CanonicalRootAndUsrAreProtected) {
    edtest::scoped_env home("HOME", std::nullopt);
    EXPECT_EQ(ed_is_system_root("//"), 1);
    EXPECT_EQ(ed_is_system_root("/usr/."), 1);
    EXPECT_EQ(ed_is_system_root("/usr/no-such-dir-here"), 1);
    EXPECT_EQ(ed_is_system_root("/usr/share"), 0);
}
#endif

} // namespace
