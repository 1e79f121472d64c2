// A directory inside a scanned root is swapped, again and again, with a
// link to an outside tree full of empty directories and zero-byte files,
// while delete calls run over the inside paths. Nothing outside may go.
// EDCLEAN_RACE_ITERATIONS makes the run longer (default 3000 swaps, at most
// 20 seconds).
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "edclean.h"
#include "test_support.h"

namespace {

constexpr int kEntries = 16;

std::string array_of(const std::string &base, const char *prefix) {
    std::string json = "[";
    for (int i = 0; i < kEntries; ++i)
        json += (i ? ",\"" : "\"") + base + "/" + prefix + std::to_string(i) + "\"";
    return json + "]";
}

TEST(Race, SwappingADirectoryForALinkNeverLetsRemovalOutside) {
    long iterations = 3000;
    if (const char *text = std::getenv("EDCLEAN_RACE_ITERATIONS"))
        iterations = std::atol(text);
    edtest::temp_tree tree;
    edtest::temp_tree outside;
    for (int i = 0; i < kEntries; ++i) {
        outside.mkdir("e" + std::to_string(i));
        outside.file("z" + std::to_string(i));
        tree.mkdir("victim/e" + std::to_string(i));
        tree.file("victim/z" + std::to_string(i));
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
        for (const std::string &base : {victim, parked}) {
            const int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                continue;
            for (int i = 0; i < kEntries; ++i) {
                (void)mkdirat(fd, ("e" + std::to_string(i)).c_str(), 0755);
                const int f = openat(fd, ("z" + std::to_string(i)).c_str(),
                                     O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
                if (f >= 0)
                    close(f);
            }
            close(fd);
        }
    }
    swapper.join();

    for (int i = 0; i < kEntries; ++i) {
        EXPECT_TRUE(outside.exists("e" + std::to_string(i))) << "outside e" << i << " was removed";
        EXPECT_TRUE(outside.exists("z" + std::to_string(i))) << "outside z" << i << " was removed";
    }
    EXPECT_GT(swaps.load(), 0);
    EXPECT_GT(removed, 0) << "the delete calls must have had work to do";
    std::fprintf(stderr, "race: %ld swaps, %ld removals inside\n", swaps.load(), removed);
}

} // namespace

#endif
