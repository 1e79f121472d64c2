#include <windows.h>
#include <winternl.h>

#include <cctype>
#include <limits>
#include <memory>

#include "console.h"
#include "journal_internal.h"

namespace edclean_tool {

namespace {

// A handle that closes itself.
class handle_owner {
  public:
    explicit handle_owner(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~handle_owner() { reset(); }
    handle_owner(const handle_owner &) = delete;
    handle_owner &operator=(const handle_owner &) = delete;
    HANDLE get() const { return handle_; }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

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

// The UTF-8 form of a UTF-16 text.
std::string narrow(std::wstring_view text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                        nullptr, nullptr);
    return out;
}

object_identity identity_of(const BY_HANDLE_FILE_INFORMATION &info) {
    return object_identity{info.dwVolumeSerialNumber,
                           (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// The library's form of the final path of the object open as `handle`:
// "X:/..." or "//server/share/..."; empty when it has no such form.
std::string canonical_of(HANDLE handle) {
    constexpr DWORD kUnits = 32768;
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kUnits]);
    const DWORD units = GetFinalPathNameByHandleW(handle, buffer.get(), kUnits,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units == 0 || units >= kUnits)
        return std::string();
    std::wstring text(buffer.get(), units);
    static constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\";
    static constexpr std::wstring_view kLocal = L"\\\\?\\";
    if (text.compare(0, kUnc.size(), kUnc) == 0)
        text.replace(0, kUnc.size(), L"\\\\");
    else if (text.compare(0, kLocal.size(), kLocal) == 0)
        text.erase(0, kLocal.size());
    else
        return std::string();
    for (wchar_t &c : text)
        if (c == L'\\')
            c = L'/';
    return narrow(text);
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

    bool identity(object_identity &id) override {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle_.get(), &info))
            return false;
        id = identity_of(info);
        return true;
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

bool identity_of(HANDLE handle, object_identity &id, DWORD &attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    id = identity_of(info);
    attributes = info.dwFileAttributes;
    return true;
}

// Opens the directory that holds the entry at `path` and checks that it is
// the directory at that path, reached through no link or junction (its final
// path is the path's own text), and, when `expected` is given, the directory
// of that identity. It is not shared for deletion, so that it cannot be
// renamed away while restore creates in it. False with `status` and `detail`.
bool open_parent(const std::string &path, const object_identity *expected, handle_owner &parent,
                 std::wstring &leaf, restore_status &status, std::string &detail) {
    if (!check_way(path, status, detail))
        return false;
    const std::vector<std::string_view> names = path_names(path);
    const std::string above = parent_path(path);
    if (names.empty() || above.empty()) {
        status = restore_status::exists; // a drive or share itself
        return false;
    }
    const std::string_view name = names.back();
    // Names Windows would read as another name are never listed; one here
    // was not written by a clean.
    if (name.find(':') != std::string_view::npos || name.back() == '.' || name.back() == ' ') {
        status = restore_status::failed;
        detail = "not a name Windows keeps as it is";
        return false;
    }
    leaf = wide(std::string(name));
    parent.reset(CreateFileW(wide(above).c_str(),
                             FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!parent) {
        const DWORD error = GetLastError();
        status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                     ? restore_status::parent_missing
                     : restore_status::failed;
        detail = system_message(error);
        return false;
    }
    object_identity id;
    DWORD attributes = 0;
    std::string wanted = above;
    for (char &c : wanted)
        if (c == '\\')
            c = '/';
    if (!identity_of(parent.get(), id, attributes) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || canonical_of(parent.get()) != wanted) {
        status = restore_status::blocked;
        detail = above;
        return false;
    }
    if (expected != nullptr && id != *expected) {
        status = restore_status::failed;
        detail = "the directory that holds it is no longer the one restore made";
        return false;
    }
    return true;
}

// Creates `leaf` in the directory open as `parent` and opens what it
// created, in one call that never opens anything that was there: the
// handle is provably to the new object, whatever happens at its name.
restore_status create_beneath(HANDLE parent, const std::wstring &leaf, bool directory,
                              handle_owner &made, std::string &detail) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(leaf.c_str());
    name.Length = static_cast<USHORT>(leaf.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES where;
    InitializeObjectAttributes(&where, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const ACCESS_MASK access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE |
                               (directory ? FILE_LIST_DIRECTORY : FILE_WRITE_DATA);
    const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                          (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    const ULONG share = directory ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    const NTSTATUS result =
        NtCreateFile(&handle, access, &where, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                     FILE_CREATE, options, nullptr, 0);
    if (result >= 0) {
        made.reset(handle);
        return restore_status::recreated;
    }
    if (result == static_cast<NTSTATUS>(0xC0000035L)) // STATUS_OBJECT_NAME_COLLISION
        return restore_status::exists;
    detail = system_message(RtlNtStatusToDosError(result));
    return restore_status::failed;
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
    const handle_owner object(
        CreateFileW(wide(entry.path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!object || !GetFileInformationByHandle(object.get(), &info)) {
        error = system_message(GetLastError());
        return false;
    }
    entry.id = identity_of(info);
    entry.attributes = info.dwFileAttributes;
    entry.btime = time_of(info.ftCreationTime);
    entry.atime = time_of(info.ftLastAccessTime);
    entry.mtime = time_of(info.ftLastWriteTime);
    return true;
}

bool canonical_root(const std::string &root, std::string &canonical, std::string &error) {
    const handle_owner dir(CreateFileW(wide(root).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    if (!dir) {
        error = system_message(GetLastError());
        return false;
    }
    canonical = canonical_of(dir.get());
    if (canonical.empty()) {
        error = "no path with a drive letter or share";
        return false;
    }
    return true;
}

void write_user(json_writer &writer) {
    wchar_t name[257];
    DWORD units = sizeof name / sizeof name[0];
    writer.StartObject();
    if (GetUserNameW(name, &units) && units > 0) {
        const std::string text = narrow(std::wstring_view(name, units - 1));
        writer.Key("name");
        writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    }
    writer.EndObject();
}

// The pause points of a test build are Linux only.
void test_pause(const char *) {}

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
    // Not shared for deletion: nothing, the library included, can remove it
    // while the clean writes it.
    const HANDLE handle =
        CreateFileW(wide(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS ? "exists; a journal is always a new file"
                                          : system_message(code);
        return nullptr;
    }
    return std::make_unique<win_journal_file>(handle);
}

journal_read_failure read_journal_file(const std::string &path, std::string &text,
                                       std::string &error) {
    const handle_owner file(CreateFileW(wide(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = system_message(GetLastError());
        return journal_read_failure::unreadable;
    }
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        error = "not a regular file";
        return journal_read_failure::untrusted;
    }
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
            error = system_message(GetLastError());
            return journal_read_failure::unreadable;
        }
        if (n == 0)
            return journal_read_failure::none;
        text.append(buffer, n);
    }
}

restore_status create_dir(const journal_entry &entry, const object_identity *parent_id,
                          object_identity &id, std::string &detail) {
    handle_owner parent;
    std::wstring leaf;
    restore_status status;
    if (!open_parent(entry.path, parent_id, parent, leaf, status, detail))
        return status;
    handle_owner dir;
    status = create_beneath(parent.get(), leaf, true, dir, detail);
    if (status != restore_status::recreated)
        return status;
    DWORD attributes = 0;
    if (!identity_of(dir.get(), id, attributes)) {
        detail = failure("metadata not set", GetLastError());
        return restore_status::incomplete;
    }
    return restore_status::recreated;
}

restore_status create_file(const journal_entry &entry, const object_identity *parent_id,
                           std::string &detail) {
    handle_owner parent;
    std::wstring leaf;
    restore_status status;
    if (!open_parent(entry.path, parent_id, parent, leaf, status, detail))
        return status;
    handle_owner file;
    status = create_beneath(parent.get(), leaf, false, file, detail);
    if (status != restore_status::recreated)
        return status;
    return set_metadata(file.get(), entry, detail);
}

restore_status set_dir_metadata(const journal_entry &entry, const object_identity &id,
                                std::string &detail) {
    restore_status status;
    const handle_owner dir(check_way(entry.path, status, detail) ? open_dir(entry.path)
                                                                 : INVALID_HANDLE_VALUE);
    object_identity found;
    DWORD attributes = 0;
    if (!dir || !identity_of(dir.get(), found, attributes) || found != id ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        detail = "metadata not set, it was replaced since it was recreated";
        return restore_status::incomplete;
    }
    return set_metadata(dir.get(), entry, detail);
}

restore_status set_parent_times(const journal_entry &entry, std::string &detail) {
    const handle_owner dir(open_dir(entry.path));
    object_identity found;
    DWORD attributes = 0;
    if (!dir || !identity_of(dir.get(), found, attributes)) {
        detail = system_message(GetLastError());
        return restore_status::failed;
    }
    if (found != entry.id || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        detail = "it is not the directory the clean saw";
        return restore_status::failed;
    }
    // Zero leaves the creation time, the change time and the attributes.
    FILE_BASIC_INFO info{};
    if (!ticks_of(entry.atime, info.LastAccessTime) || !ticks_of(entry.mtime, info.LastWriteTime)) {
        detail = "out of the range Windows keeps";
        return restore_status::failed;
    }
    if (!SetFileInformationByHandle(dir.get(), FileBasicInfo, &info, sizeof info)) {
        detail = system_message(GetLastError());
        return restore_status::failed;
    }
    return restore_status::recreated;
}

} // namespace edclean_tool
