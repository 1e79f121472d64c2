// The scan's progress lines: whole lines, a few a second while the counts
// change, and the final counts last.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "scan/ed_scan_report.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

namespace {

std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> lines;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    close(fd);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "a line without its end: " << text;
    return lines;
}

TEST(ScanProgressLines, AFewASecondFromEveryThreadThenTheFinalCounts) {
    edtest::temp_tree tree;
    const std::string path = tree.path("lines");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    {
        ed_scan_progress progress(fd);
        // Four threads read entries for about 1.2 s, as a parallel walk of a
        // slow tree would.
        std::vector<std::thread> walkers;
        for (int t = 0; t < 4; ++t)
            walkers.emplace_back([&progress] {
                for (int i = 0; i < 1200; ++i) {
                    for (int k = 0; k < 64; ++k)
                        progress.saw_entry();
                    progress.opened_dir();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        for (std::thread &walker : walkers)
            walker.join();
        progress.finish(7);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(fd);
    const std::vector<std::string> lines = lines_of(path);
    ASSERT_GE(lines.size(), 3u) << "lines while the walk went on, not only the last";
    // One every 250 ms at most, and the last.
    EXPECT_LE(static_cast<double>(lines.size()), seconds / 0.25 + 2) << seconds << " s";
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("{\"seen\":", 0), 0u) << lines[i];
    EXPECT_EQ(lines.back(), "{\"seen\":307200,\"listed\":7}");
}

} // namespace
#endif
