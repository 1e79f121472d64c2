// Win32 backend: handles opened beneath a directory, their data streams, status
// records and identities, and modification times.
#include "platform/win32/internal.h"

namespace ed_win32 {

static nt_open_file_fn nt_open_file() {
    static const nt_open_file_fn open = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "NtOpenFile") : nullptr;
        return reinterpret_cast<nt_open_file_fn>(reinterpret_cast<void (*)()>(found));
    }();
    return open;
}

// Opens the entry `name` (one component, checked by the caller) of the
// directory `parent` as itself, never following a reparse point. The name is
// looked up case-insensitively, as Win32 opens do, so it reaches the object
// the same name reaches through a host's path.
unique_hfile open_beneath(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share,
                          ULONG options) {
    const nt_open_file_fn open = nt_open_file();
    if (open == nullptr || name.empty() || name.size() > 32767)
        return unique_hfile();
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.data());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = open(&handle, access | SYNCHRONIZE, &attributes, &io, share,
                                 options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT);
    return NT_SUCCESS(status) ? unique_hfile(handle) : unique_hfile();
}

// The UTF-16 form of an entry name a stream handed out, in `out`; false for
// anything that is not one faithful component.
bool component_of(const char *name, std::wstring &out) {
    if (name == nullptr)
        return false;
    const size_t bytes = std::strlen(name);
    if (bytes == 0 || bytes >= ED_NAME_BUFFER_BYTES)
        return false;
    out = wide_of(name, bytes);
    return !out.empty() && !win32_alters_name(out.data(), out.size());
}

DWORD attributes_of(HANDLE handle) {
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info))
        return INVALID_FILE_ATTRIBUTES;
    return info.FileAttributes;
}

bool is_plain_directory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !is_link_like(attributes);
}

nt_query_information_file_fn nt_query_information_file() {
    static const nt_query_information_file_fn query = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found =
            ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryInformationFile") : nullptr;
        return reinterpret_cast<nt_query_information_file_fn>(reinterpret_cast<void (*)()>(found));
    }();
    return query;
}

// Whether the volume that holds `handle` keeps named streams at all.
// False also when the volume cannot say: the caller then trusts a file
// system that reports no support for listing streams.
static bool volume_has_named_streams(HANDLE handle, volume_streams *known) {
    if (known != nullptr && *known != volume_streams::not_asked)
        return *known == volume_streams::kept;
    DWORD flags = 0;
    const bool kept = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags,
                                                    nullptr, 0) != 0 &&
                      (flags & FILE_NAMED_STREAMS) != 0;
    if (known != nullptr)
        *known = kept ? volume_streams::kept : volume_streams::none;
    return kept;
}

// The data streams of the object `handle` holds (see "Streams" at the head
// of the file). A named stream is data of its own whatever its size, so an
// object with one is never empty.
streams_verdict streams_of(HANDLE handle, volume_streams *known) {
    const nt_query_information_file_fn query = nt_query_information_file();
    if (query == nullptr)
        return streams_verdict::unknown;
    alignas(LONGLONG) unsigned char buffer[1024];
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = query(handle, &io, buffer, sizeof buffer, FileStreamInformation);
    if (static_cast<unsigned long>(status) == 0x80000005UL) // STATUS_BUFFER_OVERFLOW: many
        return streams_verdict::with_data;
    if (!NT_SUCCESS(status)) {
        switch (static_cast<unsigned long>(status)) {
        case 0xC000000DUL: // STATUS_INVALID_PARAMETER
        case 0xC0000002UL: // STATUS_NOT_IMPLEMENTED
        case 0xC0000003UL: // STATUS_INVALID_INFO_CLASS
        case 0xC00000BBUL: // STATUS_NOT_SUPPORTED
        case 0xC0000010UL: // STATUS_INVALID_DEVICE_REQUEST
            // The file system lists no streams: it has none only if the
            // volume says it keeps none.
            return volume_has_named_streams(handle, known) ? streams_verdict::unknown
                                                           : streams_verdict::plain;
        default:
            return streams_verdict::unknown;
        }
    }
    const size_t filled = io.Information;
    size_t offset = 0;
    constexpr size_t name_offset = offsetof(FILE_STREAM_INFO, StreamName);
    while (offset < filled) {
        if (offset + name_offset > filled)
            return streams_verdict::unknown;
        const auto *entry = reinterpret_cast<const FILE_STREAM_INFO *>(buffer + offset);
        if (entry->StreamNameLength > filled - offset - name_offset)
            return streams_verdict::unknown;
        const std::wstring_view name(entry->StreamName, entry->StreamNameLength / sizeof(wchar_t));
        // The unnamed stream is listed as "::$DATA" or with an empty name.
        if (!name.empty() && name != L"::$DATA")
            return streams_verdict::with_data;
        if (entry->StreamSize.QuadPart != 0)
            return streams_verdict::with_data;
        if (entry->NextEntryOffset == 0)
            break;
        offset += entry->NextEntryOffset;
    }
    return streams_verdict::plain;
}

// The status of the object `handle` holds, from two small queries (the
// attributes, then the size) rather than GetFileInformationByHandle, which
// also asks the volume for its serial number. `extra_attributes` are added to
// what the handle says (see open_host_path); `sizes` says whether a named
// stream counts as data of a file.
bool stat_of_handle(HANDLE handle, ed_stat *st, DWORD extra_attributes, file_size sizes) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    const DWORD attributes = basic.FileAttributes | extra_attributes;
    // A reparse point (or a placeholder) is a link whatever else it is, so
    // it is never followed.
    if (is_link_like(attributes)) {
        *st = ed_stat{ED_S_IFLNK, 0};
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        *st = ed_stat{ED_S_IFDIR, 0};
    } else {
        FILE_STANDARD_INFO standard;
        if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
            return false;
        *st = ed_stat{ED_S_IFREG, standard.EndOfFile.QuadPart};
        // An empty unnamed stream beside a named one is a file with data.
        if (sizes == file_size::with_named_streams && st->st_size == 0 &&
            streams_of(handle) != streams_verdict::plain)
            st->st_size = 1;
    }
    return true;
}

// The identity of the object `handle` holds. Every identity the backend
// hands out comes from here, so any two of them compare alike: the 128-bit
// id where the file system gives one, else the volume serial and file index
// (a file system answers the same way for all its objects). False when there
// is none, so every test that compares identities refuses such an object.
bool identity_of(HANDLE handle, ed_file_id *id) {
    FILE_ID_INFO wide_id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &wide_id, sizeof wide_id)) {
        uint64_t low = 0;
        uint64_t high = 0;
        std::memcpy(&low, wide_id.FileId.Identifier, sizeof low);
        std::memcpy(&high, wide_id.FileId.Identifier + sizeof low, sizeof high);
        // All zero: the file system has no such id and the field means nothing.
        if (low != 0 || high != 0) {
            *id = ed_file_id{wide_id.VolumeSerialNumber, high, low};
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    const uint64_t index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    // No id at all: the object cannot be told from any other, so it has no
    // identity to compare (it would match every other object without one).
    if (index == 0)
        return false;
    *id = ed_file_id{info.dwVolumeSerialNumber, kIndexOnlyMark, index};
    return true;
}

} // namespace ed_win32

using namespace ed_win32;

namespace {

// ed_fill_stat() and ed_fill_stat_id() (with `id` null for the former).
int stat_of_host_path(const char *path, ed_stat *st, ed_file_id *id) {
    if (path == nullptr || *path == '\0' || st == nullptr)
        return -1;
    if (names_stream(path)) {
        // Some other kind: every caller refuses it without opening anything.
        *st = ed_stat{0, 0};
        if (id != nullptr)
            *id = ed_file_id{};
        return 0;
    }
    bool named_link = false;
    bool other_kind = false;
    unique_hfile object = open_host_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT,
                                         &named_link, &other_kind);
    if (other_kind) {
        // A device or pipe: some other kind, like a stream.
        *st = ed_stat{0, 0};
        if (id != nullptr)
            *id = ed_file_id{};
        return 0;
    }
    ed_stat status;
    if (!object ||
        !stat_of_handle(object.get(), &status, named_link ? FILE_ATTRIBUTE_REPARSE_POINT : 0))
        return -1;
    ed_file_id identity{};
    if (id != nullptr && !identity_of(object.get(), &identity))
        return -1;
    *st = status;
    if (id != nullptr)
        *id = identity;
    return 0;
}

} // namespace

int ed_fill_stat(const char *path, ed_stat *st) { return stat_of_host_path(path, st, nullptr); }

int ed_fill_stat_id(const char *path, ed_stat *st, ed_file_id *id) {
    return id == nullptr ? -1 : stat_of_host_path(path, st, id);
}

int ed_identify(const char *path, ed_file_id *id) {
    if (path == nullptr || *path == '\0' || id == nullptr)
        return -1;
    unique_hfile object = open_host_path(path, FILE_READ_ATTRIBUTES, 0);
    return object && identity_of(object.get(), id) ? 0 : -1;
}

namespace {

// ed_fill_stat_at() without a handle: the attributes and size that the
// object at the entry's full path has itself, a link's own for a link (see
// "Listed size" at the head of internal.h). 1 when done, 0 when the stream
// does not know its path or the query cannot answer, -1 for content that
// cannot be examined: a reparse point, or an object of another kind than the
// listing showed.
int stat_by_path(const ed_dir *dir, const std::wstring &component, const listed_record &listed,
                 ed_stat *st) {
    const std::wstring path = entry_path(dir, component);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    if (is_link_like(data.dwFileAttributes) ||
        ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != listed.directory)
        return -1;
    if (listed.directory)
        *st = ed_stat{ED_S_IFDIR, 0};
    else
        *st = ed_stat{ED_S_IFREG, static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) |
                                                       data.nFileSizeLow)};
    return 1;
}

} // namespace

int ed_fill_stat_at(ed_dir *dir, const char *name, ed_stat *st) {
    std::wstring component;
    listed_record listed;
    if (dir == nullptr || st == nullptr || !component_of(name, component) ||
        !listed_as(dir, name, &listed))
        return -1;
    ed_stat status;
    const int by_path = stat_by_path(dir, component, listed, &status);
    if (by_path < 0)
        return -1;
    if (by_path == 0) {
        // Where the path cannot answer, the entry itself, as the listing
        // showed it, and its size as the listing gives it.
        unique_hfile entry =
            open_beneath(dir->handle, component, FILE_READ_ATTRIBUTES, kShareAll, 0);
        if (!entry || !is_listed_object(dir, name, entry.get(), &listed) ||
            !stat_of_handle(entry.get(), &status, 0, file_size::unnamed_stream))
            return -1;
    }
    *st = status;
    return 0;
}

namespace {

// A count of 100-nanosecond ticks since 1601-01-01 UTC (a FILETIME) as
// nanoseconds since 1970.
ed_time time_of(int64_t ticks) {
    constexpr int64_t kTicksTo1970 = 116444736000000000;
    if (ticks < INT64_MIN + kTicksTo1970)
        return INT64_MIN;
    const int64_t since_1970 = ticks - kTicksTo1970;
    if (since_1970 > INT64_MAX / 100)
        return INT64_MAX;
    if (since_1970 < INT64_MIN / 100)
        return INT64_MIN;
    return since_1970 * 100;
}

bool modified_of(HANDLE handle, ed_time *modified) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    *modified = time_of(basic.LastWriteTime.QuadPart);
    return true;
}

} // namespace

ed_time ed_clock_now() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return time_of(static_cast<int64_t>((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime));
}

int ed_modified_at(ed_dir *dir, const char *name, ed_time *modified) {
    if (dir == nullptr || modified == nullptr)
        return -1;
    if (name == nullptr)
        return modified_of(dir->handle, modified) ? 0 : -1;
    std::wstring component;
    if (!component_of(name, component))
        return -1;
    unique_hfile entry = open_beneath(dir->handle, component, FILE_READ_ATTRIBUTES, kShareAll, 0);
    listed_record listed;
    return entry && is_listed_object(dir, name, entry.get(), &listed) &&
                   modified_of(entry.get(), modified)
               ? 0
               : -1;
}
