// Win32 backend: host paths opened once through CreateFileW, canonical forms of
// final paths, and the registered roots opened again.
#include "platform/win32/internal.h"

namespace ed_win32 {

// Opens a host's path with CreateFileW. Empty when the text is not valid
// UTF-8, names no file or directory of a mounted file system (see
// host_path_refused; GetFileType is checked on what was opened), or the
// object cannot be opened; GetLastError() tells why, and `other_kind`, when
// given, is set when the path was refused as a device, pipe or the like.
// `named_link`, when given, tells whether the path's own name is a reparse
// point by the name-based attribute query as well: Wine opens a host's
// symbolic link through to its target even with FILE_FLAG_OPEN_REPARSE_POINT,
// and only that query shows the link. On Windows the handle already tells;
// the second query can only add a refusal, never take one away.
unique_hfile open_host_path(const char *path, DWORD access, DWORD flags, bool *named_link,
                            bool *other_kind) {
    if (other_kind != nullptr)
        *other_kind = false;
    const std::wstring wide = wide_of(path);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return unique_hfile();
    }
    if (host_path_refused(wide)) {
        if (other_kind != nullptr)
            *other_kind = true;
        SetLastError(ERROR_BAD_PATHNAME);
        return unique_hfile();
    }
    unique_hfile object(CreateFileW(wide.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                    kHostOpenFlags | flags, nullptr));
    if (object && GetFileType(object.get()) != FILE_TYPE_DISK) {
        if (other_kind != nullptr)
            *other_kind = true;
        object.reset();
        SetLastError(ERROR_BAD_FILE_TYPE);
        return object;
    }
    if (object && named_link != nullptr) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        *named_link = attributes != INVALID_FILE_ATTRIBUTES && is_link_like(attributes);
        SetLastError(error);
    }
    return object;
}

// The library's form of a final path: "X:/..." from "\\?\X:\...", and
// "//server/share/..." from "\\?\UNC\server\share\..."; '/' separators, no
// trailing '/' except on a drive root. Null for any other form (a volume
// without a drive letter, "\\?\GLOBALROOT\..."), for a component Win32 would
// read as another name, for a stream, or for text too long or not UTF-16.
static char *canonical_form(std::wstring_view final_path) {
    static constexpr std::wstring_view kDrivePrefix = L"\\\\?\\";
    static constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";
    std::wstring text;
    size_t first_component; // where the components that are checked begin
    if (final_path.substr(0, kUncPrefix.size()) == kUncPrefix) {
        const std::wstring_view rest = final_path.substr(kUncPrefix.size());
        const size_t server_end = rest.find(L'\\');
        if (server_end == 0 || server_end == std::wstring_view::npos)
            return nullptr;
        const size_t share_end = rest.find(L'\\', server_end + 1);
        if (share_end == server_end + 1)
            return nullptr;
        text = L"//";
        text.append(rest);
        first_component = 2;
    } else if (final_path.substr(0, kDrivePrefix.size()) == kDrivePrefix &&
               final_path.size() >= 6 && is_ascii_letter(final_path[4]) && final_path[5] == L':' &&
               (final_path.size() == 6 || final_path[6] == L'\\')) {
        text.assign(final_path.substr(kDrivePrefix.size()));
        first_component = 3;
    } else {
        return nullptr;
    }
    for (wchar_t &c : text)
        if (c == L'\\')
            c = L'/';
    while (text.size() > 3 && text.back() == L'/')
        text.pop_back();
    if (text.size() == 2) // "X:" alone is the drive's current directory
        text.push_back(L'/');
    size_t start = first_component;
    while (start < text.size()) {
        size_t end = text.find(L'/', start);
        if (end == std::wstring::npos)
            end = text.size();
        if (win32_alters_name(text.data() + start, end - start))
            return nullptr;
        start = end + 1;
    }
    return utf8_of(text, ED_MAX_CANONICAL_BYTES);
}

// The canonical form of the object an open handle holds.
ed_final_path_status canonical_of_handle(HANDLE handle, char **out) {
    std::unique_ptr<wchar_t[]> final_path(new wchar_t[kFinalPathUnits]);
    const DWORD units = GetFinalPathNameByHandleW(handle, final_path.get(), kFinalPathUnits,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units == 0) {
        if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
            throw std::bad_alloc();
        // The object exists: no ancestor may stand in for it.
        return ED_FINAL_UNNAMEABLE;
    }
    if (units >= kFinalPathUnits)
        return ED_FINAL_UNNAMEABLE;
    char *canonical = canonical_form(std::wstring_view(final_path.get(), units));
    if (canonical == nullptr)
        return ED_FINAL_UNNAMEABLE;
    *out = canonical;
    return ED_FINAL_RESOLVED;
}

// ed_final_path() of a path that names no stream.
static ed_final_path_status final_path_of_object(const char *path, char **out) {
    // Access 0: the final path needs no access to the object, so a directory
    // that may not even be listed still resolves. Links are followed.
    unique_hfile object = open_host_path(path, 0, 0);
    if (!object) {
        switch (GetLastError()) {
        // Only an object that plainly is not there lets an ancestor stand in.
        // A missing drive ("T:/x" with no T:) is as missing as a missing
        // file: its ancestors do not resolve either, so nothing stands in.
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ED_FINAL_MISSING;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            throw std::bad_alloc();
        default:
            return ED_FINAL_UNNAMEABLE;
        }
    }
    return canonical_of_handle(object.get(), out);
}

// "\\?\X:\..." or "\\?\UNC\server\share\..." for a canonical text; empty for
// any other text. The extended form reaches exactly the names given.
std::wstring extended_form(const char *canonical) {
    std::wstring wide = wide_of(canonical);
    if (wide.size() >= 3 && is_ascii_letter(wide[0]) && wide[1] == L':' && wide[2] == L'/') {
        wide.insert(0, L"\\\\?\\");
    } else if (wide.size() > 2 && wide[0] == L'/' && wide[1] == L'/' && wide[2] != L'/') {
        wide.replace(0, 2, L"\\\\?\\UNC\\");
    } else {
        return {};
    }
    for (wchar_t &c : wide)
        if (c == L'/')
            c = L'\\';
    return wide;
}

// Opens the registered root `canonical` as itself and keeps the handle only
// while it is a directory, not a reparse point, still has `canonical` as its
// final path (no junction on the way led elsewhere) and is the object `id`.
unique_hfile open_registered_root(const char *canonical, const ed_file_id *id, ACCESS_MASK access,
                                  DWORD share) {
    if (canonical == nullptr || id == nullptr)
        return unique_hfile();
    const std::wstring extended = extended_form(canonical);
    if (extended.empty())
        return unique_hfile();
    unique_hfile root(CreateFileW(extended.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  share, nullptr, OPEN_EXISTING,
                                  kHostOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!root || GetFileType(root.get()) != FILE_TYPE_DISK ||
        !is_plain_directory(attributes_of(root.get())))
        return unique_hfile();
    char *final_text = nullptr;
    if (canonical_of_handle(root.get(), &final_text) != ED_FINAL_RESOLVED)
        return unique_hfile();
    const bool same_path = std::strcmp(final_text, canonical) == 0;
    std::free(final_text);
    ed_file_id reached;
    if (!same_path || !identity_of(root.get(), &reached) || !ed_same_file(reached, *id))
        return unique_hfile();
    return root;
}

} // namespace ed_win32

using namespace ed_win32;

ed_final_path_status ed_final_path(const char *path, char **out) {
    if (path == nullptr || *path == '\0' || path[0] == ':')
        return ED_FINAL_UNNAMEABLE;
    const size_t stream = stream_part_start(path);
    if (stream == 0)
        return final_path_of_object(path, out);
    // A stream is judged where its file is: the file's canonical path with
    // the stream part as the host wrote it.
    const std::string file(path, stream);
    char *canonical = nullptr;
    const ed_final_path_status status = final_path_of_object(file.c_str(), &canonical);
    if (status != ED_FINAL_RESOLVED)
        return status;
    ed_heap_text file_text(canonical);
    const size_t file_bytes = std::strlen(canonical);
    const size_t rest_bytes = std::strlen(path + stream);
    if (file_bytes + rest_bytes > ED_MAX_CANONICAL_BYTES)
        return ED_FINAL_UNNAMEABLE;
    char *joined = static_cast<char *>(std::malloc(file_bytes + rest_bytes + 1));
    if (joined == nullptr)
        throw std::bad_alloc();
    std::memcpy(joined, canonical, file_bytes);
    std::memcpy(joined + file_bytes, path + stream, rest_bytes + 1);
    *out = joined;
    return ED_FINAL_RESOLVED;
}

ed_root_kind ed_inspect_root(const char *path, char **canonical, ed_file_id *id) {
    if (path == nullptr || *path == '\0' || canonical == nullptr || id == nullptr)
        return ED_ROOT_UNREACHABLE;
    if (names_stream(path))
        return ED_ROOT_OTHER;
    if (names_device_namespace(wide_of(path)))
        return ED_ROOT_DEVICE_NAMESPACE;
    // One handle answers every question, so the answers agree.
    bool named_link = false;
    bool other_kind = false;
    unique_hfile root = open_host_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT,
                                       &named_link, &other_kind);
    if (other_kind)
        return ED_ROOT_OTHER; // a device or pipe, never opened as a root
    if (!root) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY)
            throw std::bad_alloc();
        return ED_ROOT_UNREACHABLE;
    }
    const DWORD attributes = attributes_of(root.get());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ED_ROOT_UNREACHABLE;
    if (is_link_like(attributes) || named_link)
        return ED_ROOT_LINK;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ED_ROOT_OTHER;
    ed_file_id identity;
    if (!identity_of(root.get(), &identity))
        return ED_ROOT_UNREACHABLE;
    char *text = nullptr;
    if (canonical_of_handle(root.get(), &text) != ED_FINAL_RESOLVED)
        return ED_ROOT_UNNAMEABLE;
    *canonical = text;
    *id = identity;
    return ED_ROOT_DIRECTORY;
}

// A registered root held open. The handle does not share delete, so the
// root cannot be renamed or deleted while it is held; with read access its
// share mode binds every later open. A pin serves one thread at a time.
