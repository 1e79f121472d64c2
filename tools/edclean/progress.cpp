#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include <rapidjson/document.h>

#include "console.h"
#include "screen.h"

namespace edclean_tool {

namespace {

// "12,345": counts that grow past a screen's worth are read at a glance.
std::string grouped(uint64_t count) {
    std::string digits = std::to_string(count);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

} // namespace

progress_line::progress_line(std::string label, const std::atomic<long long> *done, long long total)
    : label_(std::move(label)), done_count_(done), total_(total) {
    if (!stderr_is_terminal())
        return;
    if (done_count_ == nullptr)
        pipe_.emplace();
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

std::optional<long long> progress_line::scan_target() const {
    return pipe_ ? pipe_->target() : std::nullopt;
}

// The counts of the latest whole line the scan wrote ({"seen":N,"listed":M});
// a line cut short or garbled is passed over.
std::string progress_line::counts_text() {
    if (!pipe_)
        return std::string();
    pending_ += pipe_->take();
    const size_t end = pending_.rfind('\n');
    if (end != std::string::npos) {
        const size_t start = pending_.rfind('{', end);
        if (start != std::string::npos) {
            rapidjson::Document line;
            line.Parse(pending_.data() + start, end - start);
            const rapidjson::Value &counts = line;
            if (!line.HasParseError() && counts.IsObject() && counts.HasMember("seen") &&
                counts["seen"].IsUint64() && counts.HasMember("listed") &&
                counts["listed"].IsUint64())
                last_counts_ = grouped(counts["seen"].GetUint64()) + " entries seen, " +
                               grouped(counts["listed"].GetUint64()) + " listed";
        }
        pending_.erase(0, end + 1);
    }
    return last_counts_;
}

void progress_line::run() {
    using clock_type = std::chrono::steady_clock;
    const auto start = clock_type::now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; }))
        return;
    size_t width = 0;
    while (!done_) {
        const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
        std::string line = label_;
        const std::string counts = counts_text();
        if (!counts.empty())
            line += ": " + counts;
        if (done_count_ != nullptr)
            line += " " + grouped(static_cast<uint64_t>(std::max(0LL, done_count_->load()))) +
                    " of " + grouped(static_cast<uint64_t>(std::max(0LL, total_)));
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, ", %.0f s", elapsed);
        line += seconds;
        // Cut to the terminal's width, less the last column: a line that
        // wrapped could not be drawn over with \r, and each redraw would
        // leave a trail of rows.
        const int columns = terminal_columns(true);
        if (columns > 1)
            line = cut_to_width(line, static_cast<size_t>(columns) - 1);
        const size_t shown_width = display_width(line);
        width = std::max(width, shown_width);
        std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(width - shown_width), "");
        std::fflush(stderr);
        wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; });
    }
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
    std::fflush(stderr);
}

} // namespace edclean_tool
