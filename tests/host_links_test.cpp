// Links made on the host's side, seen by the Windows build under Wine as
// reparse points: the walk, the re-check and removal must treat them as
// links. Natively the same tests run on links the test makes itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "api/edclean_error.h"
#include "clean/ed_registry.h"
#include "clean/ed_remove.h"
#include "platform/ed_platform.h"
#include "scan/ed_walk.h"
#include "test_support.h"

namespace {

class HostLinks : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char *fixture = std::getenv("EDCLEAN_LINK_FIXTURE")) {
            root_ = fixture;
            return;
        }
        if (edtest::running_under_wine())
            GTEST_SKIP() << "Wine cannot create links; run through CTest for the host-made fixture";
        tree_ = std::make_unique<edtest::temp_tree>();
        tree_->mkdir("target");
        tree_->mkdir("holder");
        if (!tree_->symlink(tree_->path("target"), "dir_link", true) ||
            !tree_->symlink(tree_->path("target"), "holder/link", true))
            GTEST_SKIP() << "this account may not create symbolic links";
        root_ = tree_->root();
    }
    void TearDown() override { ed_clear_roots(); }

    std::string path(const char *relative) const { return root_ + "/" + relative; }

    std::unique_ptr<edtest::temp_tree> tree_;
    std::string root_;
};

TEST_F(HostLinks, DirectoryLinkIsALinkNotADirectory) {
    ed_stat st{};
    ASSERT_EQ(ed_fill_stat(path("dir_link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & ED_S_IFMT, ED_S_IFLNK);
    char *canonical = nullptr;
    ed_file_id id;
    EXPECT_EQ(ed_inspect_root(path("dir_link").c_str(), &canonical, &id), ED_ROOT_LINK);
    std::free(canonical);
}

TEST_F(HostLinks, WalkAndRecheckNeverFollowALink) {
    ed_scan_result scanned;
    const ed_scan_opts opts{1, 1};
    ASSERT_EQ(ed_scan_tree(path("holder").c_str(), &opts, &scanned), 0);
    EXPECT_EQ(scanned.empty_dirs->n, 0);
    EXPECT_EQ(scanned.scanned_dirs, 1);
    EXPECT_EQ(ed_dir_still_empty(path("holder").c_str(), 1), 0);
}

TEST_F(HostLinks, RemovalRefusesTheLinkAndLeavesItsTarget) {
    ed_clear_roots();
    char *canonical = ed_canonical_path(root_.c_str());
    ASSERT_NE(canonical, nullptr);
    const char *roots[] = {canonical};
    ed_register_roots(roots, 1);
    std::free(canonical);

    std::string link = path("dir_link");
    char *paths[] = {link.data()};
    ed_clear_error();
    EXPECT_EQ(ed_delete_dirs_list(paths, 1, 1), 0);
    EXPECT_STREQ(ed_error_buffer(), "refused: symlink");
    ed_stat st{};
    EXPECT_EQ(ed_fill_stat(path("target").c_str(), &st), 0);
    EXPECT_EQ(ed_fill_stat(path("dir_link").c_str(), &st), 0);
}

} // namespace
