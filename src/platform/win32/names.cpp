// Win32 backend: UTF-8 and UTF-16 texts, device names and the host paths Win32
// would read otherwise than as written.
#include "platform/win32/internal.h"

namespace ed_win32 {

bool is_ascii_letter(unsigned c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
static wchar_t ascii_upper(wchar_t c) { return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c; }

static bool equals_ascii_nocase(const wchar_t *text, const char *ascii, size_t units) {
    for (size_t i = 0; i < units; ++i)
        if (ascii_upper(text[i]) != static_cast<wchar_t>(ascii[i]))
            return false;
    return true;
}

// The base names Win32 maps to devices in any directory.
static bool is_device_base(const wchar_t *base, size_t units) {
    if (units == 3)
        for (const char *device : {"CON", "PRN", "AUX", "NUL"})
            if (equals_ascii_nocase(base, device, 3))
                return true;
    if (units == 4 &&
        (equals_ascii_nocase(base, "COM", 3) || equals_ascii_nocase(base, "LPT", 3))) {
        const wchar_t digit = base[3];
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
               digit == L'\u00b3';
    }
    return (units == 6 && equals_ascii_nocase(base, "CONIN$", 6)) ||
           (units == 7 && equals_ascii_nocase(base, "CONOUT$", 7));
}

// True when Win32 path handling would not pass `name` through as the same
// single component: it would be trimmed, read as a device or a stream, or
// refused. Also true for "", "." and "..".
bool win32_alters_name(const wchar_t *name, size_t units) {
    if (units == 0 || name[units - 1] == L'.' || name[units - 1] == L' ')
        return true;
    for (size_t i = 0; i < units; ++i) {
        const wchar_t c = name[i];
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' ||
            c == L'"' || c == L'<' || c == L'>' || c == L'|')
            return true;
    }
    // A device name keeps its meaning with an extension and with spaces
    // before the extension ("nul .txt").
    size_t base = 0;
    while (base < units && name[base] != L'.')
        ++base;
    while (base > 0 && name[base - 1] == L' ')
        --base;
    return is_device_base(name, base);
}

// The UTF-16 form of `bytes` bytes of UTF-8; empty for invalid or empty text.
// Running out of memory throws: an empty answer would read as "no such path".
std::wstring wide_of(const char *text, size_t bytes) {
    if (text == nullptr || bytes == 0 || bytes > INT_MAX)
        return {};
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text,
                                          static_cast<int>(bytes), nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(bytes),
                            wide.data(), units) != units ||
        wide.find(L'\0') != std::wstring::npos)
        return {};
    return wide;
}

std::wstring wide_of(const char *text) {
    return text == nullptr ? std::wstring() : wide_of(text, std::strlen(text));
}

// The UTF-8 form of `wide` in a new malloc block; null when it is not valid
// UTF-16 or longer than `limit` bytes.
char *utf8_of(std::wstring_view wide, size_t limit) {
    if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX))
        return nullptr;
    const int units = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units,
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0 || static_cast<size_t>(bytes) > limit)
        return nullptr;
    ed_heap_text text(static_cast<char *>(std::malloc(static_cast<size_t>(bytes) + 1)));
    if (!text)
        throw std::bad_alloc();
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units, text.get(), bytes,
                            nullptr, nullptr) != bytes)
        return nullptr;
    text.get()[bytes] = '\0';
    return text.release();
}

// Where the stream part of a host's path begins: the offset of the ':' that
// ends the name of a file ("d\f.txt:s", "C:\d\f.txt:s:$DATA"), or 0 when the
// path names no stream. The ':' of a drive designator ("C:" at the start or
// right after a "\\?\" or "\\.\" prefix) belongs to no stream.
size_t stream_part_start(const char *path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    size_t start = 0;
    if (separator(path[0]) && separator(path[1]) && (path[2] == '?' || path[2] == '.') &&
        separator(path[3]))
        start = 4;
    if (is_ascii_letter(static_cast<unsigned char>(path[start])) && path[start + 1] == ':')
        start += 2;
    const char *colon = std::strchr(path + start, ':');
    return colon != nullptr ? static_cast<size_t>(colon - path) : 0;
}

// A path that names a stream, or starts with one (":s" is a stream of the
// current directory): never a file or directory of its own here.
bool names_stream(const char *path) { return path[0] == ':' || stream_part_start(path) != 0; }

static bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// True when Win32 would read the component as a device: its base name (up to
// the first '.', trailing dots and spaces dropped) is a device's name.
static bool names_device(std::wstring_view component) {
    size_t units = component.size();
    while (units > 0 && (component[units - 1] == L'.' || component[units - 1] == L' '))
        --units;
    size_t base = 0;
    while (base < units && component[base] != L'.')
        ++base;
    while (base > 0 && component[base - 1] == L' ')
        --base;
    return is_device_base(component.data(), base);
}

// True for a path in the device namespace ("\\.\C:\d", "\\.\pipe\p"), in the
// NT namespace ("\??\C:\d") or in any "\\?\" form but a drive path or a UNC
// path ("\\?\GLOBALROOT\..."): whatever such a path names, it is not named
// the way a root or a listed path is.
bool names_device_namespace(std::wstring_view path) {
    if (path.size() < 4 || !is_separator(path[0]) || !is_separator(path[3]))
        return false;
    if (path[1] == L'?' && path[2] == L'?')
        return true;
    if (!is_separator(path[1]) || (path[2] != L'.' && path[2] != L'?'))
        return false;
    if (path[2] == L'.')
        return true;
    const std::wstring_view rest = path.substr(4);
    const bool drive =
        rest.size() >= 3 && is_ascii_letter(rest[0]) && rest[1] == L':' && is_separator(rest[2]);
    const bool unc =
        rest.size() >= 4 && equals_ascii_nocase(rest.data(), "UNC", 3) && is_separator(rest[3]);
    return !drive && !unc;
}

// True for a host's path that may reach something other than a file or
// directory of a mounted file system: the device namespace ("\\.\..."), NT
// names ("\??\..."), any "\\?\" form but a drive path or a UNC path, the
// pipe and mailslot shares of a server, and any component Win32 reads as a
// device ("NUL", "C:\d\com1.txt"). Such a path is never opened: opening a
// pipe is connecting to its server.
bool host_path_refused(std::wstring_view path) {
    size_t start = 0;
    bool unc = false;
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
        (path[2] == L'.' || path[2] == L'?') && is_separator(path[3])) {
        if (path[2] == L'.')
            return true;
        const std::wstring_view rest = path.substr(4);
        if (rest.size() >= 3 && is_ascii_letter(rest[0]) && rest[1] == L':' &&
            is_separator(rest[2])) {
            start = 7;
        } else if (rest.size() >= 4 && equals_ascii_nocase(rest.data(), "UNC", 3) &&
                   is_separator(rest[3])) {
            start = 8;
            unc = true;
        } else {
            return true;
        }
    } else if (path.size() >= 4 && is_separator(path[0]) && path[1] == L'?' && path[2] == L'?' &&
               is_separator(path[3])) {
        return true;
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        start = 2;
        unc = true;
    }
    size_t index = 0; // of the component, counted from `start`
    while (start < path.size()) {
        size_t end = start;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        const std::wstring_view component = path.substr(start, end - start);
        if (names_device(component))
            return true;
        // "\\server\pipe\name" reaches a named pipe on that server.
        if (unc && index == 1 &&
            ((component.size() == 4 && equals_ascii_nocase(component.data(), "PIPE", 4)) ||
             (component.size() == 8 && equals_ascii_nocase(component.data(), "MAILSLOT", 8))))
            return true;
        if (!component.empty())
            ++index;
        start = end + 1;
    }
    return false;
}

} // namespace ed_win32

using namespace ed_win32;

int ed_wide_from_utf8(const char *text, wchar_t **out) {
    if (text == nullptr || *text == '\0')
        return -1;
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0)
        return -1;
    std::unique_ptr<wchar_t, ed_free_deleter> wide(
        static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(units))));
    if (!wide ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.get(), units) <= 0)
        return -1;
    *out = wide.release();
    return 0;
}

int ed_names_equal(const char *a, size_t a_length, const char *b, size_t b_length) {
    if (a_length == b_length && (a_length == 0 || std::memcmp(a, b, a_length) == 0))
        return 1;
    const std::wstring wide_a = wide_of(a, a_length);
    const std::wstring wide_b = wide_of(b, b_length);
    if (wide_a.empty() || wide_b.empty() || wide_a.size() > INT_MAX || wide_b.size() > INT_MAX)
        return 0;
    return CompareStringOrdinal(wide_a.data(), static_cast<int>(wide_a.size()), wide_b.data(),
                                static_cast<int>(wide_b.size()), TRUE) == CSTR_EQUAL
               ? 1
               : 0;
}
