// Linux backend: lines of a scan's progress, written without waiting.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/linux/internal.h"

namespace {

// SIGPIPE held back from the calling thread while it writes, so that a
// reader gone away ends the lines and never the host; one that the write
// raised is taken back before the thread's mask is restored.
class sigpipe_held {
  public:
    sigpipe_held() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
    }
    ~sigpipe_held() {
        if (!held_)
            return;
        if (raised_ && !was_pending_) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    sigpipe_held(const sigpipe_held &) = delete;
    sigpipe_held &operator=(const sigpipe_held &) = delete;

    bool held() const { return held_; }
    void raised() { raised_ = true; }

  private:
    sigset_t pipe_;
    sigset_t previous_;
    bool was_pending_ = false;
    bool held_ = false;
    bool raised_ = false;
};

} // namespace

int ed_progress_write(int64_t target, const char *line, size_t length) {
    if (target < 0 || target > INT_MAX || line == nullptr)
        return -1;
    const int fd = static_cast<int>(target);
    // A reader that is not ready would make a blocking write wait: the line
    // goes only when the descriptor can take it now. A descriptor in
    // non-blocking mode never waits at all.
    pollfd ready{fd, POLLOUT, 0};
    int polled;
    while ((polled = ::poll(&ready, 1, 0)) < 0 && errno == EINTR) {
    }
    if (polled < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        return -1;
    if ((ready.revents & POLLOUT) == 0)
        return 0;
    sigpipe_held hold;
    if (!hold.held())
        return -1;
    ssize_t written;
    while ((written = ::write(fd, line, length)) < 0 && errno == EINTR) {
    }
    const int error = written < 0 ? errno : 0;
    if (error == EPIPE)
        hold.raised();
    if (written < 0)
        return error == EAGAIN || error == EWOULDBLOCK ? 0 : -1;
    return 1;
}
