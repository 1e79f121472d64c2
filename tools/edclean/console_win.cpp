#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "console.h"

namespace edclean_tool {

namespace {

std::string to_utf8(const wchar_t *wide, int length) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string text(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::wstring to_wide(const std::string &text) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    return wide;
}

struct handle_closer {
    void operator()(HANDLE h) const noexcept {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

// The final path of what `path` leads to, links followed, in the library's
// spelling ("C:/Users/x", "//server/share/x").
std::optional<std::string> final_path(const std::string &path, std::string &error) {
    std::unique_ptr<void, handle_closer> handle(CreateFileW(
        to_wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
        error = system_message(GetLastError());
        return std::nullopt;
    }
    std::wstring wide(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle.get(), wide.data(),
                                                       static_cast<DWORD>(wide.size()), 0);
        if (length == 0) {
            error = system_message(GetLastError());
            return std::nullopt;
        }
        if (length < wide.size()) {
            wide.resize(length);
            break;
        }
        wide.resize(length);
    }
    if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0)
        wide = L"\\\\" + wide.substr(8);
    else if (wide.rfind(L"\\\\?\\", 0) == 0)
        wide = wide.substr(4);
    std::string text = to_utf8(wide.data(), static_cast<int>(wide.size()));
    for (char &c : text)
        if (c == '\\')
            c = '/';
    if (text.size() > 3 && text.back() == '/')
        text.pop_back();
    return text;
}

bool ascii_equal_ignoring_case(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::optional<std::string> environment(const wchar_t *name) {
    const wchar_t *value = _wgetenv(name);
    if (value == nullptr || *value == L'\0')
        return std::nullopt;
    return to_utf8(value, -1).c_str();
}

} // namespace

std::string system_message(unsigned long code) {
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::unique_ptr<wchar_t, decltype(&LocalFree)> owner(text, &LocalFree);
    std::string message = length > 0 ? to_utf8(text, static_cast<int>(length)) : std::string();
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "system error " + std::to_string(code) : message;
}

std::vector<std::string> utf8_arguments(int, char **) {
    // The narrow argv is in the ANSI code page; the wide command line has
    // every character.
    int count = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    std::vector<std::string> arguments;
    for (int i = 0; wide && i < count; ++i)
        arguments.push_back(to_utf8(wide.get()[i], -1).c_str());
    return arguments;
}

void prepare_console() {
    SetConsoleOutputCP(CP_UTF8);
    // "-0" output carries NUL bytes and paths: no newline translation.
    _setmode(_fileno(stdout), _O_BINARY);
}

// A closed pipe fails the write there; nothing ends the program.
void keep_running_when_output_closes() {}

namespace {
volatile LONG g_interrupted = 0;
BOOL WINAPI note_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;
}
} // namespace

void stop_at_interrupt() { SetConsoleCtrlHandler(note_interrupt, TRUE); }

bool interrupt_requested() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

int terminal_rows() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int terminal_columns(bool of_stderr) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(of_stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE),
                                    &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::optional<std::string> real_path(const std::string &path, std::string &error) {
    return final_path(path, error);
}

std::optional<std::string> link_target(const std::string &path) {
    const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return std::nullopt;
    std::string error;
    return final_path(path, error).value_or("?");
}

bool directory_readable(const std::string &path, std::string &error) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(to_wide(path + "/*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        error = system_message(code);
        return false;
    }
    FindClose(find);
    return true;
}

std::optional<folder_identity> identity_of(const std::string &path) {
    std::unique_ptr<void, handle_closer> handle(CreateFileW(
        to_wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle.get(), &info))
        return std::nullopt;
    return folder_identity{info.dwVolumeSerialNumber,
                           (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::vector<std::string> system_trees() {
    // Windows itself and the program folders: what installers and the
    // system put there is theirs.
    std::vector<std::string> trees;
    for (const wchar_t *name : {L"SystemRoot", L"windir", L"ProgramFiles", L"ProgramFiles(x86)",
                                L"ProgramW6432", L"ProgramData"})
        if (auto value = environment(name)) {
            std::string error;
            trees.push_back(final_path(*value, error).value_or(*value));
        }
    return trees;
}

std::vector<std::string> protected_homes() {
    std::vector<std::string> homes;
    for (const wchar_t *name : {L"HOME", L"USERPROFILE"})
        if (auto value = environment(name)) {
            std::string error;
            if (auto real = final_path(*value, error))
                homes.push_back(*real);
        }
    return homes;
}

bool same_path(const std::string &a, const std::string &b) {
    return ascii_equal_ignoring_case(a, b);
}

} // namespace edclean_tool
