// Long work shows that it is alive: after about a second, one line on a
// terminal's standard error with what has been done and the time taken,
// erased when the work ends; never off a terminal.
#ifndef EDCLEAN_TOOL_PROGRESS_H
#define EDCLEAN_TOOL_PROGRESS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace edclean_tool {

// The reading end of the pipe a scan writes its counts to, per platform.
// The writing end never makes the scan wait: a line the pipe has no room
// for is dropped by the library.
class progress_pipe {
  public:
    progress_pipe();
    ~progress_pipe();
    progress_pipe(const progress_pipe &) = delete;
    progress_pipe &operator=(const progress_pipe &) = delete;

    // The number the scan option "progress_fd" takes; nothing when no pipe
    // could be made.
    std::optional<long long> target() const;
    // What has arrived since the last call, without waiting.
    std::string take();

  private:
    intptr_t read_ = -1;
    intptr_t write_ = -1;
};

class progress_line {
  public:
    // `label` says what is being done ("scanning", "removing"). With
    // `done`, the line counts it out of `total`.
    explicit progress_line(std::string label, const std::atomic<long long> *done = nullptr,
                           long long total = 0);
    ~progress_line();
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

    // Where a scan should write its counts for this line: nothing off a
    // terminal, where no line is shown.
    std::optional<long long> scan_target() const;

  private:
    void run();
    std::string counts_text();

    std::string label_;
    const std::atomic<long long> *done_count_;
    long long total_;
    std::optional<progress_pipe> pipe_;
    std::string pending_;     // bytes of a line not yet whole
    std::string last_counts_; // from the scan's latest whole line
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
};

} // namespace edclean_tool

#endif
