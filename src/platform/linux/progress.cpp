// Linux backend: lines of a scan's progress, written without waiting.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/linux/internal.h"

namespace {

// The signals a write of a line could raise, held back from the calling
// thread while it writes. SIGPIPE: a reader gone away ends the lines and
// never the host; one that the write raised is taken back before the
// thread's mask is restored. SIGTTOU: a terminal set to stop background jobs
// that write would stop the whole host; held, it is never raised and the
// write goes through.
class signals_held {
  public:
    signals_held() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t both = pipe_;
        sigaddset(&both, SIGTTOU);
        sigset_t pending;
        sigemptyset(&pending);
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        held_ = pthread_sigmask(SIG_BLOCK, &both, &previous_) == 0;
    }
    ~signals_held() {
        if (!held_)
            return;
        if (raised_ && !was_pending_) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;

    bool held() const { return held_; }
    void pipe_raised() { raised_ = true; }

  private:
    sigset_t pipe_;
    sigset_t previous_;
    bool was_pending_ = false;
    bool held_ = false;
    bool raised_ = false;
};

// A terminal that asks background jobs not to write to it, while the host
// is one: the user said they do not want its output now. A later line may
// go once the host is back in the foreground.
bool terminal_keeps_us_quiet(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    if (foreground < 0 || foreground == getpgrp())
        return false;
    termios settings{};
    return tcgetattr(fd, &settings) == 0 && (settings.c_lflag & TOSTOP) != 0;
}

// 1 the descriptor can take bytes now, 0 not now, -1 never again.
int ready_for_writing(int fd) {
    pollfd ready{fd, POLLOUT, 0};
    int polled;
    while ((polled = ::poll(&ready, 1, 0)) < 0 && errno == EINTR) {
    }
    if (polled < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        return -1;
    return (ready.revents & POLLOUT) != 0 ? 1 : 0;
}

} // namespace

int ed_progress_write(int64_t target, const char *line, size_t length) {
    if (target < 0 || target > INT_MAX || line == nullptr)
        return -1;
    const int fd = static_cast<int>(target);
    // A reader that is not ready would make a blocking write wait: the line
    // goes only when the descriptor can take it now. A descriptor in
    // non-blocking mode never waits at all, nor does a socket, which is sent
    // to without waiting whatever its mode. A blocking pipe that another
    // writer fills between the check and the write can still make the write
    // wait: a pipe has no way to ask for a single write that does not.
    const int ready = ready_for_writing(fd);
    if (ready <= 0)
        return ready;
    if (terminal_keeps_us_quiet(fd))
        return 0;
    struct stat kind {};
    const bool socket = ::fstat(fd, &kind) == 0 && S_ISSOCK(kind.st_mode);
    signals_held hold;
    if (!hold.held())
        return -1;
    size_t done = 0;
    while (done < length) {
        ssize_t written;
        do {
            written = socket ? ::send(fd, line + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                             : ::write(fd, line + done, length - done);
        } while (written < 0 && errno == EINTR);
        const int error = written < 0 ? errno : 0;
        if (error == EPIPE)
            hold.pipe_raised();
        if (written < 0 && (error == EAGAIN || error == EWOULDBLOCK) && done == 0)
            return 0;
        if (written <= 0)
            return -1;
        done += static_cast<size_t>(written);
        // Part of a line taken: the rest must follow at once, or the next
        // line would be glued to a cut one, so a reader that cannot take it
        // now gets no more lines.
        if (done < length && ready_for_writing(fd) <= 0)
            return -1;
    }
    return 1;
}
