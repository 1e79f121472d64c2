// Win32 backend: lines of a scan's progress, written without waiting.
#include "platform/win32/internal.h"

using namespace ed_win32;

namespace {

// Whether the handle does its I/O synchronously: WriteFile without an
// OVERLAPPED is documented only for such a handle.
bool writes_synchronously(HANDLE handle) {
    const nt_query_information_file_fn query = nt_query_information_file();
    if (query == nullptr)
        return false;
    constexpr auto kFileModeInformation = static_cast<FILE_INFORMATION_CLASS>(16);
    ULONG mode = 0; // FILE_MODE_INFORMATION: one ULONG
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(query(handle, &io, &mode, sizeof mode, kFileModeInformation)))
        return false;
    return (mode & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
}

} // namespace

int ed_progress_write(int64_t target, const char *line, size_t length) {
    if (target <= 0 || line == nullptr || length > MAXDWORD)
        return -1;
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(target));
    // Only kinds whose writes never wait on a reader: a file on disk, and a
    // pipe whose writer end is in non-blocking mode (PIPE_NOWAIT), where a
    // full pipe takes what fits, or nothing. A console, or a pipe in the
    // default blocking mode, could hold the scan for as long as its reader
    // pleases.
    const DWORD kind = GetFileType(handle);
    if (kind == FILE_TYPE_PIPE) {
        DWORD state = 0;
        if (!GetNamedPipeHandleState(handle, &state, nullptr, nullptr, nullptr, nullptr, 0) ||
            (state & PIPE_NOWAIT) == 0)
            return -1;
    } else if (kind != FILE_TYPE_DISK) {
        return -1;
    }
    if (!writes_synchronously(handle))
        return -1;
    // A non-blocking pipe takes what fits: the rest of a line partly taken
    // must follow at once, or the next line would be glued to a cut one, so
    // a pipe that cannot take it now gets no more lines.
    size_t done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!WriteFile(handle, line + done, static_cast<DWORD>(length - done), &written, nullptr))
            return -1;
        if (written == 0)
            return done == 0 ? 0 : -1;
        done += written;
    }
    return 1;
}
