#include <windows.h>

#include <cctype>
#include <limits>

#include "journal_internal.h"

namespace edclean_tool {

namespace {

// A handle that closes itself.
class handle_owner {
  public:
    explicit handle_owner(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~handle_owner() {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    handle_owner(const handle_owner &) = delete;
    handle_owner &operator=(const handle_owner &) = delete;
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

std::string system_message(DWORD error) {
    char *text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = "Windows error ";
    message += std::to_string(error);
    if (length > 0 && text != nullptr) {
        message.assign(text, length);
        while (!message.empty() &&
               (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
            message.pop_back();
    }
    LocalFree(text);
    return message;
}

// "WHAT (the system's message)", built by appending.
std::string failure(const char *what, DWORD error) {
    std::string text = what;
    text += " (";
    text += system_message(error);
    text += ')';
    return text;
}

// The UTF-16 form of a UTF-8 path; empty when it is not UTF-8.
std::wstring wide(const std::string &text) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                          static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        out.data(), units);
    return out;
}

// FILETIME counts 100 ns from 1601-01-01 UTC.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000;

journal_time time_of(const FILETIME &t) {
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    const int64_t since_epoch = ticks - kUnixEpochTicks;
    int64_t sec = since_epoch / kTicksPerSecond;
    int64_t rest = since_epoch % kTicksPerSecond;
    if (rest < 0) {
        --sec;
        rest += kTicksPerSecond;
    }
    return journal_time{sec, static_cast<uint32_t>(rest * 100)};
}

// False for a time that FILETIME cannot hold.
bool ticks_of(const journal_time &t, LARGE_INTEGER &out) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    if (t.sec < -kUnixEpochTicks / kTicksPerSecond ||
        t.sec > (max - kUnixEpochTicks) / kTicksPerSecond - 1)
        return false;
    out.QuadPart = t.sec * kTicksPerSecond + t.nsec / 100 + kUnixEpochTicks;
    return true;
}

class win_journal_file final : public journal_file {
  public:
    explicit win_journal_file(HANDLE handle) : handle_(handle) {}

    bool append(const std::string &line, std::string &error) override {
        size_t done = 0;
        while (done < line.size()) {
            DWORD written = 0;
            if (!WriteFile(handle_.get(), line.data() + done,
                           static_cast<DWORD>(line.size() - done), &written, nullptr)) {
                error = system_message(GetLastError());
                return false;
            }
            if (written == 0) {
                error = "nothing written";
                return false;
            }
            done += written;
        }
        return true;
    }

    bool sync(std::string &error) override {
        if (FlushFileBuffers(handle_.get()))
            return true;
        error = system_message(GetLastError());
        return false;
    }

  private:
    handle_owner handle_;
};

// Checks the directories on the way to the entry at `path`: each must exist
// and be a directory that is not a link or junction, so that what restore
// creates lands in the tree the journal names. False with `status` and
// `detail` when one is not.
bool check_way(const std::string &path, restore_status &status, std::string &detail) {
    const std::vector<std::string_view> names = path_names(path);
    // The directories below the drive ("C:") or the share ("//server/share").
    for (size_t i = is_path_separator(path[0]) ? 2 : 1; i + 1 < names.size(); ++i) {
        const std::string ancestor =
            path.substr(0, static_cast<size_t>(names[i].data() - path.data()) + names[i].size());
        const DWORD attributes = GetFileAttributesW(wide(ancestor).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
                status = restore_status::parent_missing;
            } else {
                status = restore_status::failed;
                detail = failure(ancestor.c_str(), error);
            }
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            status = restore_status::blocked;
            detail = ancestor;
            return false;
        }
    }
    return true;
}

// The attributes a program may set; the others (directory, compressed,
// encrypted, reparse point, sparse) come from how the entry is made.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// Gives the object open as `handle` the journal's attributes and times.
restore_status set_metadata(HANDLE handle, const journal_entry &entry, std::string &detail) {
    FILE_BASIC_INFO info{};
    if (!ticks_of(entry.btime, info.CreationTime) || !ticks_of(entry.atime, info.LastAccessTime) ||
        !ticks_of(entry.mtime, info.LastWriteTime)) {
        detail = "times not set (out of the range Windows keeps)";
        return restore_status::incomplete;
    }
    const DWORD attributes = entry.attributes & kSettableAttributes;
    info.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info)) {
        detail = failure("attributes and times not set", GetLastError());
        return restore_status::incomplete;
    }
    return restore_status::recreated;
}

bool identity_of(HANDLE handle, created_identity &id, DWORD &attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.object = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    attributes = info.dwFileAttributes;
    return true;
}

HANDLE open_dir(const std::string &path) {
    return CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

} // namespace

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

bool is_absolute_path(const std::string &path) {
    const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                       path[1] == ':' && is_path_separator(path[2]);
    const bool share = path.size() >= 2 && is_path_separator(path[0]) && is_path_separator(path[1]);
    return drive || share;
}

bool read_entry_metadata(journal_entry &entry, std::string &error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(entry.path).c_str(), GetFileExInfoStandard, &data)) {
        error = system_message(GetLastError());
        return false;
    }
    entry.attributes = data.dwFileAttributes;
    entry.btime = time_of(data.ftCreationTime);
    entry.atime = time_of(data.ftLastAccessTime);
    entry.mtime = time_of(data.ftLastWriteTime);
    return true;
}

void write_platform_members(json_writer &writer, const journal_entry &entry) {
    writer.Key("attributes");
    writer.Uint(entry.attributes);
    write_time(writer, "btime", entry.btime);
}

bool read_platform_members(const rapidjson::Value &line, journal_entry &entry, std::string &error) {
    return read_uint32(line, "attributes", entry.attributes, error) &&
           read_time(line, "btime", entry.btime, error);
}

std::unique_ptr<journal_file> create_journal_file(const std::string &path, std::string &error) {
    const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS ? "exists; a journal is always a new file"
                                          : system_message(code);
        return nullptr;
    }
    return std::make_unique<win_journal_file>(handle);
}

bool read_whole_file(const std::string &path, std::string &text, std::string &error) {
    const handle_owner file(CreateFileW(wide(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = system_message(GetLastError());
        return false;
    }
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
            error = system_message(GetLastError());
            return false;
        }
        if (n == 0)
            return true;
        text.append(buffer, n);
    }
}

restore_status create_dir(const journal_entry &entry, created_identity &id, std::string &detail) {
    restore_status status;
    if (!check_way(entry.path, status, detail))
        return status;
    if (!CreateDirectoryW(wide(entry.path).c_str(), nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            return restore_status::exists;
        if (error == ERROR_PATH_NOT_FOUND)
            return restore_status::parent_missing;
        detail = system_message(error);
        return restore_status::failed;
    }
    const handle_owner dir(open_dir(entry.path));
    DWORD attributes = 0;
    if (!dir || !identity_of(dir.get(), id, attributes)) {
        detail = failure("metadata not set", GetLastError());
        return restore_status::incomplete;
    }
    return restore_status::recreated;
}

restore_status create_file(const journal_entry &entry, std::string &detail) {
    restore_status status;
    if (!check_way(entry.path, status, detail))
        return status;
    const handle_owner file(CreateFileW(wide(entry.path).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return restore_status::exists;
        if (error == ERROR_PATH_NOT_FOUND)
            return restore_status::parent_missing;
        detail = system_message(error);
        return restore_status::failed;
    }
    return set_metadata(file.get(), entry, detail);
}

restore_status set_dir_metadata(const journal_entry &entry, const created_identity &id,
                                std::string &detail) {
    restore_status status;
    const handle_owner dir(check_way(entry.path, status, detail) ? open_dir(entry.path)
                                                                 : INVALID_HANDLE_VALUE);
    created_identity found;
    DWORD attributes = 0;
    if (!dir || !identity_of(dir.get(), found, attributes) || found.volume != id.volume ||
        found.object != id.object || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        detail = "metadata not set, it was replaced since it was recreated";
        return restore_status::incomplete;
    }
    return set_metadata(dir.get(), entry, detail);
}

} // namespace edclean_tool
