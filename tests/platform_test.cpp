#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/ed_owners.h"
#include "platform/ed_platform.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The kind ed_inspect_root() sees, its canonical text released.
ed_root_kind root_kind(const std::string &path) {
    char *canonical = nullptr;
    ed_file_id id;
    const ed_root_kind kind = ed_inspect_root(path.c_str(), &canonical, &id);
    std::free(canonical);
    return kind;
}

std::string canonical_text(const std::string &path) {
    ed_heap_text text(ed_canonical_path(path.c_str()));
    return text ? text.get() : "(null)";
}

TEST(Status, KindsAndSizes) {
    edtest::temp_tree tree;
    tree.mkdir("dir");
    tree.file("empty");
    tree.write("one", "x");
    ed_stat st;
    ASSERT_EQ(ed_fill_stat(tree.path("dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, ED_S_IFDIR);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(ed_fill_stat(tree.path("empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, ED_S_IFREG);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(ed_fill_stat(tree.path("one").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1);
}

TEST(Status, FourGibibyteFileKeepsAllSixtyFourBits) {
    edtest::temp_tree tree;
    tree.file("big", std::uintmax_t{1} << 32); // sparse where the platform allows
    ed_stat st;
    ASSERT_EQ(ed_fill_stat(tree.path("big").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, ED_S_IFREG);
    EXPECT_EQ(st.st_size, int64_t{1} << 32);
}

TEST(Status, FailsForEmptyNullAndMissingWithoutTouchingTheRecord) {
    edtest::temp_tree tree;
    ed_stat st{0x1234, 77};
    EXPECT_EQ(ed_fill_stat("", &st), -1);
    EXPECT_EQ(ed_fill_stat(nullptr, &st), -1);
    EXPECT_EQ(ed_fill_stat(tree.path("missing").c_str(), &st), -1);
    EXPECT_EQ(st.st_mode, 0x1234);
    EXPECT_EQ(st.st_size, 77);
}

TEST(Status, LinksAreNeverFollowed) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("target_dir");
    tree.file("target_file");
    if (!tree.symlink(tree.path("target_dir"), "to_dir", true) ||
        !tree.symlink(tree.path("target_file"), "to_file", false) ||
        !tree.symlink(tree.path("nowhere"), "dangling", false))
        GTEST_SKIP() << "this account may not create symbolic links";
    for (const char *link : {"to_dir", "to_dir/", "to_file", "dangling"}) {
        ed_stat st{};
        ASSERT_EQ(ed_fill_stat(tree.path(link).c_str(), &st), 0) << link;
        EXPECT_EQ(st.st_mode & ED_S_IFMT, ED_S_IFLNK) << link;
        EXPECT_EQ(st.st_size, 0) << link;
    }
}

#if !defined(_WIN32)
TEST(Status, FifoAndSocketKeepTheirOwnKind) {
    edtest::temp_tree tree;
    ASSERT_EQ(mkfifo(tree.path("fifo").c_str(), 0600), 0);
    ed_stat st;
    ASSERT_EQ(ed_fill_stat(tree.path("fifo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, 0x1000);
    ASSERT_EQ(ed_fill_stat("/dev/null", &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, 0x2000);
    EXPECT_EQ(root_kind(tree.path("fifo")), ED_ROOT_OTHER);
    // Opening a FIFO as a directory must fail at once, never block.
    EXPECT_EQ(ed_opendir(tree.path("fifo").c_str()), nullptr);
}
#endif

// Every name the stream hands out for the directory at `path`.
std::set<std::string> names_in(const std::string &path) {
    std::set<std::string> names;
    ed_dir *dir = ed_opendir(path.c_str());
    EXPECT_NE(dir, nullptr) << path;
    while (const char *name = ed_readdir(dir))
        names.insert(name);
    ed_closedir(dir);
    return names;
}

TEST(DirectoryStream, EmptyDirectoryHandsOutNothing) {
    edtest::temp_tree tree;
    ed_dir *dir = ed_opendir(tree.root().c_str());
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(ed_readdir(dir), nullptr);
    EXPECT_EQ(ed_dir_has_next(dir), 0);
    EXPECT_EQ(ed_readdir(dir), nullptr);
    ed_closedir(dir);
}

TEST(DirectoryStream, TwoEntriesThenEndWithLookAhead) {
    edtest::temp_tree tree;
    tree.mkdir("a");
    tree.file("b");
    ed_dir *dir = ed_opendir((tree.root() + "/").c_str()); // trailing separator adds no second one
    ASSERT_NE(dir, nullptr);
    std::set<std::string> names;
    const char *first = ed_readdir(dir);
    ASSERT_NE(first, nullptr);
    names.insert(first);
    const char *second = ed_readdir(dir);
    ASSERT_NE(second, nullptr);
    names.insert(second);
    EXPECT_EQ(ed_dir_has_next(dir), 0) << "the stream knows its end once the last entry is out";
    EXPECT_EQ(ed_readdir(dir), nullptr);
    ed_closedir(dir);
    EXPECT_EQ(names, (std::set<std::string>{"a", "b"}));
}

// Whether what a stream tells of an entry's kind for free fits the entry:
// nothing at all, or its kind, and "holds data" only for a file that does.
bool hint_fits(ed_entry_hint hint, char kind) {
    switch (hint) {
    case ED_HINT_UNKNOWN:
        return true;
    case ED_HINT_DIR:
        return kind == 'd';
    case ED_HINT_REG:
        return kind == '0' || kind == 'x';
    case ED_HINT_REG_DATA:
        return kind == 'x';
    default:
        return false;
    }
}

TEST(DirectoryStream, DirectoryOfManyBatchesHandsOutEveryEntryOnceWithItsKind) {
    // Long names make each listed record large, so the stream has to read
    // the directory in several batches and go on where each one stopped.
    edtest::temp_tree tree;
    const std::string stem = "an-entry-whose-name-is-long-enough-to-fill-a-listing-batch-";
    std::map<std::string, char> expected; // '0' empty file, 'x' file with data, 'd' directory
    for (int i = 0; i < 1000; ++i) {
        const std::string name = edtest::numbered(stem.c_str(), i);
        const char kind = "0xd"[i % 3];
        if (kind == '0')
            tree.file(name);
        else if (kind == 'x')
            tree.write(name, "x");
        else
            tree.mkdir(name);
        expected[name] = kind;
    }
    ed_dir_stream dir(ed_opendir(tree.root().c_str()));
    ASSERT_TRUE(dir);
    std::map<std::string, char> seen;
    size_t handed_out = 0;
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir.get(), &hint)) {
        ++handed_out;
        const auto it = expected.find(name);
        if (it == expected.end()) {
            ADD_FAILURE() << "not made here: " << name;
            continue;
        }
        EXPECT_TRUE(hint_fits(hint, it->second)) << name << " hint " << hint;
        seen.insert(*it);
    }
    EXPECT_EQ(ed_dir_has_next(dir.get()), 0);
    EXPECT_EQ(seen.size(), expected.size()) << "every entry";
    EXPECT_EQ(handed_out, expected.size()) << "each entry once";
}

TEST(DirectoryStream, EarlyStopReleasesTheDirectory) {
    edtest::temp_tree tree;
    tree.mkdir("d/a");
    tree.mkdir("d/b");
    ed_dir *dir = ed_opendir(tree.path("d").c_str());
    ASSERT_NE(dir, nullptr);
    ASSERT_NE(ed_readdir(dir), nullptr);
    EXPECT_EQ(ed_dir_has_next(dir), 1);
    ed_closedir(dir);
    // A handle left open would keep the directory from going on Windows.
    std::error_code error;
    std::filesystem::remove_all(tree.path("d"), error);
    EXPECT_FALSE(error) << error.message();
    ed_closedir(nullptr);
}

TEST(DirectoryStream, FailsForFilesMissingAndEmptyPaths) {
    edtest::temp_tree tree;
    tree.file("f");
    EXPECT_EQ(ed_opendir(tree.path("f").c_str()), nullptr);
    EXPECT_EQ(ed_opendir(tree.path("missing").c_str()), nullptr);
    EXPECT_EQ(ed_opendir(""), nullptr);
    EXPECT_EQ(ed_opendir(nullptr), nullptr);
    EXPECT_EQ(ed_readdir(nullptr), nullptr);
}

TEST(DirectoryStream, OverlongPathFailsCleanly) {
    const std::string huge(9000, 'a');
    EXPECT_EQ(ed_opendir(huge.c_str()), nullptr);
}

#if !defined(_WIN32)
TEST(DirectoryStream, NameThatIsNotUtf8ComesOutUnnameable) {
    edtest::temp_tree tree;
    tree.file("bad\xff");
    const std::set<std::string> names = names_in(tree.root());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(*names.begin(), ed_unnameable_entry);
    EXPECT_TRUE(ed_is_unnameable_entry(names.begin()->c_str()));
}
#endif

#if defined(_WIN32)
TEST(DirectoryStream, NameTooLongForTheBufferComesOutUnnameable) {
    // 200 three-byte characters need 600 UTF-8 bytes, more than the buffer.
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine keeps names within the host file system's 255-byte limit";
    edtest::temp_tree tree;
    std::wstring name(200, L'\x20AC');
    const std::wstring path = std::filesystem::path(tree.root()).wstring() + L"\\" + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the file system refused a 200-character name";
    CloseHandle(h);
    const std::set<std::string> names = names_in(tree.root());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(*names.begin(), ed_unnameable_entry);
}
#endif

TEST(ModificationTime, OfEntriesAndOfTheStreamsDirectoryOnTheSystemClock) {
    edtest::temp_tree tree;
    tree.mkdir("d");
    tree.file("f");
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("d"), 1000));
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("f"), 2000));
    constexpr ed_time kSecond = 1000000000;
    const ed_time now = ed_clock_now();
    // Some time after 2020, as a sanity check of the epoch and the unit.
    EXPECT_GT(now, 1577836800 * kSecond);

    ed_dir_stream root(ed_opendir(tree.root().c_str()));
    ASSERT_TRUE(root);
    while (ed_readdir(root.get()) != nullptr) { // entries are asked about once listed
    }
    ed_time d_time = 0;
    ed_time f_time = 0;
    ASSERT_EQ(ed_modified_at(root.get(), "d", &d_time), 0);
    ASSERT_EQ(ed_modified_at(root.get(), "f", &f_time), 0);
    EXPECT_NEAR(static_cast<double>(now - d_time) / kSecond, 1000.0, 5.0);
    EXPECT_NEAR(static_cast<double>(now - f_time) / kSecond, 2000.0, 5.0);

    ed_dir_stream d(ed_opendir_at(root.get(), "d"));
    ASSERT_TRUE(d);
    ed_time itself = 0;
    ASSERT_EQ(ed_modified_at(d.get(), nullptr, &itself), 0);
    EXPECT_EQ(itself, d_time);

    ed_time untouched = 42;
    EXPECT_EQ(ed_modified_at(root.get(), "missing", &untouched), -1);
    EXPECT_EQ(ed_modified_at(root.get(), "", &untouched), -1);
    EXPECT_EQ(ed_modified_at(nullptr, "d", &untouched), -1);
    EXPECT_EQ(untouched, 42);
}

TEST(ModificationTime, OfALinkItself) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("target");
    if (!tree.symlink(tree.path("target"), "link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("target"), 5000));
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("link"), 100));
    ed_dir_stream root(ed_opendir(tree.root().c_str()));
    ASSERT_TRUE(root);
    ed_time link_time = 0;
    ASSERT_EQ(ed_modified_at(root.get(), "link", &link_time), 0);
    EXPECT_NEAR(static_cast<double>(ed_clock_now() - link_time) / 1e9, 100.0, 5.0);
}

TEST(CanonicalPath, ResolvesExistingAndFallsBackToNearestAncestor) {
    edtest::temp_tree tree;
    tree.mkdir("Old");
    tree.file("Old/file");
    EXPECT_EQ(canonical_text(tree.path("Old")), tree.canonical_path("Old"));
    EXPECT_EQ(canonical_text(tree.path("Old") + "/"), tree.canonical_path("Old"));
    EXPECT_EQ(canonical_text(tree.path("Old/file")), tree.canonical_path("Old/file"));
    EXPECT_EQ(canonical_text(tree.path("Old/missing.txt")), tree.canonical_path("Old"));
    EXPECT_EQ(canonical_text(tree.path("Gone/a/b")), tree.canonical());
    ed_heap_text direct(ed_canonical_path(tree.path("Old").c_str()));
    ASSERT_TRUE(direct);
    EXPECT_EQ(std::string(direct.get()), tree.canonical_path("Old"));
}

TEST(CanonicalPath, NullForTextsWithNoResolvableAncestor) {
    EXPECT_EQ(ed_canonical_path(""), nullptr);
    EXPECT_EQ(ed_canonical_path(nullptr), nullptr);
    EXPECT_EQ(ed_canonical_path("no-such-loose-name-here"), nullptr);
    EXPECT_EQ(ed_canonical_path("/no-such-loose-name-here"), nullptr);
}

TEST(CanonicalPath, LinksAreResolved) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    tree.mkdir("store/x");
    if (!tree.symlink(tree.path("store"), "link", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    EXPECT_EQ(canonical_text(tree.path("link")), tree.canonical_path("store"));
    EXPECT_EQ(canonical_text(tree.path("link/x")), tree.canonical_path("store/x"));
}

#if defined(_WIN32)
TEST(CanonicalPath, WindowsCaseAndSeparators) {
    edtest::temp_tree tree;
    tree.mkdir("Old");
    std::string lower = tree.path("old");
    for (char &c : lower)
        c = c == '/' ? '\\' : c;
    EXPECT_EQ(canonical_text(lower), tree.canonical_path("Old"));
    EXPECT_EQ(canonical_text(lower + "\\"), tree.canonical_path("Old"));
    const std::string drive = tree.canonical().substr(0, 3); // "C:/"
    EXPECT_EQ(canonical_text(drive), drive);
    // A missing name right below the drive root belongs to that root.
    EXPECT_EQ(canonical_text(drive + "no-such-name-below-root"), drive);
}
#endif

TEST(RootInspection, TellsTheKindsAndNamesWhatItOpened) {
    edtest::temp_tree tree;
    tree.file("f");
    tree.mkdir("d");
    EXPECT_EQ(root_kind(tree.path("f")), ED_ROOT_OTHER);
    EXPECT_EQ(root_kind(tree.path("missing")), ED_ROOT_UNREACHABLE);
    EXPECT_EQ(root_kind(""), ED_ROOT_UNREACHABLE);

    char *canonical = nullptr;
    ed_file_id id;
    ASSERT_EQ(ed_inspect_root(tree.path("d").c_str(), &canonical, &id), ED_ROOT_DIRECTORY);
    EXPECT_STREQ(canonical, tree.canonical_path("d").c_str());
    std::free(canonical);
    ed_stat st;
    ed_file_id named;
    ASSERT_EQ(ed_fill_stat_id(tree.path("d").c_str(), &st, &named), 0);
    EXPECT_TRUE(ed_same_file(id, named));
    ASSERT_EQ(ed_fill_stat_id(tree.path("f").c_str(), &st, &named), 0);
    EXPECT_FALSE(ed_same_file(id, named));
}

ed_file_id identity_of(const std::string &path) {
    ed_stat st;
    ed_file_id id{};
    EXPECT_EQ(ed_fill_stat_id(path.c_str(), &st, &id), 0) << path;
    return id;
}

// The tree's root, pinned as a removal pins a registered root.
ed_root_pin pin(const edtest::temp_tree &tree) {
    const ed_file_id id = identity_of(tree.root());
    return ed_root_pin(ed_pin_root(tree.canonical().c_str(), &id));
}

ed_target_owner open_dir_target(const edtest::temp_tree &tree, const std::string &relative,
                                ed_target_status *status) {
    ed_root_pin root = pin(tree);
    EXPECT_TRUE(root);
    ed_stat st;
    ed_file_id id{};
    ed_fill_stat_id(tree.path(relative).c_str(), &st, &id);
    return ed_target_owner(ed_target_open_dir(root.get(), relative.c_str(), &id, status));
}

ed_target_status remove_file(const edtest::temp_tree &tree, const std::string &relative) {
    ed_root_pin root = pin(tree);
    EXPECT_TRUE(root);
    ed_stat st;
    ed_file_id id{};
    ed_fill_stat_id(tree.path(relative).c_str(), &st, &id);
    return ed_remove_file_beneath(root.get(), relative.c_str(), &id);
}

TEST(PinnedRoot, OnlyTheDirectoryThatWasRegistered) {
    edtest::temp_tree tree;
    tree.mkdir("a");
    tree.mkdir("b");
    const ed_file_id a = identity_of(tree.path("a"));
    ed_root_pin held(ed_pin_root(tree.canonical_path("a").c_str(), &a));
    EXPECT_TRUE(held);
    // Another directory under the registered name is not the root.
    EXPECT_FALSE(ed_root_pin(ed_pin_root(tree.canonical_path("b").c_str(), &a)));
    EXPECT_EQ(ed_opendir_root(tree.canonical_path("b").c_str(), &a), nullptr);
    EXPECT_FALSE(ed_root_pin(ed_pin_root(tree.canonical_path("gone").c_str(), &a)));
    ed_closedir(ed_opendir_root(tree.canonical_path("a").c_str(), &a));
}

TEST(Removal, DirectoryOnlyWhenEmpty) {
    edtest::temp_tree tree;
    tree.mkdir("full/inner");
    tree.mkdir("empty");
    tree.file("file");
    ed_target_status status;
    {
        ed_target_owner full = open_dir_target(tree, "full", &status);
        ASSERT_TRUE(full);
        EXPECT_EQ(ed_target_remove_dir(full.get()), -1);
    }
    EXPECT_TRUE(tree.exists("full/inner"));
    {
        ed_target_owner empty = open_dir_target(tree, "empty", &status);
        ASSERT_TRUE(empty);
        ed_dir *entries = ed_target_opendir(empty.get());
        ASSERT_NE(entries, nullptr);
        EXPECT_EQ(ed_readdir(entries), nullptr);
        ed_closedir(entries);
        EXPECT_EQ(ed_target_remove_dir(empty.get()), 0);
    }
    EXPECT_FALSE(tree.exists("empty"));
    EXPECT_FALSE(open_dir_target(tree, "empty", &status));
    EXPECT_EQ(status, ED_TARGET_FAILED);
    EXPECT_FALSE(open_dir_target(tree, "file", &status));
    EXPECT_EQ(status, ED_TARGET_WRONG_KIND);
    ed_target_close(nullptr);
}

TEST(Removal, FileOnlyWhenEmptyAtThatMoment) {
    edtest::temp_tree tree;
    tree.file("zero");
    tree.write("data", "x");
    tree.mkdir("dir");
    EXPECT_EQ(remove_file(tree, "data"), ED_TARGET_NOT_EMPTY);
    EXPECT_TRUE(tree.exists("data"));
    EXPECT_EQ(remove_file(tree, "dir"), ED_TARGET_WRONG_KIND);
    EXPECT_TRUE(tree.exists("dir"));
    EXPECT_EQ(remove_file(tree, "zero"), ED_TARGET_OK);
    EXPECT_FALSE(tree.exists("zero"));
    EXPECT_EQ(remove_file(tree, "zero"), ED_TARGET_FAILED);
}

TEST(Removal, ObjectMustBeTheOneExamined) {
    edtest::temp_tree tree;
    tree.file("zero");
    tree.file("other");
    tree.mkdir("d");
    tree.mkdir("e");
    ed_root_pin root = pin(tree);
    ASSERT_TRUE(root);
    // The path checks saw another object than the one at the canonical name.
    const ed_file_id other = identity_of(tree.path("other"));
    EXPECT_EQ(ed_remove_file_beneath(root.get(), "zero", &other), ED_TARGET_FAILED);
    EXPECT_TRUE(tree.exists("zero"));
    EXPECT_TRUE(tree.exists("other"));
    const ed_file_id e = identity_of(tree.path("e"));
    ed_target_status status;
    EXPECT_FALSE(ed_target_owner(ed_target_open_dir(root.get(), "d", &e, &status)));
    EXPECT_EQ(status, ED_TARGET_FAILED);
    EXPECT_TRUE(tree.exists("d"));
}

#if !defined(_WIN32)
TEST(Removal, NeverThroughOrOfALinkOrAFifo) {
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    outside.file("zero");
    outside.mkdir("empty");
    tree.file("target");
    ASSERT_TRUE(tree.symlink(tree.path("target"), "link", false));
    ASSERT_TRUE(tree.symlink(outside.root(), "escape", true));
    ASSERT_EQ(mkfifo(tree.path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(remove_file(tree, "link"), ED_TARGET_LINK);
    EXPECT_EQ(remove_file(tree, "fifo"), ED_TARGET_WRONG_KIND);
    // A link on the way is refused as a link, whichever way it is resolved.
    EXPECT_EQ(remove_file(tree, "escape/zero"), ED_TARGET_LINK);
    ed_target_status status;
    EXPECT_FALSE(open_dir_target(tree, "escape/empty", &status));
    EXPECT_EQ(status, ED_TARGET_LINK);
    EXPECT_FALSE(open_dir_target(tree, "escape", &status));
    EXPECT_EQ(status, ED_TARGET_LINK);
    EXPECT_TRUE(tree.exists("link"));
    EXPECT_TRUE(tree.exists("target"));
    EXPECT_TRUE(tree.exists("fifo"));
    EXPECT_TRUE(outside.exists("zero"));
    EXPECT_TRUE(outside.exists("empty"));
}

TEST(Removal, TheRootItselfCanGo) {
    edtest::temp_tree tree;
    tree.mkdir("root");
    const ed_file_id id = identity_of(tree.path("root"));
    ed_root_pin root(ed_pin_root(tree.canonical_path("root").c_str(), &id));
    ASSERT_TRUE(root);
    ed_target_status status;
    ed_target_owner target(ed_target_open_dir(root.get(), "", &id, &status));
    ASSERT_TRUE(target);
    EXPECT_EQ(ed_target_remove_dir(target.get()), 0);
    EXPECT_FALSE(tree.exists("root"));
}
#endif

#if !defined(_WIN32)
// Everything a stream still hands out.
std::vector<std::string> rest_of(ed_dir *dir) {
    std::vector<std::string> names;
    while (const char *name = ed_readdir(dir))
        names.emplace_back(name);
    return names;
}

TEST(Resume, TakesUpTheVeryDirectoryWhereItsListingStood) {
    // A directory of 300 entries (several batches) left after 150 and taken
    // up again: through the parent of a directory below it, by its path when
    // that directory has moved elsewhere, not at all when another directory
    // has taken its name, and as content it cannot examine when the entry
    // it was to go on at is gone.
    enum class then { below_it, below_elsewhere, replaced, held_entry_removed };
    for (const then what :
         {then::below_it, then::below_elsewhere, then::replaced, then::held_entry_removed}) {
        edtest::temp_tree tree;
        for (int i = 0; i < 300; ++i)
            tree.mkdir("r/a/" + edtest::numbered("entry-with-a-name-of-some-length-", i));
        tree.mkdir("r/elsewhere/x");
        ed_dir_stream anchor(ed_opendir(tree.path("r").c_str()));
        ASSERT_TRUE(anchor);
        ed_dir_stream a(ed_walk_opendir_at(anchor.get(), "a"));
        ASSERT_TRUE(a);
        for (int i = 0; i < 150; ++i)
            ASSERT_NE(ed_readdir(a.get()), nullptr);
        ed_dir_mark mark;
        ed_dir_note(a.get(), &mark);
        ASSERT_TRUE(mark.valid);
        const std::vector<std::string> expected = rest_of(a.get());
        ASSERT_EQ(expected.size(), 150u);
        a.reset();

        ed_dir_stream child;
        if (what == then::below_it) {
            ed_dir_stream again(ed_walk_opendir_at(anchor.get(), "a"));
            child.reset(ed_walk_opendir_at(again.get(), expected.back().c_str()));
        } else {
            ed_dir_stream elsewhere(ed_walk_opendir_at(anchor.get(), "elsewhere"));
            child.reset(ed_walk_opendir_at(elsewhere.get(), "x"));
        }
        ASSERT_TRUE(child);
        if (what == then::replaced) {
            ASSERT_EQ(std::rename(tree.path("r/a").c_str(), tree.path("r/gone").c_str()), 0);
            tree.mkdir("r/a/" + expected.front());
        }
        if (what == then::held_entry_removed) {
            ASSERT_EQ(rmdir(tree.path("r/a/" + expected.front()).c_str()), 0);
        }

        ed_dir_stream resumed(ed_dir_resume(&mark, child.get(), anchor.get(), "a"));
        switch (what) {
        case then::below_it:
        case then::below_elsewhere:
            ASSERT_TRUE(resumed);
            EXPECT_EQ(rest_of(resumed.get()), expected);
            break;
        case then::replaced:
            EXPECT_FALSE(resumed) << "another directory under its name is not the one left";
            break;
        case then::held_entry_removed:
            ASSERT_TRUE(resumed);
            EXPECT_EQ(rest_of(resumed.get()), std::vector<std::string>{ed_unnameable_entry});
            break;
        }
    }
}
#endif

} // namespace
