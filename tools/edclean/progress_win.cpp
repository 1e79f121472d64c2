#include <windows.h>

#include "progress.h"

namespace edclean_tool {

progress_pipe::progress_pipe() {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0))
        return;
    // The library writes only to a pipe that cannot make it wait.
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return;
    }
    read_ = reinterpret_cast<intptr_t>(read_end);
    write_ = reinterpret_cast<intptr_t>(write_end);
}

progress_pipe::~progress_pipe() {
    if (read_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(read_));
    if (write_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(write_));
}

std::optional<long long> progress_pipe::target() const {
    return write_ != -1 ? std::optional<long long>(write_) : std::nullopt;
}

std::string progress_pipe::take() {
    std::string text;
    if (read_ == -1)
        return text;
    HANDLE handle = reinterpret_cast<HANDLE>(read_);
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return text;
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(handle, chunk, available < sizeof chunk ? available : sizeof chunk, &got,
                      nullptr) ||
            got == 0)
            return text;
        text.append(chunk, got);
    }
}

} // namespace edclean_tool
