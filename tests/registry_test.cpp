#include <gtest/gtest.h>

#include <string>

#include "clean/ed_registry.h"
#include "platform/ed_platform.h"
#include "test_support.h"

namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override { ed_clear_roots(); }
    void TearDown() override { ed_clear_roots(); }
    void register_root(const std::string &root) {
        const char *roots[] = {root.c_str()};
        ed_register_roots(roots, 1);
    }
};

TEST_F(Registry, EmptyRegistryHoldsNothing) {
    edtest::temp_tree tree;
    EXPECT_EQ(ed_is_under_scanned_root(tree.root().c_str()), 0);
}

TEST_F(Registry, InsideMeansAtOrBelowAtAComponentBoundary) {
    edtest::temp_tree tree;
    tree.mkdir("Old/a/b");
    tree.mkdir("Older");
    register_root(tree.canonical_path("Old"));
    struct {
        std::string path;
        int inside;
    } const cases[] = {
        {tree.path("Old"), 1},
        {tree.path("Old/a"), 1},
        {tree.path("Old/a/b"), 1},
        {tree.path("Old/a/"), 1},
        {tree.path("Older"), 0},
        {tree.root(), 0},
        {tree.path("Old/gone"), 1},        // missing: parent resolves to the root
        {tree.path("Old/gone/deeper"), 1}, // parent resolves through its ancestor
        {tree.path("Older/gone"), 0},
        {tree.path("Old/../Old/a"), 0}, // ".." is refused before any query
        {"", 0},
        {"no-separator-missing", 0},
        {"/no-such-top-level-entry", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ed_is_under_scanned_root(c.path.c_str()), c.inside) << c.path;
    EXPECT_EQ(ed_is_under_scanned_root(nullptr), 0);
}

TEST_F(Registry, LongMissingPathIsJudgedByItsFirstBytesUpToTheLimit) {
    edtest::temp_tree tree;
    tree.mkdir("r");
    register_root(tree.canonical_path("r"));
    // Missing components past the limit; the cut falls inside the last one.
    std::string path = tree.path("r");
    while (path.size() <= ED_PATH_LIMIT + 40)
        path += "/" + std::string(200, 'x');
    EXPECT_EQ(ed_is_under_scanned_root(path.c_str()), 1);
}

TEST_F(Registry, RegisteringTheSameRootTwiceKeepsOneAndNullsArePassedOver) {
    edtest::temp_tree tree;
    const std::string root = tree.canonical();
    const char *roots[] = {root.c_str(), nullptr, root.c_str()};
    ed_register_roots(roots, 3);
    ed_register_roots(roots, 1);
    ed_register_roots(roots, 0);
    ed_register_roots(nullptr, 5);
    EXPECT_EQ(ed_is_under_scanned_root(tree.root().c_str()), 1);
}

TEST_F(Registry, ManyRootsGrowTheArray) {
    edtest::temp_tree tree;
    std::vector<std::string> roots;
    for (int i = 0; i < 20; ++i)
        roots.push_back(tree.canonical_path(edtest::numbered("r", i)));
    for (const std::string &r : roots) {
        tree.mkdir(r.substr(tree.canonical().size() + 1));
        register_root(r);
    }
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(ed_is_under_scanned_root(tree.path(edtest::numbered("r", i)).c_str()), 1) << i;
}

TEST_F(Registry, LinksAreJudgedByWhatTheyReach) {
    if (edtest::running_under_wine())
        GTEST_SKIP() << "Wine reports symbolic-link creation as done but creates nothing";
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    tree.mkdir("root/in");
    if (!tree.symlink(outside.root(), "root/escape", true) ||
        !outside.symlink(tree.path("root/in"), "way_in", true))
        GTEST_SKIP() << "this account may not create symbolic links";
    register_root(tree.canonical_path("root"));
    EXPECT_EQ(ed_is_under_scanned_root(tree.path("root/escape").c_str()), 0);
    EXPECT_EQ(ed_is_under_scanned_root(outside.path("way_in").c_str()), 1);
}

} // namespace
