#include "scan/ed_scan_report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/ed_platform.h"

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void ed_left_out::keep_unreadable_path(const std::string &path) {
    if (unreadable_paths.size() >= ED_LEFT_OUT_PATHS ||
        std::find(unreadable_paths.begin(), unreadable_paths.end(), path) != unreadable_paths.end())
        return;
    unreadable_paths.push_back(path);
}

ed_scan_progress::ed_scan_progress(int64_t target)
    : target_(target), next_line_ms_(now_ms() + ED_PROGRESS_INTERVAL_MS) {}

void ed_scan_progress::tick() {
    if (dead_.load(std::memory_order_relaxed))
        return;
    const int64_t now = now_ms();
    int64_t due = next_line_ms_.load(std::memory_order_relaxed);
    // One thread takes each moment a line is due; the others go on walking.
    if (now < due || !next_line_ms_.compare_exchange_strong(due, now + ED_PROGRESS_INTERVAL_MS,
                                                            std::memory_order_relaxed))
        return;
    write_line();
}

void ed_scan_progress::finish(uint64_t listed_in_result) {
    listed_.store(listed_in_result, std::memory_order_relaxed);
    if (!dead_.load(std::memory_order_relaxed))
        write_line();
}

void ed_scan_progress::write_line() {
    // Two threads never write at once: a line is whole or not written.
    if (writing_.exchange(true, std::memory_order_acquire))
        return;
    char line[64];
    const int length =
        std::snprintf(line, sizeof line, "{\"seen\":%llu,\"listed\":%llu}\n",
                      static_cast<unsigned long long>(seen_.load(std::memory_order_relaxed)),
                      static_cast<unsigned long long>(listed_.load(std::memory_order_relaxed)));
    if (length > 0 && static_cast<size_t>(length) < sizeof line &&
        ed_progress_write(target_, line, static_cast<size_t>(length)) < 0)
        dead_.store(true, std::memory_order_relaxed);
    writing_.store(false, std::memory_order_release);
}
