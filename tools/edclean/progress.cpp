#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "console.h"

namespace edclean_tool {

using clock_type = std::chrono::steady_clock;

progress_line::progress_line(std::string label, const std::atomic<long long> *done, long long total)
    : label_(std::move(label)), done_count_(done), total_(total) {
    if (!edclean_tool::stderr_is_terminal())
        return;
    worker_ = std::thread([this] { run(); });
}

progress_line::~progress_line() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void progress_line::run() {
    const auto start = clock_type::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; }))
        return;
    int width = 0;
    while (!done_) {
        const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
        std::string line = label_;
        if (done_count_ != nullptr)
            line += " " + std::to_string(done_count_->load()) + " of " + std::to_string(total_);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, ", %.0f s", elapsed);
        line += seconds;
        width = std::max(width, static_cast<int>(line.size()));
        std::fprintf(stderr, "\r%-*s", width, line.c_str());
        std::fflush(stderr);
        wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; });
    }
    std::fprintf(stderr, "\r%*s\r", width, "");
    std::fflush(stderr);
}

} // namespace edclean_tool
