#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "progress.h"

namespace edclean_tool {

progress_pipe::progress_pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    read_ = ends[0];
    write_ = ends[1];
}

progress_pipe::~progress_pipe() {
    if (read_ >= 0)
        close(static_cast<int>(read_));
    if (write_ >= 0)
        close(static_cast<int>(write_));
}

std::optional<long long> progress_pipe::target() const {
    return write_ >= 0 ? std::optional<long long>(write_) : std::nullopt;
}

std::string progress_pipe::take() {
    std::string text;
    if (read_ < 0)
        return text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(static_cast<int>(read_), chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return text; // empty for now (EAGAIN), or nothing more to come
    }
}

} // namespace edclean_tool
