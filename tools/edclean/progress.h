// Long work shows that it is alive on a terminal.
#ifndef EDCLEAN_TOOL_PROGRESS_H
#define EDCLEAN_TOOL_PROGRESS_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace edclean_tool {

// Long work shows that it is alive: after a second, a line on a terminal's
// standard error with what has been done and the time taken, erased when
// the work ends; never off a terminal. The library reports nothing while a
// scan runs, so a scan shows only its time; a removal counts its entries.
class progress_line {
  public:
    explicit progress_line(std::string label, const std::atomic<long long> *done = nullptr,
                           long long total = 0);
    ~progress_line();
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

  private:
    void run();

    std::string label_;
    const std::atomic<long long> *done_count_;
    long long total_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
};

} // namespace edclean_tool

#endif
