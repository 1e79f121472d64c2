#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/edclean_error.h"
#include "clean/ed_registry.h"
#include "clean/ed_remove.h"
#include "core/ed_owners.h"
#include "platform/ed_platform.h"
#include "scan/ed_name_filter.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/mount.h>
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif
#if __has_include(<linux/openat2.h>) && defined(SYS_openat2)
#include <linux/openat2.h>
#define EDTEST_HEADERS_OFFER_OPENAT2 1
#endif
#endif

namespace {

// A mutable array of owned path texts, as the export hands to the workers.
class path_array {
  public:
    explicit path_array(std::vector<std::string> paths) : texts_(std::move(paths)) {
        for (std::string &t : texts_)
            pointers_.push_back(t.data());
    }
    char **data() { return pointers_.data(); }
    int32_t size() const { return static_cast<int32_t>(pointers_.size()); }
    std::vector<std::string> order() const {
        return std::vector<std::string>(pointers_.begin(), pointers_.end());
    }

  private:
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};

class Workers : public ::testing::Test {
  protected:
    void SetUp() override {
        ed_clear_roots();
        ed_clear_error();
        const std::string root = tree.canonical();
        const char *roots[] = {root.c_str()};
        ed_register_roots(roots, 1);
    }
    void TearDown() override { ed_clear_roots(); }
    edtest::temp_tree tree;
};

TEST_F(Workers, DirectoryOrderIsDeepestFirstThenDescendingBytes) {
    path_array paths({"C:/R/a", "", "C:/R/A", "C:\\R\\x", "C:/R/b/c", "C:/R/b", "C:/R/a", "/"});
    ed_clear_roots(); // judge nothing real: only the order matters here
    ed_delete_dirs_list(paths.data(), paths.size(), 0);
    EXPECT_EQ(paths.order(), (std::vector<std::string>{"C:/R/b/c", "C:/R/b", "C:/R/a", "C:/R/a",
                                                       "C:/R/A", "/", "C:\\R\\x", ""}));
}

TEST_F(Workers, InvalidListsAreRefused) {
    EXPECT_EQ(ed_delete_dirs_list(nullptr, 0, 0), -1);
    EXPECT_STREQ(ed_error_buffer(), "invalid dirs list");
    path_array one({"x"});
    EXPECT_EQ(ed_delete_dirs_list(one.data(), -1, 0), -1);
    EXPECT_EQ(ed_delete_files_list(nullptr, 0), -1);
    EXPECT_STREQ(ed_error_buffer(), "invalid files list");
    ed_clear_error();
    EXPECT_EQ(ed_delete_files_list(one.data(), 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "");
}

TEST_F(Workers, DirectoryTestsInOrderWithTheirMessages) {
    tree.mkdir("empty");
    tree.file("file");
    tree.mkdir("has_file");
    tree.file("has_file/z");
    tree.mkdir("hidden/.cache");
    edtest::temp_tree outside;
    outside.mkdir("e");
    struct {
        std::string path;
        int include_hidden;
        const char *message; // null: removed
    } const cases[] = {
        {tree.path("empty/../empty"), 0, "refused: path contains .."},
        {outside.path("e"), 0, "refused: outside scanned roots"},
        {tree.path("missing"), 0, "path not found"},
        {tree.path("file"), 0, "refused: not a directory"},
        {tree.path("has_file"), 1, "refused: directory no longer empty (TOCTOU)"},
        {tree.path("hidden"), 0, "refused: directory no longer empty (TOCTOU)"},
        {tree.path("hidden"), 1, "rmdir failed"}, // .cache is still there
        {tree.path("empty"), 0, nullptr},
    };
    for (const auto &c : cases) {
        ed_clear_error();
        path_array one({c.path});
        const int32_t removed = ed_delete_dirs_list(one.data(), 1, c.include_hidden);
        EXPECT_EQ(removed, c.message == nullptr ? 1 : 0) << c.path;
        EXPECT_STREQ(ed_error_buffer(), c.message == nullptr ? "" : c.message) << c.path;
    }
    EXPECT_FALSE(tree.exists("empty"));
    EXPECT_TRUE(outside.exists("e"));
    EXPECT_TRUE(tree.exists("hidden/.cache"));
}

TEST_F(Workers, ExcludedNamesInTheRecheckAreContent) {
    tree.mkdir("d/keep");
    ed_name_filter filter;
    filter.add("keep");
    path_array one({tree.path("d")});
    EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0, &filter), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: directory no longer empty (TOCTOU)");
    // Without the filter the re-check passes and the system keeps the
    // directory that still holds an entry.
    EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "rmdir failed");
    EXPECT_TRUE(tree.exists("d/keep"));
}

TEST_F(Workers, HomeDirectoryIsNeverRemoved) {
    tree.mkdir("home");
    edtest::scoped_env home("HOME", tree.path("home"));
    path_array one({tree.path("home")});
    EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: system root");
    EXPECT_TRUE(tree.exists("home"));
}

TEST_F(Workers, FileTestsInOrderWithTheirMessages) {
    tree.file("zero");
    tree.file(".keep");
    tree.write("one", "x");
    tree.file("big", std::uintmax_t{1} << 32);
    tree.mkdir("dir");
    edtest::temp_tree outside;
    outside.file("z");
    struct {
        std::string path;
        const char *message;
    } const cases[] = {
        {tree.path("dir/../zero"), "refused: path contains .."},
        {outside.path("z"), "refused: outside scanned roots"},
        {tree.path("missing"), "path not found"},
        {tree.path("dir"), "refused: not a regular file"},
        {tree.path("one"), "refused: file size != 0"},
        {tree.path("big"), "refused: file size != 0"},
        {tree.path("zero"), nullptr},
        {tree.path(".keep"), nullptr},
    };
    for (const auto &c : cases) {
        ed_clear_error();
        path_array one({c.path});
        EXPECT_EQ(ed_delete_files_list(one.data(), 1), c.message == nullptr ? 1 : 0) << c.path;
        EXPECT_STREQ(ed_error_buffer(), c.message == nullptr ? "" : c.message) << c.path;
    }
    EXPECT_TRUE(outside.exists("z"));
    EXPECT_TRUE(tree.exists("one"));
    EXPECT_TRUE(tree.exists("dir"));
}

TEST_F(Workers, FileOrderDecidesTheLastMessage) {
    tree.write("one", "x");
    path_array a({tree.path("missing"), tree.path("one")});
    EXPECT_EQ(ed_delete_files_list(a.data(), a.size()), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: file size != 0");
    path_array b({tree.path("one"), tree.path("missing")});
    EXPECT_EQ(ed_delete_files_list(b.data(), b.size()), 0);
    EXPECT_STREQ(ed_error_buffer(), "path not found");
}

TEST_F(Workers, LinksInsideRootsAreRefused) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    tree.mkdir("target_dir");
    tree.file("target_file");
    if (!tree.symlink(tree.path("target_dir"), "dir_link", true) ||
        !tree.symlink(tree.path("target_file"), "file_link", false) ||
        !tree.symlink(tree.path("nothing"), "dangling", false))
        GTEST_SKIP() << "this account may not create symbolic links";
    path_array dirs({tree.path("dir_link")});
    EXPECT_EQ(ed_delete_dirs_list(dirs.data(), 1, 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: symlink");
    for (const char *link : {"file_link", "dangling"}) {
        path_array files({tree.path(link)});
        EXPECT_EQ(ed_delete_files_list(files.data(), 1), 0);
        EXPECT_STREQ(ed_error_buffer(), "refused: symlink") << link;
    }
    EXPECT_TRUE(tree.exists("dir_link"));
    EXPECT_TRUE(tree.exists("target_dir"));
    EXPECT_TRUE(tree.exists("target_file"));
}

#if defined(_WIN32)
TEST_F(Workers, ReadOnlyFileIsNotRemoved) {
    const std::string path = tree.file("ro");
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    path_array one({path});
    EXPECT_EQ(ed_delete_files_list(one.data(), 1), 0);
    EXPECT_STREQ(ed_error_buffer(), "unlink failed");
    EXPECT_TRUE(tree.exists("ro"));
}
#endif

#if !defined(_WIN32)
// Whether this kernel (and any sandbox around the process) answers openat2
// with the resolution flags removal asks for.
bool kernel_offers_openat2() {
#if defined(EDTEST_HEADERS_OFFER_OPENAT2)
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (fd < 0)
        return false;
    ::close(static_cast<int>(fd));
    return true;
#else
    return false;
#endif
}

// Where the system offers openat2, removal must resolve with it: the
// component-by-component way is only for kernels that lack it.
TEST(KernelResolution, RemovalUsesOpenat2WhereTheSystemOffersIt) {
#if !defined(EDTEST_HEADERS_OFFER_OPENAT2)
    GTEST_SKIP() << "the system headers do not declare openat2";
#else
    EXPECT_TRUE(ed_kernel_resolution_compiled()) << "the headers offer openat2 but it is not used";
    if (!kernel_offers_openat2())
        GTEST_SKIP() << "this kernel or its sandbox refuses openat2: " << std::strerror(errno);
    edtest::temp_tree tree;
    tree.file("d/z");
    ed_clear_roots();
    const std::string root = tree.canonical();
    const char *roots[] = {root.c_str()};
    ed_register_roots(roots, 1);
    ed_force_stepwise_resolution(false);
    path_array one({tree.path("d/z")});
    EXPECT_EQ(ed_delete_files_list(one.data(), 1), 1) << ed_error_buffer();
    EXPECT_TRUE(ed_last_resolution_by_kernel());
    ed_clear_roots();
#endif
}

// The removal tests once with the kernel's resolution beneath the root and
// once component by component (what kernels without openat2 get): both must
// refuse every link and mount crossing, and remove the same objects.
class BothResolutions : public Workers, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Workers::SetUp();
        ed_force_stepwise_resolution(GetParam());
    }
    void TearDown() override {
        ed_force_stepwise_resolution(false);
        Workers::TearDown();
    }
    // What ed_last_resolution_by_kernel() must say after a resolution.
    bool kernel_expected() const {
        return !GetParam() && ed_kernel_resolution_compiled() && kernel_offers_openat2();
    }
};

// S is a link inside the root to T: what T holds is refused through S, and
// removed when named by its own path.
TEST_P(BothResolutions, LinksRefusedAndPlainPathsRemoved) {
    tree.mkdir("T/x");
    tree.file("T/y");
    tree.mkdir("T/d");
    tree.file("T/f");
    ASSERT_TRUE(tree.symlink(tree.path("T"), "S", true));
    struct {
        const char *path;
        bool directory;
        const char *message; // null: removed
        const char *object;
    } const cases[] = {
        {"S/x", true, "refused: symlink", "T/x"},
        {"S/./x", true, "refused: symlink", "T/x"},
        {"S/y", false, "refused: symlink", "T/y"},
        {"T/d", true, nullptr, "T/d"},
        {"T/f", false, nullptr, "T/f"},
    };
    for (const auto &c : cases) {
        ed_clear_error();
        path_array one({tree.path(c.path)});
        const int32_t removed = c.directory ? ed_delete_dirs_list(one.data(), 1, 0)
                                            : ed_delete_files_list(one.data(), 1);
        EXPECT_EQ(removed, c.message == nullptr ? 1 : 0) << c.path;
        EXPECT_STREQ(ed_error_buffer(), c.message == nullptr ? "" : c.message) << c.path;
        EXPECT_EQ(tree.exists(c.object), c.message != nullptr) << c.path;
        if (c.message == nullptr) {
            EXPECT_EQ(ed_last_resolution_by_kernel(), kernel_expected()) << c.path;
        }
    }
}

ed_file_id identity_of(const std::string &path) {
    ed_stat st;
    ed_file_id id{};
    EXPECT_EQ(ed_fill_stat_id(path.c_str(), &st, &id), 0) << path;
    return id;
}

// A directory on the way became a link after the path checks saw z and e
// through it: removal, which acts only on the objects the checks saw, must
// still not reach them by following the link, whether it leads out of the
// root or to another place inside it.
TEST_P(BothResolutions, ALinkSwappedInBeneathTheRootIsNeverFollowed) {
    edtest::temp_tree outside;
    outside.file("D/z");
    outside.mkdir("D/e");
    tree.file("T/z");
    tree.mkdir("T/e");
    ASSERT_TRUE(tree.symlink(outside.path("D"), "out", true));
    ASSERT_TRUE(tree.symlink("T", "in", true)); // relative: stays beneath the root
    const ed_file_id root_id = identity_of(tree.root());
    ed_root_pin root(ed_pin_root(tree.canonical().c_str(), &root_id));
    ASSERT_TRUE(root);
    for (const std::string link : {"out", "in"}) {
        const ed_file_id z = identity_of(tree.path(link + "/z"));
        const ed_file_id e = identity_of(tree.path(link + "/e"));
        EXPECT_NE(ed_remove_file_beneath(root.get(), (link + "/z").c_str(), &z), ED_TARGET_OK)
            << link;
        ed_target_status status;
        EXPECT_FALSE(
            ed_target_owner(ed_target_open_dir(root.get(), (link + "/e").c_str(), &e, &status)))
            << link;
        EXPECT_NE(status, ED_TARGET_OK) << link;
    }
    EXPECT_TRUE(outside.exists("D/z"));
    EXPECT_TRUE(outside.exists("D/e"));
    EXPECT_TRUE(tree.exists("T/z"));
    EXPECT_TRUE(tree.exists("T/e"));
}

#if defined(__linux__)
// The same for a file system mounted at m below the root: nothing beneath
// the mount point is reached from the root.
TEST_P(BothResolutions, AMountPointBeneathTheRootIsNeverCrossed) {
    tree.mkdir("m");
    if (mount("edclean-test", tree.path("m").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "this process may not mount file systems: " << std::strerror(errno);
    struct unmount {
        std::string path;
        ~unmount() { umount2(path.c_str(), MNT_DETACH); }
    } const unmount_at_end{tree.path("m")};
    tree.file("m/d/z");
    tree.mkdir("m/d/e");
    const ed_file_id z = identity_of(tree.path("m/d/z"));
    const ed_file_id e = identity_of(tree.path("m/d/e"));
    const ed_file_id root_id = identity_of(tree.root());
    ed_root_pin root(ed_pin_root(tree.canonical().c_str(), &root_id));
    ASSERT_TRUE(root);
    EXPECT_NE(ed_remove_file_beneath(root.get(), "m/d/z", &z), ED_TARGET_OK);
    ed_target_status status;
    EXPECT_FALSE(ed_target_owner(ed_target_open_dir(root.get(), "m/d/e", &e, &status)));
    EXPECT_NE(status, ED_TARGET_OK);
    EXPECT_TRUE(tree.exists("m/d/z"));
    EXPECT_TRUE(tree.exists("m/d/e"));

    // A walk does not enter it either, while it enters a plain directory.
    tree.mkdir("plain");
    ed_dir_stream top(ed_opendir(tree.root().c_str()));
    ASSERT_TRUE(top);
    EXPECT_EQ(ed_dir_stream(ed_opendir_at(top.get(), "m")), nullptr);
    EXPECT_NE(ed_dir_stream(ed_opendir_at(top.get(), "plain")), nullptr);
}

// A btrfs subvolume below the root is another device on the same mount: no
// mount point to the kernel's resolution, and yet another file system, which
// a walk never enters. Nothing in it is removed, by either resolution.
// Needs btrfs-progs, loop devices and the right to mount; skips otherwise.
TEST_P(BothResolutions, ABtrfsSubvolumeBeneathTheRootIsNeverEntered) {
    const edtest::loop_volume volume(tree, "top", "mkfs.btrfs -q", 128);
    if (!volume.skip().empty())
        GTEST_SKIP() << volume.skip();
    // The tools live in the system's own folders, which a test's PATH may lack.
    const std::string kSystemPath = "export PATH=\"$PATH:/usr/sbin:/sbin\"; ";
    tree.mkdir("top/R");
    if (std::system(
            (kSystemPath + "btrfs -q subvolume create '" + tree.path("top/R/vol") + "' >/dev/null")
                .c_str()) != 0)
        GTEST_SKIP() << "no btrfs subvolume could be made";
    tree.mkdir("top/R/vol/e");
    tree.file("top/R/vol/z");

    ed_clear_roots();
    const std::string root = edtest::canonical_of(tree.path("top/R"));
    const char *roots[] = {root.c_str()};
    ed_register_roots(roots, 1);
    path_array dirs({root + "/vol/e", root + "/vol"});
    EXPECT_EQ(ed_delete_dirs_list(dirs.data(), 2, 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: symlink");
    path_array files({root + "/vol/z"});
    EXPECT_EQ(ed_delete_files_list(files.data(), 1), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: symlink");
    EXPECT_TRUE(tree.exists("top/R/vol/e"));
    EXPECT_TRUE(tree.exists("top/R/vol/z"));

    // A walk does not enter it either.
    ed_dir_stream top_stream(ed_opendir(root.c_str()));
    ASSERT_TRUE(top_stream);
    EXPECT_EQ(ed_dir_stream(ed_opendir_at(top_stream.get(), "vol")), nullptr);
    ed_clear_roots();
}
#endif

#if defined(__linux__)
// On ext4 with 128-byte inodes there is no birth time, and a directory made
// right after another was removed takes its inode number: a root removed and
// made again under its name is another directory all the same, which was
// never scanned. Nothing beneath it is removed until a scan accepts it.
TEST_F(Workers, ARootMadeAgainOnItsOldInodeIsNotTheScannedRoot) {
    const edtest::loop_volume volume(tree, "top", "mkfs.ext4 -q -F -I 128", 16);
    if (!volume.skip().empty())
        GTEST_SKIP() << volume.skip();
    const std::string R = edtest::canonical_of(tree.mkdir("top/R"));
    const auto inode_of = [](const std::string &path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_ino;
    };
    const ino_t scanned = inode_of(R);
    ed_clear_roots();
    const char *roots[] = {R.c_str()};
    ed_register_roots(roots, 1);

    std::filesystem::remove_all(R);
    tree.mkdir("top/R/d");
    if (inode_of(R) != scanned)
        GTEST_SKIP() << "this file system did not give the new directory the old inode number";
    path_array one({R + "/d"});
    EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: outside scanned roots");
    EXPECT_TRUE(tree.exists("top/R/d"));

    // Once scanned, it is a root like any other.
    ed_register_roots(roots, 1);
    ed_clear_error();
    EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0), 1) << ed_error_buffer();
    ed_clear_roots();
}
#endif

// Runs `change` between two entries of one delete call, before the entry
// with index `before`, on the calling thread.
class change_between_entries {
  public:
    change_between_entries(int32_t before, std::function<void()> change)
        : before_(before), change_(std::move(change)) {
        ed_set_entry_hook(&change_between_entries::reached, this);
    }
    ~change_between_entries() { ed_set_entry_hook(nullptr, nullptr); }
    change_between_entries(const change_between_entries &) = delete;
    change_between_entries &operator=(const change_between_entries &) = delete;

  private:
    static void reached(int32_t index, void *self) {
        auto *me = static_cast<change_between_entries *>(self);
        if (index == me->before_)
            me->change_();
    }
    int32_t before_;
    std::function<void()> change_;
};

bool renamed(const std::string &from, const std::string &to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool exchanged(const std::string &a, const std::string &b) {
    return ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(),
                     static_cast<unsigned>(RENAME_EXCHANGE)) == 0;
}

// One delete call removes R/a/2, then R/a/1 (directories go in descending
// order, files in the order given). In between, the directory that holds
// both, or the root itself, is moved, replaced or exchanged. The second
// entry must be judged on the tree as it is then: nothing that the first
// entry reached (the root, the directory a) may lead the second one to an
// object that is no longer at its path inside the scanned tree.
TEST_P(BothResolutions, ATreeChangedBetweenTwoEntriesOfOneCallIsJudgedAsItIsThen) {
    struct change_case {
        const char *name;
        // Changes the tree (R: the root's canonical path, O: the outside
        // tree's) and says which objects must still be there afterwards.
        std::function<std::vector<std::string>(const std::string &R, const std::string &O,
                                               bool directory)>
            change;
        // Puts the root back where the fixture removes it, if it was moved.
        std::function<void(const std::string &R)> restore;
    };
    const auto make = [](const std::string &path, bool directory) {
        if (directory)
            return ::mkdir(path.c_str(), 0755) == 0;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    };
    const change_case cases[] = {
        {"holder moved out of the root",
         [](const std::string &R, const std::string &O, bool) {
             EXPECT_TRUE(renamed(R + "/a", O + "/a"));
             return std::vector<std::string>{O + "/a/1"};
         },
         nullptr},
        {"holder replaced by a link to an outside directory",
         [&make](const std::string &R, const std::string &O, bool directory) {
             EXPECT_TRUE(::mkdir((O + "/a").c_str(), 0755) == 0 && make(O + "/a/1", directory));
             EXPECT_TRUE(renamed(R + "/a", R + "/a.old"));
             EXPECT_EQ(::symlink((O + "/a").c_str(), (R + "/a").c_str()), 0);
             return std::vector<std::string>{O + "/a/1", R + "/a.old/1"};
         },
         nullptr},
        {"holder exchanged with an outside directory",
         [&make](const std::string &R, const std::string &O, bool directory) {
             EXPECT_TRUE(::mkdir((O + "/a").c_str(), 0755) == 0 && make(O + "/a/1", directory));
             EXPECT_TRUE(exchanged(R + "/a", O + "/a"));
             return std::vector<std::string>{O + "/a/1"}; // the scanned a, outside now
         },
         nullptr},
        {"root moved away and a link to it put in its place",
         [](const std::string &R, const std::string &, bool) {
             EXPECT_TRUE(renamed(R, R + ".moved"));
             EXPECT_EQ(::symlink((R + ".moved").c_str(), R.c_str()), 0);
             return std::vector<std::string>{R + ".moved/a/1"};
         },
         [](const std::string &R) {
             ::unlink(R.c_str());
             renamed(R + ".moved", R);
         }},
        {"root replaced by another directory with the same names",
         [&make](const std::string &R, const std::string &, bool directory) {
             EXPECT_TRUE(renamed(R, R + ".moved"));
             EXPECT_TRUE(::mkdir(R.c_str(), 0755) == 0 && ::mkdir((R + "/a").c_str(), 0755) == 0 &&
                         make(R + "/a/1", directory));
             return std::vector<std::string>{R + ".moved/a/1", R + "/a/1"};
         },
         [](const std::string &R) {
             std::filesystem::remove_all(R);
             renamed(R + ".moved", R);
         }},
    };
    for (const bool directory : {true, false}) {
        for (const change_case &c : cases) {
            const std::string what =
                std::string(c.name) + (directory ? " (directories)" : " (files)");
            edtest::temp_tree root;
            edtest::temp_tree outside;
            const std::string R = root.canonical();
            const std::string O = outside.canonical();
            ed_clear_roots();
            const char *roots[] = {R.c_str()};
            ed_register_roots(roots, 1);
            for (const char *name : {"a/1", "a/2"}) {
                if (directory)
                    root.mkdir(name);
                else
                    root.file(name);
            }
            std::vector<std::string> must_remain;
            int32_t removed;
            {
                const change_between_entries between(
                    1, [&] { must_remain = c.change(R, O, directory); });
                path_array entries({R + "/a/2", R + "/a/1"});
                removed = directory ? ed_delete_dirs_list(entries.data(), 2, 0)
                                    : ed_delete_files_list(entries.data(), 2);
            }
            EXPECT_GE(removed, 1) << what << ": " << ed_error_buffer();
            EXPECT_FALSE(root.exists("a/2") || std::filesystem::exists(R + ".moved/a/2"))
                << what << ": the first entry stayed";
            for (const std::string &path : must_remain)
                EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path)))
                    << what << ": " << path << " was removed";
            if (c.restore)
                c.restore(R);
        }
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Another user of a shared directory plants entries under the aside names
// a removal may move its objects to: the names this process would have
// used in turn ("...-PID-0", "-1", ...) do not block anything, and nothing
// already under a name is ever replaced, moved or removed.
TEST_P(BothResolutions, PlantedAsideNamesNeitherBlockRemovalNorAreTouched) {
    std::vector<std::string> planted;
    for (int n = 0; n < 256; ++n) {
        const std::string name =
            edtest::numbered(".edclean-removing-", ::getpid()) + edtest::numbered("-", n);
        planted.push_back(tree.write("d/" + name, "not ours"));
    }
    for (const bool directory : {true, false}) {
        for (const char *name : {"d/x", "d/y"}) {
            if (directory)
                tree.mkdir(name);
            else
                tree.file(name);
        }
        path_array entries({tree.path("d/y"), tree.path("d/x")});
        ed_clear_error();
        EXPECT_EQ(directory ? ed_delete_dirs_list(entries.data(), 2, 0)
                            : ed_delete_files_list(entries.data(), 2),
                  2)
            << ed_error_buffer();
        EXPECT_STREQ(ed_error_buffer(), "");
        EXPECT_FALSE(tree.exists("d/x") || tree.exists("d/y"));
    }
    for (const std::string &path : planted)
        EXPECT_EQ(read_file(path), "not ours") << path;
}

// Plants an entry under each aside name a removal draws, in `dir`, for the
// first `count` names drawn, the way someone who could read them would.
struct aside_planter {
    std::string dir;
    int count;
    std::vector<std::string> planted;

    static unsigned long plant(ed_test_moment moment, void *context) {
        auto *me = static_cast<aside_planter *>(context);
        if (moment != ED_TEST_ASIDE_NAMED || me->count == 0)
            return 0;
        --me->count;
        me->planted.push_back(me->dir + "/" + ed_test_aside_name());
        std::ofstream(me->planted.back(), std::ios::binary) << "planted";
        return 0;
    }
};

// A drawn name found taken is left alone and another one drawn; a removal
// that keeps finding its names taken gives up after a few, leaving the
// object under its own name.
TEST_P(BothResolutions, ATakenAsideNameIsLeftAloneAndAnotherDrawnAFewTimesAtMost) {
    for (const bool directory : {true, false}) {
        for (const int taken : {3, -1}) { // -1: every name drawn
            const std::string what = std::string(directory ? "directory" : "file") +
                                     (taken < 0 ? ", every name taken" : ", three names taken");
            if (directory)
                tree.mkdir("d/x");
            else
                tree.file("d/x");
            aside_planter planter{tree.path("d"), taken, {}};
            ed_set_test_hook(&aside_planter::plant, &planter);
            path_array one({tree.path("d/x")});
            ed_clear_error();
            const int32_t removed = directory ? ed_delete_dirs_list(one.data(), 1, 0)
                                              : ed_delete_files_list(one.data(), 1);
            ed_set_test_hook(nullptr, nullptr);
            if (taken < 0) {
                EXPECT_EQ(removed, 0) << what;
                EXPECT_STREQ(ed_error_buffer(), directory ? "rmdir failed" : "unlink failed")
                    << what;
                EXPECT_TRUE(tree.exists("d/x")) << what;
                EXPECT_LT(planter.planted.size(), 64u) << what << ": the call must give up";
            } else {
                EXPECT_EQ(removed, 1) << what << ": " << ed_error_buffer();
                EXPECT_FALSE(tree.exists("d/x")) << what;
                EXPECT_EQ(planter.planted.size(), 3u) << what;
            }
            for (const std::string &path : planter.planted) {
                EXPECT_EQ(read_file(path), "planted") << what << ": " << path;
                std::filesystem::remove(path);
            }
            std::filesystem::remove(tree.path("d/x"));
        }
    }
}

// The directory that holds an object is held from the moment removal
// reaches it: moved out of the tree in the instant before the object is
// moved aside, it is where the object is removed. That object is the one
// examined and found empty, and nothing else in the moved directory is
// touched.
TEST_P(BothResolutions, AHolderMovedOutOfTheTreeAtTheLastMomentLosesOnlyTheExaminedObject) {
    edtest::temp_tree outside;
    for (const bool directory : {true, false}) {
        const std::string what = directory ? "directory" : "file";
        if (directory)
            tree.mkdir("a/x");
        else
            tree.file("a/x");
        tree.write("a/keep", "data");
        struct mover {
            std::string from, to;
            bool moved = false;
            static unsigned long move(ed_test_moment moment, void *context) {
                auto *me = static_cast<mover *>(context);
                if (moment == ED_TEST_ASIDE_NAMED && !me->moved)
                    me->moved = std::rename(me->from.c_str(), me->to.c_str()) == 0;
                return 0;
            }
        } move_out{tree.path("a"), outside.path("a")};
        ed_set_test_hook(&mover::move, &move_out);
        path_array one({tree.path("a/x")});
        ed_clear_error();
        const int32_t removed =
            directory ? ed_delete_dirs_list(one.data(), 1, 0) : ed_delete_files_list(one.data(), 1);
        ed_set_test_hook(nullptr, nullptr);
        ASSERT_TRUE(move_out.moved) << what;
        EXPECT_EQ(removed, 1) << what << ": " << ed_error_buffer();
        EXPECT_FALSE(outside.exists("a/x")) << what;
        EXPECT_EQ(read_file(outside.path("a/keep")), "data") << what;
        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(outside.path("a")))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"keep"}) << what;
        std::filesystem::remove_all(outside.path("a"));
    }
}

long open_descriptors() {
    long count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// A call that removes many directories holds no descriptor once it has
// returned, however their closing was spread out meanwhile.
TEST_P(BothResolutions, EveryDescriptorIsClosedWhenACallReturns) {
    constexpr int kDirectories = 300;
    std::vector<std::string> paths;
    for (int i = 0; i < kDirectories; ++i)
        paths.push_back(tree.mkdir(edtest::numbered("many/e", i)));
    const long before = open_descriptors();
    path_array entries(paths);
    EXPECT_EQ(ed_delete_dirs_list(entries.data(), entries.size(), 0), kDirectories)
        << ed_error_buffer();
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_FALSE(tree.exists("many/e0"));
}

// The home is protected as whatever its text resolves to when each entry
// is judged: HOME is a link that another program points at another
// directory between two entries of one call.
TEST_P(BothResolutions, TheHomeIsTheOneHomeNamesWhenTheEntryIsJudged) {
    tree.mkdir("deep/e");
    tree.mkdir("h1");
    tree.mkdir("h2");
    ASSERT_TRUE(tree.symlink(tree.path("h1"), "home", true));
    edtest::scoped_env home("HOME", tree.path("home"));
    const std::string link = tree.path("home");
    const change_between_entries between(1, [&] {
        EXPECT_EQ(::unlink(link.c_str()), 0);
        EXPECT_EQ(::symlink(tree.path("h2").c_str(), link.c_str()), 0);
    });
    path_array entries({tree.path("h2"), tree.path("deep/e")});
    EXPECT_EQ(ed_delete_dirs_list(entries.data(), entries.size(), 0), 1);
    EXPECT_STREQ(ed_error_buffer(), "refused: system root");
    EXPECT_TRUE(tree.exists("h2"));
    EXPECT_FALSE(tree.exists("deep/e"));
}

#if defined(__linux__)
// An object on which something is mounted is refused as a link whether
// the host names it as the scan lists it or any other way.
TEST_P(BothResolutions, AMountedObjectIsRefusedAsALinkInEverySpelling) {
    tree.mkdir("m");
    tree.mkdir("b");
    tree.file("f");
    tree.file("g");
    if (mount("edclean-test", tree.path("m").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "this process may not mount file systems: " << std::strerror(errno);
    struct unmount {
        std::vector<std::string> paths;
        ~unmount() {
            for (const std::string &path : paths)
                umount2(path.c_str(), MNT_DETACH);
        }
    } unmount_at_end{{tree.path("m")}};
    ASSERT_EQ(mount(tree.path("m").c_str(), tree.path("b").c_str(), nullptr, MS_BIND, nullptr), 0);
    unmount_at_end.paths.push_back(tree.path("b"));
    ASSERT_EQ(mount(tree.path("g").c_str(), tree.path("f").c_str(), nullptr, MS_BIND, nullptr), 0);
    unmount_at_end.paths.push_back(tree.path("f"));
    struct {
        std::string path;
        bool directory;
    } const cases[] = {
        {tree.path("m"), true},       {tree.path("b"), true},   {tree.path("f"), false},
        {tree.path("m") + "/", true}, {tree.path("./b"), true}, {tree.path("./f"), false},
    };
    for (const auto &c : cases) {
        ed_clear_error();
        path_array one({c.path});
        EXPECT_EQ(c.directory ? ed_delete_dirs_list(one.data(), 1, 0)
                              : ed_delete_files_list(one.data(), 1),
                  0)
            << c.path;
        EXPECT_STREQ(ed_error_buffer(), "refused: symlink") << c.path;
    }
    EXPECT_TRUE(tree.exists("m") && tree.exists("b") && tree.exists("f"));
}
#endif

// The status line `field` (with its colon) of the thread `task`, or "".
std::string task_status(const std::string &task, const char *field) {
    std::ifstream status("/proc/self/task/" + task + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return line.substr(std::strlen(field));
    return "";
}

// The thread a long call closes descriptors on never takes a signal meant
// for the host: it blocks all of them.
TEST_P(BothResolutions, TheClosingThreadBlocksTheHostsSignals) {
    constexpr int kDirectories = 64;
    std::vector<std::string> paths;
    for (int i = 0; i < kDirectories; ++i)
        paths.push_back(tree.mkdir(edtest::numbered("many/e", i)));
    const std::string caller = std::to_string(::syscall(SYS_gettid));
    std::vector<std::string> masks;
    {
        const change_between_entries between(kDirectories - 1, [&] {
            for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
                if (task.path().filename() != caller)
                    masks.push_back(task_status(task.path().filename(), "SigBlk:"));
        });
        path_array entries(paths);
        EXPECT_EQ(ed_delete_dirs_list(entries.data(), entries.size(), 0), kDirectories)
            << ed_error_buffer();
    }
    ASSERT_FALSE(masks.empty()) << "no thread besides the caller's during the call";
    for (const std::string &mask : masks) {
        const unsigned long long blocked = std::stoull(mask, nullptr, 16);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1, SIGCHLD, SIGPIPE})
            EXPECT_NE(blocked & (1ull << (signal - 1)), 0u) << "signal " << signal << ", " << mask;
    }
}

// Lowers the number of descriptors the process may open so that only
// `free_slots` more can be open at once, for as long as it lives.
class few_descriptors_left {
  public:
    explicit few_descriptors_left(int free_slots) {
        ::getrlimit(RLIMIT_NOFILE, &old_);
        rlim_t limit = 0;
        for (int found = 0; found < free_slots; ++limit)
            if (::fcntl(static_cast<int>(limit), F_GETFD) == -1)
                ++found;
        struct rlimit lowered = old_;
        lowered.rlim_cur = limit;
        set_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~few_descriptors_left() { ::setrlimit(RLIMIT_NOFILE, &old_); }
    few_descriptors_left(const few_descriptors_left &) = delete;
    few_descriptors_left &operator=(const few_descriptors_left &) = delete;
    bool set() const { return set_; }

  private:
    struct rlimit old_ {};
    bool set_ = false;
};

// A host that has nearly used up its descriptors still gets every entry of
// a long call removed: a removal needs a handful at a time, and the call
// must not keep the descriptors of directories it removed earlier.
TEST_P(BothResolutions, AFewFreeDescriptorsServeACallOfAnyLength) {
    constexpr int kDirectories = 400;
    std::vector<std::string> paths;
    for (int i = 0; i < kDirectories; ++i)
        paths.push_back(tree.mkdir(edtest::numbered("many/e", i)));
    path_array entries(paths);
    int32_t removed;
    {
        const few_descriptors_left limit(6);
        ASSERT_TRUE(limit.set());
        removed = ed_delete_dirs_list(entries.data(), entries.size(), 0);
    }
    EXPECT_EQ(removed, kDirectories) << ed_error_buffer();
}

// A host short of descriptors is told so: with none to a few left, an entry
// is removed or refused with "too many open files", never with the answer
// of a check that could not look ("outside scanned roots", "refused:
// directory no longer empty" for a subdirectory the re-check could not
// open), and nothing is removed that was not checked.
TEST_P(BothResolutions, AHostOutOfDescriptorsIsToldSo) {
    struct {
        const char *name;
        std::vector<std::string> make_dirs, make_files, entries;
        bool directory;
        const char *when_enough; // the message once descriptors suffice
    } const cases[] = {
        {"a chain, listed whole", {"a/b/c"}, {}, {"a/b/c", "a/b"}, true, ""},
        // Its re-check opens the unlisted c, which the system then keeps.
        {"a directory holding an unlisted one", {"a/b/c"}, {}, {"a/b"}, true, "rmdir failed"},
        {"a file", {"a/b"}, {"a/b/z"}, {"a/b/z"}, false, ""},
    };
    for (const auto &c : cases) {
        for (int free_slots = 0; free_slots <= 4; ++free_slots) {
            const std::string what = std::string(c.name) + edtest::numbered(", free ", free_slots);
            for (const std::string &dir : c.make_dirs)
                tree.mkdir(dir);
            for (const std::string &file : c.make_files)
                tree.file(file);
            std::vector<std::string> paths;
            for (const std::string &entry : c.entries)
                paths.push_back(tree.path(entry));
            path_array entries(paths);
            ed_clear_error();
            int32_t removed;
            {
                const few_descriptors_left limit(free_slots);
                ASSERT_TRUE(limit.set());
                removed = c.directory ? ed_delete_dirs_list(entries.data(), entries.size(), 0)
                                      : ed_delete_files_list(entries.data(), entries.size());
            }
            const std::string message = ed_error_buffer();
            if (message == "too many open files") {
                EXPECT_LT(removed, entries.size()) << what;
            } else {
                EXPECT_EQ(message, c.when_enough) << what;
                EXPECT_NE(free_slots, 0) << what << ": nothing can be checked without one";
            }
            std::filesystem::remove_all(tree.path("a"));
        }
    }
}

// What removal finds when it comes to act tells the refusal: a directory
// that can no longer be opened cannot be seen to be empty; a zero-byte file
// that a program saved over with data in the instant before it was moved
// aside holds data. Nothing is removed, and the saved file keeps its name
// and its bytes.
TEST_P(BothResolutions, TheRefusalSaysWhatRemovalFound) {
    tree.mkdir("locked");
    ASSERT_EQ(::chmod(tree.path("locked").c_str(), 0), 0);
    {
        const edtest::without_permission_override as_anyone;
        path_array one({tree.path("locked")});
        ed_clear_error();
        EXPECT_EQ(ed_delete_dirs_list(one.data(), 1, 0), 0);
        EXPECT_STREQ(ed_error_buffer(), "refused: directory no longer empty (TOCTOU)");
    }
    ::chmod(tree.path("locked").c_str(), 0755);
    EXPECT_TRUE(tree.exists("locked"));

    struct saver {
        std::string path;
        bool saved = false;
        static unsigned long save(ed_test_moment moment, void *context) {
            auto *me = static_cast<saver *>(context);
            if (moment != ED_TEST_ASIDE_NAMED || me->saved)
                return 0;
            me->saved = true;
            std::ofstream(me->path + ".new", std::ios::binary) << "saved";
            std::rename((me->path + ".new").c_str(), me->path.c_str());
            return 0;
        }
    };
    // As the scan lists it, and spelled another way, which removal reaches
    // by the host's text.
    for (const char *spelling : {"z", "./z"}) {
        std::filesystem::remove(tree.path("z"));
        tree.file("z");
        saver save_over{tree.path("z")};
        ed_set_test_hook(&saver::save, &save_over);
        path_array one({tree.path(spelling)});
        ed_clear_error();
        EXPECT_EQ(ed_delete_files_list(one.data(), 1), 0) << spelling;
        ed_set_test_hook(nullptr, nullptr);
        EXPECT_TRUE(save_over.saved) << spelling;
        EXPECT_STREQ(ed_error_buffer(), "refused: file size != 0") << spelling;
        EXPECT_EQ(read_file(tree.path("z")), "saved") << spelling;
    }
}

std::string way_name(const ::testing::TestParamInfo<bool> &way) {
    return way.param ? "Stepwise" : "Kernel";
}
INSTANTIATE_TEST_SUITE_P(Ways, BothResolutions, ::testing::Values(false, true), way_name);
#endif

} // namespace
