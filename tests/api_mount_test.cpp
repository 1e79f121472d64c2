// A directory below a scan root on which another file system is mounted is
// what a link is: never walked or listed, never removed, and nothing is
// removed through it. A bind mount of a folder of the same file system (same
// device, another mount) counts as another file system too. Mounting needs
// the right to (root in CI); without it the tests skip.
#include <gtest/gtest.h>

#if defined(__linux__)

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

namespace {

// Detaches the mount at `path` when the scope ends.
class mount_guard {
  public:
    explicit mount_guard(std::string path) : path_(std::move(path)) {}
    ~mount_guard() { umount2(path_.c_str(), MNT_DETACH); }
    mount_guard(const mount_guard &) = delete;
    mount_guard &operator=(const mount_guard &) = delete;

  private:
    std::string path_;
};

using edclean_json_io::scan_lists;

scan_lists scan(const std::string &root) {
    std::unique_ptr<char, void (*)(char *)> text(
        edclean_scan(edtest::json_array({root}).c_str(), nullptr), edclean_free_string);
    EXPECT_TRUE(text) << edclean_last_error();
    if (!text)
        return {};
    std::optional<scan_lists> lists = edclean_json_io::read_scan_result(text.get());
    EXPECT_TRUE(lists) << text.get();
    return lists.value_or(scan_lists{});
}

class MountPoint : public ::testing::TestWithParam<const char *> {};

// R holds nothing but the mount point R/m, which holds an empty directory e
// and a zero-byte file f.
TEST_P(MountPoint, IsNeverWalkedListedOrRemovedAndNothingGoesThroughIt) {
    const bool bind = std::strcmp(GetParam(), "bind") == 0;
    edtest::temp_tree tree;
    tree.mkdir("R/m");
    const std::string m = tree.path("R/m");
    if (bind) {
        tree.mkdir("source/e");
        tree.file("source/f");
    }
    const int mounted =
        bind ? mount(tree.path("source").c_str(), m.c_str(), nullptr, MS_BIND, nullptr)
             : mount("edclean-test", m.c_str(), "tmpfs", 0, "size=64k");
    if (mounted != 0 && (errno == EPERM || errno == EACCES))
        GTEST_SKIP() << "this process may not mount file systems: " << std::strerror(errno);
    ASSERT_EQ(mounted, 0) << std::strerror(errno);
    mount_guard unmount(m);
    if (!bind) {
        tree.mkdir("R/m/e");
        tree.file("R/m/f");
    }

    const scan_lists lists = scan(tree.path("R"));
    EXPECT_TRUE(lists.empty_dirs.empty()) << "R holds a mount point, and nothing below it counts";
    EXPECT_TRUE(lists.zero_files.empty());
    EXPECT_EQ(lists.scanned_dirs, 1) << "the mount point is not visited";

    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({m}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({m + "/e"}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_EQ(edclean_delete_files(edtest::json_array({m + "/f"}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_TRUE(tree.exists("R/m/e"));
    EXPECT_TRUE(tree.exists("R/m/f"));
}

std::string kind_name(const ::testing::TestParamInfo<const char *> &kind) { return kind.param; }
INSTANTIATE_TEST_SUITE_P(Kinds, MountPoint, ::testing::Values("tmpfs", "bind"), kind_name);

class RootFileSystem : public ::testing::TestWithParam<const char *> {};

// A scan root that is itself a file system of its own (a mount point, or a
// btrfs subvolume, which is another device on its parent's mount) is a root
// like any other to the scan: empty, it is listed. Removing it would take
// the whole file system: it is refused as a mount point is, while what it
// holds goes.
TEST_P(RootFileSystem, IsListedButNeverRemoved) {
    const bool subvolume = std::strcmp(GetParam(), "btrfs_subvolume") == 0;
    edtest::temp_tree tree;
    std::string root;
    std::optional<edtest::loop_volume> volume;
    std::optional<mount_guard> unmount;
    if (subvolume) {
        volume.emplace(tree, "top", "mkfs.btrfs -q", 128);
        if (!volume->skip().empty())
            GTEST_SKIP() << volume->skip();
        root = tree.path("top/R");
        if (std::system(("export PATH=\"$PATH:/usr/sbin:/sbin\"; btrfs -q subvolume create '" +
                         root + "' >/dev/null")
                            .c_str()) != 0)
            GTEST_SKIP() << "no btrfs subvolume could be made";
    } else {
        root = tree.mkdir("R");
        if (mount("edclean-test", root.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "this process may not mount file systems: " << std::strerror(errno);
        unmount.emplace(root);
    }
    root = edtest::canonical_of(root);
    tree.mkdir(subvolume ? "top/R/e" : "R/e");

    const scan_lists lists = scan(root);
    EXPECT_EQ(lists.empty_dirs, (std::vector<std::string>{root + "/e", root}));
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array(lists.empty_dirs).c_str()), 1);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_FALSE(tree.exists(subvolume ? "top/R/e" : "R/e"));
    EXPECT_TRUE(tree.exists(subvolume ? "top/R" : "R"));

    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({root, root + "/"}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: symlink");
    EXPECT_TRUE(tree.exists(subvolume ? "top/R" : "R"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RootFileSystem, ::testing::Values("tmpfs", "btrfs_subvolume"),
                         kind_name);

} // namespace

#endif
