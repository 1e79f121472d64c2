// Win32 backend of the file-system adapter.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "ed_platform.h"

namespace {

struct free_deleter {
    void operator()(void *block) const noexcept { std::free(block); }
};
using wide_text = std::unique_ptr<wchar_t, free_deleter>;

// Owns a handle whose empty value is INVALID_HANDLE_VALUE; `Close` releases it.
template <BOOL(WINAPI *Close)(HANDLE)> class unique_handle {
  public:
    explicit unique_handle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
    ~unique_handle() { reset(); }
    unique_handle(const unique_handle &) = delete;
    unique_handle &operator=(const unique_handle &) = delete;
    HANDLE get() const noexcept { return handle_; }
    HANDLE release() noexcept {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
        if (handle_ != INVALID_HANDLE_VALUE)
            Close(handle_);
        handle_ = handle;
    }
    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};
using unique_hfile = unique_handle<CloseHandle>;
using unique_hfind = unique_handle<FindClose>;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr size_t kPatternUnits = 8192;
constexpr size_t kMaxDirectoryUnits = kPatternUnits - 3; // room for '\\', '*' and NUL
constexpr int kNameBytes = 512;
constexpr DWORD kFinalPathUnits = 4096;
constexpr int kCanonicalBytes = 8191;

wide_text to_wide(const char *text) {
    wchar_t *wide = nullptr;
    if (ed_wide_from_utf8(text, &wide) != 0)
        return nullptr;
    return wide_text(wide);
}

// Opens an existing file or directory for queries only, following links.
HANDLE open_for_query(const wchar_t *path) {
    return CreateFileW(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

bool is_dot_or_dotdot(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// The library's form of a platform final path: no extended-length prefix,
// '/' separators, no trailing '/' except on a drive root. A network path
// "\\?\UNC\server\share\x" becomes "//server/share/x", an absolute text that
// names the same object every time.
void make_canonical_form(char *text) {
    static const char kPrefix[] = "\\\\?\\";
    static const char kUncPrefix[] = "\\\\?\\UNC\\";
    if (std::strncmp(text, kUncPrefix, sizeof kUncPrefix - 1) == 0) {
        std::memmove(text + 2, text + sizeof kUncPrefix - 1,
                     std::strlen(text + sizeof kUncPrefix - 1) + 1);
        text[0] = '/';
        text[1] = '/';
    } else if (std::strncmp(text, kPrefix, sizeof kPrefix - 1) == 0) {
        std::memmove(text, text + sizeof kPrefix - 1, std::strlen(text + sizeof kPrefix - 1) + 1);
    }
    for (char *c = text; *c != '\0'; ++c)
        if (*c == '\\')
            *c = '/';
    size_t length = std::strlen(text);
    if (length >= 2 && text[1] == ':') {
        while (length > 1 && text[length - 1] == '/' && text[length - 2] == '/')
            text[--length] = '\0';
    } else {
        while (length > 1 && text[length - 1] == '/')
            text[--length] = '\0';
    }
}

} // namespace

struct ed_dir {
    HANDLE handle;
    WIN32_FIND_DATAW find_data;
    int has_next;
    char name[kNameBytes];
};

int ed_wide_from_utf8(const char *text, wchar_t **out) {
    if (text == nullptr || *text == '\0')
        return -1;
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (units <= 0)
        return -1;
    wide_text wide(
        static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(units))));
    if (!wide)
        return -1;
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.get(), units) <= 0)
        return -1;
    *out = wide.release();
    return 0;
}

int ed_fill_stat(const char *path, ed_stat *st) {
    wide_text wide = to_wide(path);
    if (!wide)
        return -1;
    const DWORD attributes = GetFileAttributesW(wide.get());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return -1;
    *st = ed_stat{};
    // A reparse point is a link whatever else it is, so it is never followed.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        st->st_mode = ED_S_IFLNK;
        return 0;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        st->st_mode = ED_S_IFDIR;
        return 0;
    }
    st->st_mode = ED_S_IFREG;
    unique_hfile file(open_for_query(wide.get()));
    wide.reset();
    if (!file)
        return -1;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size))
        return -1;
    st->st_size = size.QuadPart;
    return 0;
}

ed_dir *ed_opendir(const char *path) {
    wide_text wide = to_wide(path);
    if (!wide)
        return nullptr;
    const size_t units = std::wcslen(wide.get());
    if (units > kMaxDirectoryUnits)
        return nullptr;

    std::unique_ptr<wchar_t[]> pattern(new (std::nothrow) wchar_t[kPatternUnits]);
    if (!pattern)
        return nullptr;
    std::memcpy(pattern.get(), wide.get(), units * sizeof(wchar_t));
    size_t end = units;
    if (units == 0 || (wide.get()[units - 1] != L'\\' && wide.get()[units - 1] != L'/'))
        pattern[end++] = L'\\';
    pattern[end++] = L'*';
    pattern[end] = L'\0';
    wide.reset();

    auto *dir = static_cast<ed_dir *>(std::calloc(1, sizeof(ed_dir)));
    if (dir == nullptr)
        return nullptr;
    unique_hfind search(FindFirstFileW(pattern.get(), &dir->find_data));
    if (!search) {
        std::free(dir);
        return nullptr;
    }
    dir->handle = search.release();
    dir->has_next = 1;
    return dir;
}

const char *ed_readdir(ed_dir *dir) {
    if (dir == nullptr || !dir->has_next)
        return nullptr;
    while ((dir->find_data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           is_dot_or_dotdot(dir->find_data.cFileName)) {
        dir->has_next = FindNextFileW(dir->handle, &dir->find_data) ? 1 : 0;
        if (!dir->has_next)
            return nullptr;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, dir->find_data.cFileName, -1, dir->name, kNameBytes,
                            nullptr, nullptr) <= 0)
        std::memcpy(dir->name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
    // Fetch the next entry now; a failure ends the stream like its end does.
    dir->has_next = FindNextFileW(dir->handle, &dir->find_data) ? 1 : 0;
    return dir->name;
}

// The Win32 stream learns an entry's kind only through a status query on its
// path, exactly as a walk by path does.
const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    return ed_readdir(dir);
}

int ed_fill_stat_at(ed_dir *, const char *, const char *path, ed_stat *st) {
    return ed_fill_stat(path, st);
}

ed_dir *ed_opendir_at(ed_dir *, const char *, const char *path) { return ed_opendir(path); }

int ed_dir_has_next(const ed_dir *dir) { return dir != nullptr && dir->has_next ? 1 : 0; }

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    FindClose(dir->handle);
    std::free(dir);
}

namespace {

// The canonical form of the object an open handle holds.
ed_final_path_status canonical_of_handle(HANDLE object, char **out) {
    // Once the object is open it exists: a failure from here on must not
    // fall back to an ancestor, which would judge (or register) a wider tree
    // than the one named.
    std::unique_ptr<wchar_t[]> final_path(new (std::nothrow) wchar_t[kFinalPathUnits]);
    if (!final_path)
        return ED_FINAL_INVALID;
    const DWORD units = GetFinalPathNameByHandleW(object, final_path.get(), kFinalPathUnits, 0);
    if (units == 0)
        return ED_FINAL_UNRESOLVED;
    // Too long for the buffer: no final path to be had.
    if (units >= kFinalPathUnits)
        return ED_FINAL_INVALID;

    std::unique_ptr<char[]> text(new (std::nothrow) char[kCanonicalBytes + 1]);
    if (!text)
        return ED_FINAL_INVALID;
    if (WideCharToMultiByte(CP_UTF8, 0, final_path.get(), -1, text.get(), kCanonicalBytes, nullptr,
                            nullptr) <= 0)
        return ED_FINAL_INVALID;
    make_canonical_form(text.get());
    const size_t size = std::strlen(text.get()) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy == nullptr)
        return ED_FINAL_INVALID;
    std::memcpy(copy, text.get(), size);
    *out = copy;
    return ED_FINAL_RESOLVED;
}

// True when the open handle holds the object whose canonical path is `object`:
// no link or junction on the way led somewhere else.
bool holds_object(HANDLE handle, const char *object) {
    char *canonical = nullptr;
    if (canonical_of_handle(handle, &canonical) != ED_FINAL_RESOLVED)
        return false;
    const bool same = std::strcmp(canonical, object) == 0;
    std::free(canonical);
    return same;
}

// Opens the object itself, a reparse point as itself.
HANDLE open_itself(const char *path, DWORD access, DWORD share, DWORD extra_flags) {
    wide_text wide = to_wide(path);
    if (!wide)
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.get(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | extra_flags, nullptr);
}

bool same_object(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

ed_target_status kind_status(DWORD attributes, bool want_directory) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ED_TARGET_LINK;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return directory == want_directory ? ED_TARGET_OK : ED_TARGET_WRONG_KIND;
}

bool delete_on_close(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

} // namespace

ed_final_path_status ed_final_path(const char *path, char **out) {
    wide_text wide = to_wide(path);
    if (!wide)
        return ED_FINAL_INVALID;
    unique_hfile object(open_for_query(wide.get()));
    wide.reset();
    if (!object)
        return ED_FINAL_UNRESOLVED;
    return canonical_of_handle(object.get(), out);
}

ed_root_kind ed_probe_root(const char *path) {
    wide_text wide = to_wide(path);
    if (!wide)
        return ED_ROOT_UNREACHABLE;
    const DWORD attributes = GetFileAttributesW(wide.get());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ED_ROOT_UNREACHABLE;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ED_ROOT_LINK;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ED_ROOT_DIRECTORY;
    unique_hfile object(open_for_query(wide.get()));
    if (!object)
        return ED_ROOT_UNREACHABLE;
    LARGE_INTEGER size;
    return GetFileSizeEx(object.get(), &size) ? ED_ROOT_OTHER : ED_ROOT_UNREACHABLE;
}

// The directory is held for queries only while its entries are re-checked
// (a handle with delete access would keep the enumeration out); removal
// opens it again for deletion and makes sure it is the same directory.
struct ed_target {
    unique_hfile handle;
    BY_HANDLE_FILE_INFORMATION info;
    char *path;
};

ed_target *ed_target_open_dir(const char *, const char *object, const char *path,
                              ed_target_status *status) {
    *status = ED_TARGET_FAILED;
    if (object == nullptr || path == nullptr)
        return nullptr;
    unique_hfile handle(open_itself(path, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle || !GetFileInformationByHandle(handle.get(), &info))
        return nullptr;
    *status = kind_status(info.dwFileAttributes, true);
    if (*status == ED_TARGET_OK && !holds_object(handle.get(), object))
        *status = ED_TARGET_FAILED;
    if (*status != ED_TARGET_OK)
        return nullptr;
    auto *target = new (std::nothrow) ed_target;
    if (target == nullptr) {
        *status = ED_TARGET_FAILED;
        return nullptr;
    }
    target->path = static_cast<char *>(std::malloc(std::strlen(path) + 1));
    if (target->path == nullptr) {
        delete target;
        *status = ED_TARGET_FAILED;
        return nullptr;
    }
    std::strcpy(target->path, path);
    target->info = info;
    target->handle.reset(handle.release());
    return target;
}

ed_dir *ed_target_opendir(ed_target *target) {
    return target != nullptr ? ed_opendir(target->path) : nullptr;
}

int ed_target_remove_dir(ed_target *target) {
    if (target == nullptr)
        return -1;
    unique_hfile removal(open_itself(target->path, DELETE, kShareAll, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info;
    if (!removal || !GetFileInformationByHandle(removal.get(), &info) ||
        !same_object(info, target->info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return -1;
    // The platform refuses to mark a directory that is not empty.
    return delete_on_close(removal.get()) ? 0 : -1;
}

void ed_target_close(ed_target *target) {
    if (target == nullptr)
        return;
    std::free(target->path);
    delete target; // closing the handle completes a removal
}

ed_target_status ed_remove_file_beneath(const char *, const char *object, const char *path) {
    if (object == nullptr || path == nullptr)
        return ED_TARGET_FAILED;
    // One handle for the tests and the removal: no other writer may open the
    // file while it is held.
    unique_hfile file(
        open_itself(path, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_FLAG_BACKUP_SEMANTICS));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return ED_TARGET_FAILED;
    const ed_target_status kind = kind_status(info.dwFileAttributes, false);
    if (kind != ED_TARGET_OK)
        return kind;
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow != 0)
        return ED_TARGET_NOT_EMPTY;
    if (!holds_object(file.get(), object) || !delete_on_close(file.get()))
        return ED_TARGET_FAILED;
    return ED_TARGET_OK; // the file goes when the handle closes
}
