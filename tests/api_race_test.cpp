// Names inside and above a scanned root are swapped, again and again, for
// links to an outside tree full of empty directories and zero-byte files,
// while delete calls (or scans) run over the inside paths. Nothing outside
// may go, and no scan may list or accept anything outside.
// EDCLEAN_RACE_ITERATIONS makes the runs longer (default 3000 swaps or
// rounds; at most 20 seconds for the first race and a few seconds for the
// others unless a count is given).
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {

constexpr int kEntries = 16;

std::string array_of(const std::string &base, const char *prefix) {
    std::string json = "[";
    for (int i = 0; i < kEntries; ++i)
        json += (i ? ",\"" : "\"") + base + "/" + prefix + std::to_string(i) + "\"";
    return json + "]";
}

// Creates e<i> (empty directories) and z<i> (zero-byte files) in the
// directory `relative` beneath `base`, reached without following any link,
// so that nothing can be put back through a link that happens to be there.
void fill_beneath(const std::string &base, const char *relative) {
    const int top = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0)
        return;
    const int fd = *relative == '\0'
                       ? dup(top)
                       : openat(top, relative, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(top);
    if (fd < 0)
        return;
    for (int i = 0; i < kEntries; ++i) {
        (void)mkdirat(fd, (edtest::numbered("e", i)).c_str(), 0755);
        const int f = openat(fd, (edtest::numbered("z", i)).c_str(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (f >= 0)
            close(f);
    }
    close(fd);
}

TEST(Race, SwappingADirectoryForALinkNeverLetsRemovalOutside) {
    long iterations = 3000;
    if (const char *text = std::getenv("EDCLEAN_RACE_ITERATIONS"))
        iterations = std::atol(text);
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    for (int i = 0; i < kEntries; ++i) {
        outside.mkdir(edtest::numbered("e", i));
        outside.file(edtest::numbered("z", i));
        tree.mkdir(edtest::numbered("victim/e", i));
        tree.file(edtest::numbered("victim/z", i));
    }
    char *listed = edclean_scan(edtest::json_array({tree.root()}).c_str(), nullptr);
    ASSERT_NE(listed, nullptr) << edclean_last_error();
    edclean_free_string(listed);

    const std::string victim = tree.canonical_path("victim");
    const std::string parked = tree.canonical_path("victim.real");
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (swaps < iterations && std::chrono::steady_clock::now() < deadline) {
            if (std::rename(victim.c_str(), parked.c_str()) != 0)
                continue;
            if (symlink(outside.canonical().c_str(), victim.c_str()) == 0) {
                std::this_thread::yield();
                unlink(victim.c_str());
            }
            std::rename(parked.c_str(), victim.c_str());
            ++swaps;
        }
        stop = true;
    });

    const std::string files = array_of(victim, "z");
    const std::string dirs = array_of(victim, "e");
    long removed = 0;
    while (!stop) {
        removed += std::max(0, edclean_delete_files(files.c_str()));
        removed += std::max(0, edclean_delete_dirs(dirs.c_str()));
        // Put the inside entries back for the next round, through a
        // descriptor of the real directory, never through the link, so that
        // nothing removed outside could be put back unnoticed.
        for (const std::string &base : {victim, parked})
            fill_beneath(base, "");
    }
    swapper.join();

    for (int i = 0; i < kEntries; ++i) {
        EXPECT_TRUE(outside.exists(edtest::numbered("e", i))) << "outside e" << i << " was removed";
        EXPECT_TRUE(outside.exists(edtest::numbered("z", i))) << "outside z" << i << " was removed";
    }
    EXPECT_GT(swaps.load(), 0);
    EXPECT_GT(removed, 0) << "the delete calls must have had work to do";
    std::fprintf(stderr, "race: %ld swaps, %ld removals inside\n", swaps.load(), removed);
}

// How long one of the races below runs: EDCLEAN_RACE_ITERATIONS rounds
// (default 3000), cut off after a few seconds unless a count was asked for.
class race_budget {
  public:
    race_budget() {
        const char *text = std::getenv("EDCLEAN_RACE_ITERATIONS");
        rounds_ = text != nullptr ? std::atol(text) : 3000;
        deadline_ =
            std::chrono::steady_clock::now() + std::chrono::seconds(text != nullptr ? 600 : 3);
    }
    bool more(long done) const {
        return done < rounds_ && std::chrono::steady_clock::now() < deadline_;
    }

  private:
    long rounds_;
    std::chrono::steady_clock::time_point deadline_;
};

// Both names stay taken at every instant: the kernel swaps them in one step.
int exchange_names(const std::string &a, const std::string &b) {
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
}

// Swaps two names again and again on its own thread until destroyed.
// `on_failure` runs when a swap fails (one of the names went).
class swapper {
  public:
    template <typename F>
    swapper(std::string a, std::string b, F on_failure)
        : thread_([this, a, b, on_failure] {
              while (!stop_)
                  if (exchange_names(a, b) == 0)
                      ++swaps_;
                  else
                      on_failure();
          }) {}
    ~swapper() { stop(); }
    swapper(const swapper &) = delete;
    swapper &operator=(const swapper &) = delete;
    long stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return swaps_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> swaps_{0};
    std::thread thread_;
};

bool exchange_supported(const edtest::temp_tree &tree) {
    tree.mkdir("x1");
    tree.mkdir("x2");
    const bool supported = exchange_names(tree.path("x1"), tree.path("x2")) == 0;
    rmdir(tree.path("x1").c_str());
    rmdir(tree.path("x2").c_str());
    return supported;
}

void fill(const edtest::temp_tree &tree, const std::string &relative) {
    for (int i = 0; i < kEntries; ++i) {
        tree.mkdir(relative + edtest::numbered("/e", i));
        tree.file(relative + edtest::numbered("/z", i));
    }
}

void expect_all_there(const edtest::temp_tree &tree, const std::string &relative) {
    for (int i = 0; i < kEntries; ++i)
        for (const char *prefix : {"e", "z"}) {
            const std::string entry = relative + "/" + prefix + std::to_string(i);
            EXPECT_TRUE(tree.exists(entry)) << entry << " was removed";
        }
}

void scan_or_fail(const std::string &root) {
    char *listed = edclean_scan(edtest::json_array({root}).c_str(), nullptr);
    ASSERT_NE(listed, nullptr) << edclean_last_error();
    edclean_free_string(listed);
}

// The scanned root is T/anc/root; T/anc is exchanged, again and again, with
// a link to an outside tree whose root/ holds the same names. A removal that
// reached the root by its name, following the link above it, would empty
// the outside tree.
TEST(Race, SwappingAnAncestorOfTheRootForALinkNeverLetsRemovalOutside) {
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    if (!exchange_supported(tree))
        GTEST_SKIP() << "this file system cannot exchange two names (renameat2 RENAME_EXCHANGE)";
    fill(tree, "anc/root");
    fill(outside, "root");
    ASSERT_TRUE(tree.symlink(outside.canonical(), "anc.link", true));
    ASSERT_NO_FATAL_FAILURE(scan_or_fail(tree.path("anc/root")));

    const std::string base = tree.canonical_path("anc/root");
    const std::string files = array_of(base, "z");
    const std::string dirs = array_of(base, "e");
    const race_budget budget;
    long removed = 0;
    long rounds = 0;
    {
        swapper swapping(tree.canonical_path("anc"), tree.canonical_path("anc.link"), [] {});
        for (; budget.more(rounds); ++rounds) {
            removed += std::max(0, edclean_delete_files(files.c_str()));
            removed += std::max(0, edclean_delete_dirs(dirs.c_str()));
            fill_beneath(tree.canonical_path("anc"), "root");
            fill_beneath(tree.canonical_path("anc.link"), "root");
        }
        EXPECT_GT(swapping.stop(), 0);
    }
    expect_all_there(outside, "root");
    EXPECT_GT(removed, 0) << "the delete calls must have had work to do";
    std::fprintf(stderr, "ancestor race: %ld rounds, %ld removals inside\n", rounds, removed);
}

// The same without a thread: the ancestor was renamed away and a fresh
// tree of the same shape made in its place. The fresh root was never
// scanned, whatever its path says.
TEST(Race, RootWhoseAncestorWasReplacedIsNoLongerTheScannedOne) {
    edtest::temp_tree tree;
    fill(tree, "anc/root");
    ASSERT_NO_FATAL_FAILURE(scan_or_fail(tree.path("anc/root")));
    ASSERT_EQ(std::rename(tree.path("anc").c_str(), tree.path("anc.old").c_str()), 0);
    fill(tree, "anc/root");

    const std::string base = tree.canonical_path("anc/root");
    EXPECT_EQ(edclean_delete_files(array_of(base, "z").c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_EQ(edclean_delete_dirs(array_of(base, "e").c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    EXPECT_EQ(edclean_delete_dirs(edtest::json_array({base}).c_str()), 0);
    EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots");
    expect_all_there(tree, "anc/root");
    expect_all_there(tree, "anc.old/root");
}

// Inside the root R, the name S is exchanged again and again between a real
// directory and a link to R/T, while delete calls name R/S, R/S/. and what
// S holds. Through the link they would reach T and its content, which are
// inside the root but were never named.
TEST(Race, SwappingALeafForALinkNeverRemovesWhatTheLinkReaches) {
    edtest::temp_tree tree;
    if (!exchange_supported(tree))
        GTEST_SKIP() << "this file system cannot exchange two names (renameat2 RENAME_EXCHANGE)";
    tree.mkdir("R/T/e0");
    tree.file("R/T/z0");
    fill(tree, "R/S");
    ASSERT_TRUE(tree.symlink(tree.canonical_path("R/T"), "R/L", true));
    ASSERT_NO_FATAL_FAILURE(scan_or_fail(tree.path("R")));

    const std::string s = tree.canonical_path("R/S");
    const std::string files = array_of(s, "z");
    std::vector<std::string> dir_paths = {s, s + "/.", s + "/./"};
    for (int i = 0; i < kEntries; ++i)
        dir_paths.push_back(s + edtest::numbered("/e", i));
    const std::string dirs = edtest::json_array(dir_paths);
    const race_budget budget;
    long removed = 0;
    long rounds = 0;
    {
        // The real directory may be removed, rightly, while it is at S: make
        // another for the swaps to go on.
        swapper swapping(s, tree.canonical_path("R/L"), [&s] { (void)mkdir(s.c_str(), 0755); });
        for (; budget.more(rounds) && tree.exists("R/T/e0") && tree.exists("R/T/z0"); ++rounds) {
            removed += std::max(0, edclean_delete_files(files.c_str()));
            removed += std::max(0, edclean_delete_dirs(dirs.c_str()));
            fill_beneath(s, "");
            fill_beneath(tree.canonical_path("R/L"), "");
        }
        EXPECT_GT(swapping.stop(), 0);
    }
    EXPECT_TRUE(tree.exists("R/T/e0")) << "removed through the link";
    EXPECT_TRUE(tree.exists("R/T/z0")) << "removed through the link";
    EXPECT_GT(removed, 0) << "the delete calls must have had work to do";
    std::fprintf(stderr, "leaf race: %ld rounds, %ld removals inside\n", rounds, removed);
}

// True when every path the scan result lists lies below `inside`.
::testing::AssertionResult lists_only_below(const char *text, const std::string &inside) {
    const auto lists = edclean_json_io::read_scan_result(text);
    if (!lists)
        return ::testing::AssertionFailure() << "not a result: " << text;
    for (const auto *paths : {&lists->empty_dirs, &lists->zero_files})
        for (const std::string &p : *paths)
            if (p.rfind(inside + "/", 0) != 0)
                return ::testing::AssertionFailure() << p << " listed";
    return ::testing::AssertionSuccess();
}

// The root's own name is exchanged again and again between the real
// directory and a link to an outside tree while scans of it run. A scan
// sees either the link (refused), a name that would not hold still
// (refused), or the real directory under the name it has at that moment;
// it never accepts or lists the outside tree.
TEST(Race, SwappingTheRootForALinkDuringScansNeverAcceptsTheOutside) {
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    if (!exchange_supported(tree))
        GTEST_SKIP() << "this file system cannot exchange two names (renameat2 RENAME_EXCHANGE)";
    tree.mkdir("root/e");
    tree.file("root/z");
    outside.mkdir("e");
    outside.file("z");
    ASSERT_TRUE(tree.symlink(outside.canonical(), "root.link", true));

    const std::string root = tree.path("root");
    const std::string dirs = edtest::json_array({root});
    const race_budget budget;
    long accepted = 0;
    long rounds = 0;
    {
        swapper swapping(tree.canonical_path("root"), tree.canonical_path("root.link"), [] {});
        for (; budget.more(rounds); ++rounds) {
            std::unique_ptr<char, void (*)(char *)> text(edclean_scan(dirs.c_str(), nullptr),
                                                         edclean_free_string);
            if (!text) {
                const std::string error = edclean_last_error();
                // "realpath failed": the directory was opened, but its name
                // moved before the name could be checked to lead to it.
                EXPECT_TRUE(error == "refused: symlink root" ||
                            error == "root not found: " + root ||
                            error == "realpath failed: " + root)
                    << error;
                continue;
            }
            ++accepted;
            ASSERT_TRUE(lists_only_below(text.get(), tree.canonical()));
        }
        EXPECT_GT(swapping.stop(), 0);
    }
    EXPECT_GT(accepted, 0) << "some scans must have seen the real directory";

    // Whatever the scans registered, the outside tree is not inside it, by
    // its own path or through the link.
    struct stat st;
    if (lstat(root.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        ASSERT_EQ(exchange_names(root, tree.path("root.link")), 0);
    }
    for (const std::string &base : {outside.canonical(), root}) {
        EXPECT_EQ(edclean_delete_dirs(edtest::json_array({base + "/e"}).c_str()), 0);
        EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots") << base;
        EXPECT_EQ(edclean_delete_files(edtest::json_array({base + "/z"}).c_str()), 0);
        EXPECT_STREQ(edclean_last_error(), "refused: outside scanned roots") << base;
    }
    EXPECT_TRUE(outside.exists("e"));
    EXPECT_TRUE(outside.exists("z"));
    std::fprintf(stderr, "root race: %ld scans, %ld accepted\n", rounds, accepted);
}

} // namespace

#endif
