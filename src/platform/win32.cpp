// Win32 backend of the file-system adapter.
//
// Below a root everything is reached relative to an open directory handle,
// one name at a time (NtOpenFile with RootDirectory and FILE_OPEN_REPARSE_POINT),
// as the POSIX backend works relative to descriptors: no path below a root is
// resolved by text again (but for confirming a listed zero size, see "Listed
// size"), and no reparse point is ever followed there. Host
// paths (scan roots, paths passed to the delete calls) go through CreateFileW
// once, and only to learn what they reach.
//
// What the backend relies on, with the Microsoft page each point comes from.
// The last column says where Wine differs: a green run under Wine proves
// nothing about such a row.
//
// clang-format off
// What          | Relied on                                          | Docs      | Wine
// --------------+----------------------------------------------------+-----------+-----------------
// Relative      | NtOpenFile with ObjectAttributes.RootDirectory set | 1 2       |
// opens         | opens ObjectName relative to that directory; the   |           |
//               | NT name is not put through Win32 normalization (no |           |
//               | trailing-dot, device-name or '/' rewriting).       |           |
//               | OBJ_CASE_INSENSITIVE as Win32 opens use.           |           |
//               |                                                    |           |
// Reparse       | FILE_OPEN_REPARSE_POINT /                          | 2 3 10 11 | no links made by
// points        | FILE_FLAG_OPEN_REPARSE_POINT open a reparse point  |           | Windows
//               | as itself, for the final component only: a         |           | programs; a host
//               | junction earlier in a path is followed, so         |           | link opens as
//               | reopened roots compare their final path with the   |           | its target, only
//               | canonical text. FILE_ATTRIBUTE_REPARSE_POINT is    |           | GetFileAttributesW
//               | set for every tag (symbolic link, junction, mount  |           | and a listing
//               | point, placeholder): all are links here.           |           | show it, and only
//               |                                                    |           | for a link to a
//               |                                                    |           | directory; a link
//               |                                                    |           | to a file looks
//               |                                                    |           | like that file
//               |                                                    |           | (same number);
//               |                                                    |           | its final path
//               |                                                    |           | names the target
//               |                                                    |           |
// Placeholders  | A placeholder whose data lives elsewhere carries   | 24 25     | keeps none of
//               | FILE_ATTRIBUTE_RECALL_ON_OPEN, ..._RECALL_ON_DATA_ |           | these attributes;
//               | ACCESS or ..._OFFLINE; a thread or process in a    |           | no placeholder
//               | compatibility mode may see it disguised, without   |           | modes (the call
//               | its reparse point. Each call sets its thread to    |           | is absent)
//               | PHCM_EXPOSE_PLACEHOLDERS (where ntdll has it) and  |           |
//               | restores the mode after; all three attributes make |           |
//               | a link here, like a reparse point.                 |           |
//               |                                                    |           |
// Listing       | GetFileInformationByHandleEx with                  | 4 33 36   | no FileIdExtd-
//               | FileIdBothDirectoryInfo fills the buffer with      |           | DirectoryInfo
//               | FILE_ID_BOTH_DIR_INFO records (FileAttributes,     |           | (invalid
//               | EndOfFile, name, short name, FileId) and goes on   |           | parameter); the
//               | where the last call stopped; ...RestartInfo starts |           | number is the
//               | over; ERROR_NO_MORE_FILES ends it. A listing holds |           | host's inode, a
//               | nothing but the handle it runs on. Each call asks  |           | host link's is
//               | for 64 KiB of records.                             |           | its target's;
//               |                                                    |           | "d\xff" and
// Listed is     | FileId is the 8-byte file reference number, the    | 37        | "d\x80" both list
// opened        | same number as FILE_INTERNAL_INFORMATION's         |           | as "d\uFFFD"
//               | IndexNumber of the object (NtQueryInformation-     |           | (their own
//               | File, no access needed). Whatever opens an entry   |           | numbers) and the
//               | by a listed name beneath its directory compares    |           | name opens the
//               | the two: another object there (swapped in since    |           | first
//               | the listing, reached through a link, or a second   |           |
//               | entry Win32 names alike) is content that cannot be |           |
//               | examined, and a name the stream did not hand out   |           |
//               | is refused. The 128-bit FileIdExtdDirectoryInfo    |           |
//               | would spare the short names, but the 8-byte        |           |
//               | number is the one every file system and Wine give. |           |
//               |                                                    |           |
// Not by        | FindFirstFileExW takes a path and opens the        | 10 33 34  | ignores LARGE_
// FindFirst-    | directory by it again, following a junction at or  | 35        | FETCH (8 KiB
// FileExW       | above it, and its search handle is no directory    |           | batches) and
//               | handle: nothing can be opened relative to it. A    |           | reads short
//               | directory swapped for a junction between the       |           | names for Basic
//               | walk's check and that reopen would be listed       |           | too
//               | through, and its data carries no file id. The      |           |
//               | listing above runs on the handle the walk opened   |           |
//               | and checked, and asks for what                     |           |
//               | FIND_FIRST_EX_LARGE_FETCH asks for: "a larger      |           |
//               | buffer for directory queries" (64 KiB here).       |           |
//               |                                                    |           |
// Empty first   | A first query that finds no entry at all fails     | 16 26 27  |
// listing       | with STATUS_NO_SUCH_FILE (ERROR_FILE_NOT_FOUND).   |           |
//               | Every directory lists "." and ".." but the root of |           |
//               | a FAT-family volume, so that answer means "empty"  |           |
//               | only there (final path "\" with VOLUME_NAME_NONE,  |           |
//               | FAT, FAT32 or exFAT by GetVolumeInformation-       |           |
//               | ByHandleW); anywhere else the listing failed.      |           |
//               |                                                    |           |
// Listed size   | The EndOfFile a directory lists can lag behind a   | 5 26 38   | the attribute
//               | file being written: a listed zero is confirmed on  |           | query costs no
//               | the object; a listed nonzero size means data. On a |           | server request;
//               | volume without named streams (only a handle can    |           | an open, a query
//               | list those) it is confirmed by GetFileAttributesExW|           | and a close cost
//               | on the entry's full "\\?\" path, made of the root's|           | three
//               | canonical text and listed names: the object's own  |           |
//               | attributes and size without a handle, a symbolic   |           |
//               | link's own. A reparse point, or another kind than  |           |
//               | the listing showed, is content that cannot be      |           |
//               | examined. The path is read by text, so a directory |           |
//               | above swapped meanwhile can make it reach another  |           |
//               | object: it only confirms a zero that was listed,   |           |
//               | and removal tests the size again on the handle it  |           |
//               | deletes through. Elsewhere the entry is opened and |           |
//               | compared as under "Listed is opened".              |           |
//               |                                                    |           |
// Share modes   | A later open fails when it asks access an open     | 6 7 8     | counts
//               | handle does not share, or shares less than an open |           | FILE_READ_DATA,
//               | handle's access. Only read, write or delete access |           | FILE_WRITE_DATA
//               | makes a handle's share mode count, so every        |           | (and append),
//               | holding handle asks FILE_LIST_DIRECTORY (read).    |           | DELETE only; a
//               | Setting the end of file needs FILE_WRITE_DATA.     |           | handle without
//               |                                                    |           | data access may
//               |                                                    |           | set the end of
//               |                                                    |           | file
//               |                                                    |           |
// Handles       | Host-path queries: FILE_READ_ATTRIBUTES (final     | 3 6 7     |
//               | path: 0), share all. Walk streams:                 |           |
//               | FILE_LIST_DIRECTORY, share all. Pinned root and    |           |
//               | held chain: FILE_LIST_DIRECTORY|FILE_TRAVERSE,     |           |
//               | share read|write, so none can be renamed or        |           |
//               | deleted (both need DELETE) while removal works     |           |
//               | beneath. Directory to remove:                      |           |
//               | DELETE|FILE_LIST_DIRECTORY, share read|write. File |           |
//               | to remove: DELETE|FILE_READ_ATTRIBUTES, share read |           |
//               | only, so no writer gets in between the size test   |           |
//               | and the delete, nobody can rename it away, and a   |           |
//               | file open for writing, or held with delete access  |           |
//               | or without share-delete, is refused.               |           |
//               |                                                    |           |
// Host paths    | Refused before any open: "\\.\" and "\??\" forms,  | 3 15 31   | opening a pipe
//               | "\\?\" forms but "\\?\X:\" and "\\?\UNC\", the     |           | connects to its
//               | pipe and mailslot shares of a server, and any      |           | server
//               | component Win32 reads as a device. Every host      |           |
//               | CreateFileW asks SECURITY_SQOS_PRESENT with        |           |
//               | SECURITY_IDENTIFICATION: a pipe server can then    |           |
//               | identify the caller but not act as it. What is     |           |
//               | opened must be FILE_TYPE_DISK; anything else is a  |           |
//               | kind of its own (status), ED_ROOT_OTHER (root) or  |           |
//               | unnameable (final path).                           |           |
//               |                                                    |           |
// Delete        | FILE_DISPOSITION_INFO needs DELETE access; the     | 9 12 13   | other handles of
// disposition   | object goes when its last handle closes; until     | 23 28     | the same process
//               | then it is delete pending: opens fail and nothing  |           | never block it;
//               | can be created in such a directory. First tried:   |           | refuses the
//               | FileDispositionInfoEx with DELETE|POSIX_SEMANTICS  |           | extended class
//               | (never IGNORE_READONLY_ATTRIBUTE): the name goes   |           | (ERROR_INVALID_
//               | as this handle closes even while others hold the   |           | PARAMETER), so
//               | object. A system without the class refuses it      |           | the classic one
//               | (invalid parameter, not supported, invalid         |           | is used
//               | function) and gets the classic one. DeleteFile     |           |
//               | FALSE (or FILE_DISPOSITION_DO_NOT_DELETE) clears   |           |
//               | a disposition before the handle closes.            |           |
//               |                                                    |           |
// Last checks   | FileAttributeTagInfo, the size and the streams are | 4 9 28 30 |
//               | read on the handle right before the disposition    |           |
//               | is set and again right after: a reparse point (or  |           |
//               | placeholder mark) set through another handle, or   |           |
//               | data that came through one opened before ours,     |           |
//               | clears the disposition and refuses.                |           |
//               |                                                    |           |
// Refusals      | The disposition fails for a read-only file         | 12 23     |
//               | (STATUS_CANNOT_DELETE: 'unlink failed') and for a  |           |
//               | directory that is not empty                        |           |
//               | (STATUS_DIRECTORY_NOT_EMPTY), which closes the gap |           |
//               | after the re-check.                                |           |
//               |                                                    |           |
// Streams       | 'file:stream[:type]' names a stream; share modes   | 14 27 29  | no named streams
//               | are kept per stream, and delete access to a file   | 30 32     | at all ("f:s"
//               | is checked against its open streams.               |           | makes a file of
//               | NtQueryInformationFile(FileStreamInformation)      |           | that name);
//               | needs no access; it lists the unnamed stream as    |           | STATUS_NOT_IMPL-
//               | "::$DATA" or with an empty name and a named one as |           | EMENTED and no
//               | ":name:$DATA"; a directory without named streams   |           | FILE_NAMED_
//               | lists none. A file system that cannot list them    |           | STREAMS: every
//               | answers STATUS_INVALID_PARAMETER or                |           | object counts as
//               | STATUS_NOT_IMPLEMENTED: it has none only if the    |           | without streams
//               | volume lacks FILE_NAMED_STREAMS. A named stream is |           |
//               | data: such a file is not zero bytes, such a        |           |
//               | directory not empty (its stream hands out one      |           |
//               | unnameable entry).                                 |           |
//               |                                                    |           |
// Names         | Win32 path handling strips trailing '.' and ' '    | 15        |
//               | from a component, reads CON PRN AUX NUL COM0-9     |           |
//               | LPT0-9 (also with superscript digits, an           |           |
//               | extension, any case) as devices and ':' as a       |           |
//               | stream, and rejects < > " | ? * and control        |           |
//               | characters; a \\?\ path skips all of it.           |           |
//               |                                                    |           |
// Final paths   | GetFinalPathNameByHandleW returns the length       | 16        | fails for final
//               | without the terminator, or the size needed when    |           | paths longer
//               | the buffer is short; ERROR_PATH_NOT_FOUND for a    |           | than about
//               | volume without a drive letter; ERROR_ACCESS_DENIED |           | MAX_PATH; gives
//               | over SMB when a component may not be queried;      |           | a host link's
//               | ERROR_NOT_ENOUGH_MEMORY. Removal compares the      |           | target
//               | final path of every directory it holds on the way  |           |
//               | and of the object it opened with the pinned root's |           |
//               | canonical text plus the relative path: an object   |           |
//               | reached through a link that opened as its target,  |           |
//               | whose identity was taken the same way, is refused. |           |
//               |                                                    |           |
// Windows       | GetSystemWindowsDirectoryW gives the shared        | 39        |
// directory     | Windows directory wherever it is installed;        |           |
//               | GetWindowsDirectoryW may give a user's private one |           |
//               | under Remote Desktop Services.                     |           |
//               |                                                    |           |
// Conversions   | WC_ERR_INVALID_CHARS / MB_ERR_INVALID_CHARS make a | 17 18     |
//               | lone surrogate or invalid UTF-8 fail the           |           |
//               | conversion instead of becoming U+FFFD.             |           |
//               |                                                    |           |
// Identity      | FILE_ID_INFO: 64-bit volume serial and 128-bit id, | 19 20 21  |
//               | all zero where the file system has none;           |           |
//               | BY_HANDLE_FILE_INFORMATION: 32-bit serial and      |           |
//               | 64-bit index. Volume and id together tell one file |           |
//               | from every other. An index of zero is no id: such  |           |
//               | an object has no identity and every comparison     |           |
//               | that needs one refuses it.                         |           |
//               |                                                    |           |
// Name compare  | CompareStringOrdinal(..., TRUE) compares with the  | 22        |
//               | operating system's upper-case table.               |           |
// clang-format on
//
// clang-format off
// [1]  https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntopenfile
// [2]  https://learn.microsoft.com/en-us/windows/win32/api/winternl/nf-winternl-ntcreatefile
// [3]  https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-createfilew
// [4]  https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-getfileinformationbyhandleex
// [5]  https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_full_dir_info
// [6]  https://learn.microsoft.com/windows/win32/fileio/creating-and-opening-files
// [7]  https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-iocheckshareaccess
// [8]  https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-reopenfile
// [9]  https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_disposition_info
// [10] https://learn.microsoft.com/windows/win32/fileio/reparse-points-and-file-operations
// [11] https://learn.microsoft.com/en-us/windows/win32/FileIO/reparse-point-operations
// [12] https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/386d9ec5-e0f6-4853-b175-c05be01419e0
// [13] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information
// [14] https://learn.microsoft.com/windows/win32/fileio/file-streams
// [15] https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file
// [16] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getfinalpathnamebyhandlew
// [17] https://learn.microsoft.com/en-us/windows/win32/api/stringapiset/nf-stringapiset-widechartomultibyte
// [18] https://learn.microsoft.com/en-us/windows/win32/api/stringapiset/nf-stringapiset-multibytetowidechar
// [19] https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_info
// [20] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-file_id_information
// [21] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/ns-fileapi-by_handle_file_information
// [22] https://learn.microsoft.com/en-us/windows/win32/api/stringapiset/nf-stringapiset-comparestringordinal
// [23] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-deletefilew
// [24] https://learn.microsoft.com/en-us/windows/win32/fileio/file-attribute-constants
// [25] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-rtlsetthreadplaceholdercompatibilitymode
// [26] https://learn.microsoft.com/en-us/openspecs/windows_protocols/ms-fsa/fa8194e0-53ec-413b-8315-e8fa85396fd8
// [27] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getvolumeinformationbyhandlew
// [28] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntddk/ns-ntddk-_file_disposition_information_ex
// [29] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryinformationfile
// [30] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_stream_information
// [31] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getfiletype
// [32] https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_stream_info
// [33] https://learn.microsoft.com/en-us/windows/win32/api/minwinbase/ne-minwinbase-file_info_by_handle_class
// [34] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-findfirstfileexw
// [35] https://learn.microsoft.com/en-us/windows/win32/api/minwinbase/ne-minwinbase-findex_info_levels
// [36] https://learn.microsoft.com/en-us/windows/win32/api/winbase/ns-winbase-file_id_both_dir_info
// [37] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_internal_information
// [38] https://learn.microsoft.com/en-us/windows/win32/api/fileapi/nf-fileapi-getfileattributesexw
// [39] https://learn.microsoft.com/en-us/windows/win32/api/sysinfoapi/nf-sysinfoapi-getsystemwindowsdirectoryw
// clang-format on
//
// Names. A listed path must name the same object when a host passes it back
// through Win32. An entry whose name Win32 path handling would change ("f.",
// "d ", "NUL", "com1.txt", "LPT\u00b9"), or could not name at all (':' and the
// other characters Win32 rejects), or that is not valid UTF-16, or whose
// UTF-8 form does not fit the name buffer, is handed out as
// ed_unnameable_entry: content that cannot be examined, which keeps its
// directory from being empty. The same rule applies to every component of a
// canonical path, so no canonical text turns into another object on its way
// back through Win32.
#include <windows.h>
#include <winternl.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ed_owners.h"
#include "platform/ed_platform.h"

namespace {

// Owns a file handle; INVALID_HANDLE_VALUE is empty.
class unique_hfile {
  public:
    explicit unique_hfile(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
    ~unique_hfile() { reset(); }
    unique_hfile(const unique_hfile &) = delete;
    unique_hfile &operator=(const unique_hfile &) = delete;
    unique_hfile(unique_hfile &&other) noexcept : handle_(other.release()) {}
    unique_hfile &operator=(unique_hfile &&other) noexcept {
        reset(other.release());
        return *this;
    }
    HANDLE get() const noexcept { return handle_; }
    HANDLE release() noexcept {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Shared by every handle that holds a directory in place: anyone may read or
// add entries, nobody may rename or delete it while it is held.
constexpr DWORD kShareHold = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The access of a holding handle: read access, so that its share mode binds.
constexpr ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
// Room for a final path from the system, in UTF-16 units with the
// terminator; its UTF-8 form must then fit ED_MAX_CANONICAL_BYTES.
constexpr DWORD kFinalPathUnits = 8192;
// Marks an identity read from BY_HANDLE_FILE_INFORMATION: no file system
// with 64-bit indexes gives a 128-bit id whose high half is all ones, so the
// two forms never compare equal by accident.
constexpr uint64_t kIndexOnlyMark = ~uint64_t{0};

// Attributes that make an object a link here: a reparse point, and the
// marks of a placeholder whose data lives elsewhere. A thread that sees
// placeholders disguised misses the reparse point but still sees these, and
// opening or reading such an object may fetch it from elsewhere.
constexpr DWORD kFileAttributeRecallOnOpen = 0x00040000;
constexpr DWORD kFileAttributeRecallOnDataAccess = 0x00400000;
constexpr DWORD kLinkAttributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE |
                                  kFileAttributeRecallOnOpen | kFileAttributeRecallOnDataAccess;

bool is_link_like(DWORD attributes) { return (attributes & kLinkAttributes) != 0; }

// FILE_INFO_BY_HANDLE_CLASS value of FileDispositionInfoEx (the headers
// declare it only for newer targets than ours).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

thread_local ed_test_hook t_test_hook = nullptr;
thread_local void *t_test_context = nullptr;

unsigned long at_test_moment(ed_test_moment moment) {
    return t_test_hook != nullptr ? t_test_hook(moment, t_test_context) : 0;
}

bool is_ascii_letter(unsigned c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
wchar_t ascii_upper(wchar_t c) { return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c; }

bool equals_ascii_nocase(const wchar_t *text, const char *ascii, size_t units) {
    for (size_t i = 0; i < units; ++i)
        if (ascii_upper(text[i]) != static_cast<wchar_t>(ascii[i]))
            return false;
    return true;
}

// The base names Win32 maps to devices in any directory.
bool is_device_base(const wchar_t *base, size_t units) {
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

// NtOpenFile, found in ntdll (always loaded in a Win32 process) once.
using nt_open_file_fn = decltype(&::NtOpenFile);

nt_open_file_fn nt_open_file() {
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

// NtQueryInformationFile, found in ntdll once, as NtOpenFile is.
using nt_query_information_file_fn = decltype(&::NtQueryInformationFile);

nt_query_information_file_fn nt_query_information_file() {
    static const nt_query_information_file_fn query = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found =
            ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryInformationFile") : nullptr;
        return reinterpret_cast<nt_query_information_file_fn>(reinterpret_cast<void (*)()>(found));
    }();
    return query;
}

// What a walk knows of its volume's named streams: every directory it
// opens is on the root's volume, since a volume mounted in a folder is a
// reparse point and never entered, so the volume is asked once per walk.
enum class volume_streams : signed char { not_asked = -1, none = 0, kept = 1 };

// Whether the volume that holds `handle` keeps named streams at all.
// False also when the volume cannot say: the caller then trusts a file
// system that reports no support for listing streams.
bool volume_has_named_streams(HANDLE handle, volume_streams *known) {
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

enum class streams_verdict {
    plain,     // no named stream, and the unnamed stream (if listed) is empty
    with_data, // a named stream, or data in the unnamed one: content
    unknown,   // could not be told: taken as content by every caller
};

// The data streams of the object `handle` holds (see "Streams" at the head
// of the file). A named stream is data of its own whatever its size, so an
// object with one is never empty.
streams_verdict streams_of(HANDLE handle, volume_streams *known = nullptr) {
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
// also asks the volume for its serial number: a walk confirms every listed
// zero-byte file this way. `extra_attributes` are added to what the handle
// says (see open_host_path).
bool stat_of_handle(HANDLE handle, ed_stat *st, DWORD extra_attributes = 0,
                    volume_streams *known = nullptr) {
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
        if (st->st_size == 0 && streams_of(handle, known) != streams_verdict::plain)
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

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// True when Win32 would read the component as a device: its base name (up to
// the first '.', trailing dots and spaces dropped) is a device's name.
bool names_device(std::wstring_view component) {
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

// Every CreateFileW of a host's text asks for identification only, so that
// a pipe reached all the same (through a link, say) cannot act as the caller.
constexpr DWORD kHostOpenFlags =
    FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

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
unique_hfile open_host_path(const char *path, DWORD access, DWORD flags, bool *named_link = nullptr,
                            bool *other_kind = nullptr) {
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
char *canonical_form(std::wstring_view final_path) {
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
ed_final_path_status final_path_of_object(const char *path, char **out) {
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

} // namespace

// A directory stream: a handle and one batch of listed entries, read ahead by
// one entry so that the stream knows its end. A batch holds several hundred
// entries, so most directories are read in one call and a second that finds
// the end.
constexpr size_t kEntryBatchBytes = 64 * 1024;

enum class stream_state { holding, broken, done };

// What the listing said of an entry it handed out, kept for the queries on
// that entry that come after (the walk opens a subdirectory or confirms a
// zero size once the name is out, maybe from another thread).
struct listed_record {
    uint64_t name_hash; // of the UTF-8 name handed out
    uint64_t file_id;   // the listing's 8-byte file reference number
    bool directory;
};

// Room for the "\\?\" path of a directory a walk reaches: the walks stop
// at ED_PATH_LIMIT bytes of UTF-8, fewer UTF-16 units.
constexpr size_t kStreamPathUnits = 4 + ED_PATH_LIMIT + 1;

// A plain record (malloc, no constructor): a stream that is closed goes
// back to a per-thread cache as it is.
struct ed_dir {
    HANDLE handle;
    bool owns_handle;      // false for the re-check stream on a target's own handle
    bool named_streams;    // the directory holds data streams: handed out first, as one
                           // unnameable entry
    volume_streams volume; // what the walk learned of its volume, handed to the streams below
    stream_state state;
    size_t held; // offset in `batch` of the entry to hand out next
    // "\\?\X:\..." of the directory where the stream knows it (it was reached
    // from a root or a host path by listed names), else empty.
    wchar_t path[kStreamPathUnits];
    size_t path_units;
    // Entries handed out that a later query may reach by name. Written by the
    // thread that reads the stream, read by the threads a walk hands
    // subdirectories to: guarded by `records_lock`.
    SRWLOCK records_lock;
    listed_record *records; // malloc block of `records_room`, `records_held` in use
    size_t records_held;
    size_t records_room;
    char name[ED_NAME_BUFFER_BYTES];
    alignas(LARGE_INTEGER) unsigned char batch[kEntryBatchBytes];
};

namespace {

// Stream records are large (one batch each) and a walk makes and drops one
// per directory: a few released records are kept per thread for the next
// streams instead of going back to the heap every time.
class stream_record_cache {
  public:
    stream_record_cache() = default;
    stream_record_cache(const stream_record_cache &) = delete;
    stream_record_cache &operator=(const stream_record_cache &) = delete;
    ~stream_record_cache() {
        for (size_t i = 0; i < count_; ++i)
            std::free(kept_[i]);
    }
    ed_dir *take() {
        return count_ > 0 ? kept_[--count_] : static_cast<ed_dir *>(std::malloc(sizeof(ed_dir)));
    }
    // Takes back a record, with nothing of its own left allocated: what it
    // kept of its entries goes now.
    void give(ed_dir *dir) {
        std::free(dir->records);
        dir->records = nullptr;
        if (count_ < kKept)
            kept_[count_++] = dir;
        else
            std::free(dir);
    }

  private:
    static constexpr size_t kKept = 8;
    ed_dir *kept_[kKept] = {};
    size_t count_ = 0;
};

thread_local stream_record_cache t_stream_records;

// What a listing reads of each entry: attributes, size, name and the file
// reference number, which the object opened by that name must carry (see
// "Listing" at the head of the file).
using listed_entry = FILE_ID_BOTH_DIR_INFO;

const listed_entry *held_entry(const ed_dir *dir) {
    return reinterpret_cast<const listed_entry *>(dir->batch + dir->held);
}

// True when the directory `handle` holds is the root of a volume of the FAT
// family: the only directory that lists not even "." and "..", so that a
// first read finding nothing at all means it is empty.
bool is_fat_volume_root(HANDLE handle) {
    wchar_t path[4];
    if (GetFinalPathNameByHandleW(handle, path, 4, FILE_NAME_NORMALIZED | VOLUME_NAME_NONE) != 1 ||
        path[0] != L'\\')
        return false;
    wchar_t file_system[MAX_PATH + 1];
    if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, file_system,
                                       MAX_PATH + 1))
        return false;
    const std::wstring_view name(file_system);
    return name == L"FAT" || name == L"FAT32" || name == L"exFAT";
}

// Reads the next batch; `restart` begins the listing anew, whatever the
// handle listed before. A failure other than the end breaks the stream.
bool read_batch(ed_dir *dir, bool restart) {
    dir->held = 0;
    const unsigned long injected = restart ? at_test_moment(ED_TEST_FIRST_LISTING_READ) : 0;
    if (injected != 0)
        SetLastError(injected);
    else if (GetFileInformationByHandleEx(
                 dir->handle, restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                 dir->batch, sizeof dir->batch))
        return true;
    // A first read finding no entry at all says "no such file"; only a
    // directory without "." and ".." can list nothing, and for any other
    // directory it means the listing failed.
    const DWORD error = GetLastError();
    const bool end = error == ERROR_NO_MORE_FILES ||
                     (restart && error == ERROR_FILE_NOT_FOUND && is_fat_volume_root(dir->handle));
    dir->state = end ? stream_state::done : stream_state::broken;
    return false;
}

bool entry_fits(const ed_dir *dir) {
    const size_t name_offset = offsetof(listed_entry, FileName);
    return dir->held + name_offset <= sizeof dir->batch &&
           held_entry(dir)->FileNameLength <= sizeof dir->batch - dir->held - name_offset;
}

bool is_dot_or_dotdot(const listed_entry *entry) {
    const DWORD units = entry->FileNameLength / sizeof(WCHAR);
    return entry->FileName[0] == L'.' && (units == 1 || (units == 2 && entry->FileName[1] == L'.'));
}

// Moves to the next entry other than "." and "..". A listing that breaks off
// leaves the stream broken: one unnameable entry then stands for whatever
// could not be read, so a directory that could not be listed to its end is
// never taken for empty.
void advance(ed_dir *dir, bool first) {
    bool have;
    if (first) {
        have = read_batch(dir, true);
    } else {
        const DWORD next = held_entry(dir)->NextEntryOffset;
        dir->held += next;
        have = next != 0 || read_batch(dir, false);
    }
    while (have) {
        if (!entry_fits(dir)) {
            dir->state = stream_state::broken;
            return;
        }
        if (!is_dot_or_dotdot(held_entry(dir))) {
            dir->state = stream_state::holding;
            return;
        }
        const DWORD next = held_entry(dir)->NextEntryOffset;
        dir->held += next;
        have = next != 0 || read_batch(dir, false);
    }
}

// A stream on an open directory handle, holding its first entry; it will
// close the handle when `owns`. Null when memory is short or the directory
// cannot be listed at all; the handle is then left to the caller, so that
// one owner alone ever closes it.
ed_dir *stream_on(HANDLE handle, bool owns, volume_streams known = volume_streams::not_asked,
                  std::wstring_view path = {}) {
    ed_dir *dir = t_stream_records.take();
    if (dir == nullptr)
        return nullptr;
    dir->path_units = path.size() < kStreamPathUnits ? path.size() : 0;
    if (dir->path_units != 0)
        std::memcpy(dir->path, path.data(), dir->path_units * sizeof(wchar_t));
    InitializeSRWLock(&dir->records_lock);
    dir->records = nullptr;
    dir->records_held = 0;
    dir->records_room = 0;
    dir->handle = handle;
    dir->owns_handle = owns;
    dir->volume = known;
    dir->name[0] = '\0';
    advance(dir, true);
    if (dir->state == stream_state::broken) {
        t_stream_records.give(dir);
        return nullptr;
    }
    // A named data stream is content of the directory that no listing shows.
    dir->named_streams = streams_of(handle, &dir->volume) != streams_verdict::plain;
    return dir;
}

// A stream that takes over `directory`, which it then closes; only when
// the stream is set up does the handle leave the caller's guard.
ed_dir *stream_from(unique_hfile &directory, volume_streams known = volume_streams::not_asked,
                    std::wstring_view path = {}) {
    ed_dir *dir = stream_on(directory.get(), true, known, path);
    if (dir != nullptr)
        directory.release();
    return dir;
}

// The kind a listing tells for free. A nonzero listed size means data; a
// listed zero may lag behind a writer, so the walk confirms it on the object.
ed_entry_hint hint_of(const listed_entry *entry) {
    if (is_link_like(entry->FileAttributes))
        return ED_HINT_LNK;
    if (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ED_HINT_DIR;
    return entry->EndOfFile.QuadPart != 0 ? ED_HINT_REG_DATA : ED_HINT_REG;
}

void set_unnameable(char *name) {
    std::memcpy(name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
}

// The held entry's name as UTF-8 in `out`; false when it cannot be handed
// out faithfully (see "Names" at the head of the file).
bool faithful_name(const listed_entry *entry, char *out) {
    const size_t units = entry->FileNameLength / sizeof(WCHAR);
    if (units == 0 || units >= ED_NAME_BUFFER_BYTES || win32_alters_name(entry->FileName, units))
        return false;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, entry->FileName, static_cast<int>(units),
                            out, static_cast<int>(ED_NAME_BUFFER_BYTES - 1), nullptr, nullptr);
    if (bytes <= 0)
        return false;
    out[bytes] = '\0';
    return true;
}

uint64_t name_hash(const char *name) {
    uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a
    for (; *name != '\0'; ++name)
        hash = (hash ^ static_cast<unsigned char>(*name)) * 0x100000001b3ULL;
    return hash;
}

// Keeps what the listing said of the entry just handed out as `name`. When
// memory is short nothing is kept, and every later query on the entry
// refuses it.
void keep_listed(ed_dir *dir, const char *name, const listed_entry *entry) {
    const listed_record record{name_hash(name), static_cast<uint64_t>(entry->FileId.QuadPart),
                               (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    AcquireSRWLockExclusive(&dir->records_lock);
    if (dir->records_held == dir->records_room) {
        const size_t room = dir->records_room == 0 ? 64 : dir->records_room * 2;
        void *grown = room <= SIZE_MAX / sizeof(listed_record)
                          ? std::realloc(dir->records, room * sizeof(listed_record))
                          : nullptr;
        if (grown != nullptr) {
            dir->records = static_cast<listed_record *>(grown);
            dir->records_room = room;
        }
    }
    if (dir->records_held < dir->records_room)
        dir->records[dir->records_held++] = record;
    ReleaseSRWLockExclusive(&dir->records_lock);
}

// What the listing said of the entry `name` the stream handed out; false
// when it kept nothing for that name. The latest entry of that name counts:
// a name listed twice (two objects that Win32 names alike) then matches at
// most one object, and the other entry is refused.
bool listed_as(ed_dir *dir, const char *name, listed_record *out) {
    const uint64_t hash = name_hash(name);
    bool found = false;
    AcquireSRWLockShared(&dir->records_lock);
    for (size_t i = dir->records_held; i > 0; --i)
        if (dir->records[i - 1].name_hash == hash) {
            *out = dir->records[i - 1];
            found = true;
            break;
        }
    ReleaseSRWLockShared(&dir->records_lock);
    return found;
}

// The 8-byte file reference number of the object `handle` holds: the number
// a listing of its directory gives for it (see "Listing" at the head of the
// file).
bool reference_of(HANDLE handle, uint64_t *reference) {
    const nt_query_information_file_fn query = nt_query_information_file();
    if (query == nullptr)
        return false;
    constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
    LARGE_INTEGER index{};
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(query(handle, &io, &index, sizeof index, kFileInternalInformation)))
        return false;
    *reference = static_cast<uint64_t>(index.QuadPart);
    return true;
}

// True when `object`, opened by the name `name` beneath the stream's
// directory, is the object the listing handed out under that name: same
// file reference number, and a directory exactly when it listed one. An
// entry swapped since it was listed (for a link that the open went through,
// say), or a second entry Win32 names like another, fails.
bool is_listed_object(ed_dir *dir, const char *name, HANDLE object, listed_record *listed) {
    uint64_t reached = 0;
    return listed_as(dir, name, listed) && listed->file_id != 0 && reference_of(object, &reached) &&
           reached == listed->file_id;
}

// "\\?\X:\dir\name" for the entry `component` of the stream's directory,
// when the stream knows its own path; else empty.
std::wstring entry_path(const ed_dir *dir, const std::wstring &component) {
    if (dir->path_units == 0)
        return {};
    std::wstring path(dir->path, dir->path_units);
    if (path.back() != L'\\') // a drive root ends in one already
        path.push_back(L'\\');
    path.append(component);
    return path;
}

} // namespace

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

ed_dir *ed_opendir(const char *path) {
    if (path == nullptr || *path == '\0' || names_stream(path))
        return nullptr;
    unique_hfile directory =
        open_host_path(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0);
    const DWORD attributes = directory ? attributes_of(directory.get()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    return stream_from(directory);
}

ed_dir *ed_opendir_root(const char *canonical, const ed_file_id *id) {
    unique_hfile root = open_registered_root(canonical, id, FILE_LIST_DIRECTORY, kShareAll);
    if (!root)
        return nullptr;
    // Reached by this text as itself (open_registered_root checked its final
    // path), so entries beneath it may be asked about by their full paths.
    return stream_from(root, volume_streams::not_asked, extended_form(canonical));
}

const char *ed_readdir(ed_dir *dir) {
    ed_entry_hint ignored;
    return ed_readdir_hint(dir, &ignored);
}

const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    if (dir == nullptr)
        return nullptr;
    if (dir->named_streams) {
        dir->named_streams = false;
        set_unnameable(dir->name);
        return dir->name;
    }
    if (dir->state == stream_state::done)
        return nullptr;
    if (dir->state == stream_state::broken) {
        set_unnameable(dir->name);
        dir->state = stream_state::done;
        return dir->name;
    }
    const listed_entry *entry = held_entry(dir);
    if (faithful_name(entry, dir->name)) {
        *hint = hint_of(entry);
        keep_listed(dir, dir->name, entry);
    } else {
        set_unnameable(dir->name);
    }
    advance(dir, false); // read one ahead
    return dir->name;
}

namespace {

// ed_fill_stat_at() without a handle, on a volume that keeps no named
// streams (which only a handle could list): the attributes and size that
// the object at the entry's full path has itself, a link's own for a link
// (see "Listed size" at the head of the file). 1 when done, 0 when the
// stream cannot ask this way, -1 for content that cannot be examined: a
// reparse point, or an object of another kind than the listing showed.
int stat_by_path(ed_dir *dir, const std::wstring &component, const listed_record &listed,
                 ed_stat *st) {
    if (dir->path_units == 0 || volume_has_named_streams(dir->handle, &dir->volume))
        return 0;
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
        unique_hfile entry =
            open_beneath(dir->handle, component, FILE_READ_ATTRIBUTES, kShareAll, 0);
        if (!entry || !is_listed_object(dir, name, entry.get(), &listed) ||
            !stat_of_handle(entry.get(), &status, 0, &dir->volume))
            return -1;
    }
    *st = status;
    return 0;
}

ed_dir *ed_opendir_at(ed_dir *dir, const char *name) {
    std::wstring component;
    if (dir == nullptr || !component_of(name, component))
        return nullptr;
    unique_hfile child =
        open_beneath(dir->handle, component, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll,
                     FILE_DIRECTORY_FILE);
    // Opened as itself, a junction would list as an empty directory; opened
    // as another object than the one listed, the listing would be of that
    // other object.
    listed_record listed;
    if (!child || !is_listed_object(dir, name, child.get(), &listed) || !listed.directory ||
        !is_plain_directory(attributes_of(child.get())))
        return nullptr;
    return stream_from(child, dir->volume, entry_path(dir, component));
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

int ed_dir_has_next(const ed_dir *dir) {
    return dir != nullptr && (dir->named_streams || dir->state != stream_state::done) ? 1 : 0;
}

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    if (dir->owns_handle)
        CloseHandle(dir->handle);
    t_stream_records.give(dir);
}

// A path holds at most ED_PATH_LIMIT bytes here, so a walk keeps every level
// of its path open (ed_walk_resumes is false) and never suspends a stream.
ed_dir *ed_walk_opendir_at(ed_dir *dir, const char *name) { return ed_opendir_at(dir, name); }

void ed_dir_note(const ed_dir *, ed_dir_mark *mark) { *mark = ed_dir_mark{}; }

ed_dir *ed_dir_resume(const ed_dir_mark *, ed_dir *, ed_dir *, const char *) { return nullptr; }

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
struct ed_pinned_root {
    std::string canonical;
    ed_file_id id;
    unique_hfile handle; // empty while a removal of the root itself holds it
};

namespace {

// The pin's handle, opened again when a removal of the root itself let it go.
HANDLE held_root(ed_pinned_root *root) {
    if (!root->handle)
        root->handle =
            open_registered_root(root->canonical.c_str(), &root->id, kHoldAccess, kShareHold);
    return root->handle.get();
}

// The directories from the pinned root down to the parent of the object
// `relative` names, each held without sharing delete until the removal is
// done: nothing on the chain can be renamed meanwhile.
struct chain_beneath {
    std::vector<unique_hfile> held;
    std::wstring leaf;

    HANDLE parent(HANDLE root) const { return held.empty() ? root : held.back().get(); }
};

// True when the final path of the object `handle` holds is the pinned
// root's canonical text followed by the first `units` UTF-16 units of
// `relative` (all of them when npos; none for the root itself). Opening
// beneath a held directory never follows a reparse point on Windows, but a
// link made by another system may still open as its target (see "Reparse
// points" at the head of the file); its final path then names the target,
// and this refuses it.
bool final_path_is(HANDLE handle, const ed_pinned_root *root, const std::wstring &relative,
                   size_t units) {
    std::wstring expected = wide_of(root->canonical.c_str());
    if (expected.empty())
        return false;
    const std::wstring_view below = std::wstring_view(relative).substr(0, units);
    if (!below.empty()) {
        if (expected.back() != L'/') // a drive root ends in one already
            expected.push_back(L'/');
        expected.append(below);
    }
    char *reached = nullptr;
    if (canonical_of_handle(handle, &reached) != ED_FINAL_RESOLVED)
        return false;
    const ed_heap_text reached_text(reached);
    return wide_of(reached) == expected;
}

// Walks `relative` ('/'-separated canonical components) below the pinned
// root one component at a time; false when a component is not a faithful
// name, cannot be opened, is not a plain directory (a reparse point is never
// followed) or is not where the root's canonical path and `relative` say.
bool reach_parent(ed_pinned_root *pinned, const char *relative, chain_beneath *chain) {
    const HANDLE root = held_root(pinned);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring wide = wide_of(relative);
    if (wide.empty())
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = wide.find(L'/', start);
        const bool last = end == std::wstring::npos;
        if (last)
            end = wide.size();
        const std::wstring_view name(wide.data() + start, end - start);
        if (win32_alters_name(name.data(), name.size()))
            return false;
        if (last) {
            chain->leaf.assign(name);
            return true;
        }
        unique_hfile next =
            open_beneath(chain->parent(root), name, kHoldAccess, kShareHold, FILE_DIRECTORY_FILE);
        if (!next || !is_plain_directory(attributes_of(next.get())) ||
            !final_path_is(next.get(), pinned, wide, end))
            return false;
        chain->held.push_back(std::move(next));
        start = end + 1;
    }
}

// The tests removal runs on the object it opened, in order; the status read
// on that same handle in `st`.
ed_target_status judge_opened(HANDLE object, const ed_file_id *examined, bool want_directory,
                              ed_stat *st) {
    ed_file_id reached;
    if (!stat_of_handle(object, st) || !identity_of(object, &reached) ||
        !ed_same_file(reached, *examined))
        return ED_TARGET_FAILED;
    if (st->st_mode == ED_S_IFLNK)
        return ED_TARGET_LINK;
    return (st->st_mode == ED_S_IFDIR) == want_directory ? ED_TARGET_OK : ED_TARGET_WRONG_KIND;
}

// How a delete disposition was set, so that it is cleared the same way.
enum class disposition { none, posix, classic };

// Marks `object` for deletion: with POSIX semantics where the system takes
// them (the name goes when this handle closes, even while others hold the
// object), else the classic way. Never ignoring the read-only attribute.
disposition set_delete_disposition(HANDLE object) {
    FILE_DISPOSITION_INFO_EX posix{};
    posix.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
    if (SetFileInformationByHandle(object, kFileDispositionInfoEx, &posix, sizeof posix))
        return disposition::posix;
    const DWORD error = GetLastError();
    // Only a system or file system without the extended class gets the
    // classic one; any other refusal stands.
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION)
        return disposition::none;
    FILE_DISPOSITION_INFO classic{};
    classic.DeleteFile = TRUE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &classic, sizeof classic)
               ? disposition::classic
               : disposition::none;
}

bool clear_delete_disposition(HANDLE object, disposition how) {
    if (how == disposition::posix) {
        FILE_DISPOSITION_INFO_EX keep{};
        keep.Flags = FILE_DISPOSITION_FLAG_DO_NOT_DELETE;
        return SetFileInformationByHandle(object, kFileDispositionInfoEx, &keep, sizeof keep) != 0;
    }
    FILE_DISPOSITION_INFO keep{};
    keep.DeleteFile = FALSE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &keep, sizeof keep) != 0;
}

// What the object `object` is now, as removal requires it: no link and no
// placeholder, of the kind wanted, and without data (for a file: an empty
// unnamed stream; for both: no named stream).
ed_target_status still_removable(HANDLE object, bool want_directory) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof tag))
        return ED_TARGET_FAILED;
    if (is_link_like(tag.FileAttributes))
        return ED_TARGET_LINK;
    if (((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != want_directory)
        return ED_TARGET_WRONG_KIND;
    if (!want_directory) {
        FILE_STANDARD_INFO standard;
        if (!GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof standard))
            return ED_TARGET_FAILED;
        if (standard.EndOfFile.QuadPart != 0)
            return ED_TARGET_NOT_EMPTY;
    }
    return streams_of(object) == streams_verdict::plain ? ED_TARGET_OK : ED_TARGET_NOT_EMPTY;
}

// Deletes the judged object through its handle if it still passes the
// tests right before the disposition is set and again right after (a
// reparse point set through another handle, a stream written through a
// handle opened before ours, ...): otherwise the disposition is cleared and
// the object stays. ED_TARGET_OK when it goes as the handle closes.
ed_target_status delete_if_unchanged(HANDLE object, bool want_directory) {
    ed_target_status status = still_removable(object, want_directory);
    if (status != ED_TARGET_OK)
        return status;
    // The platform refuses a read-only file and a directory that is not empty.
    const disposition how = set_delete_disposition(object);
    if (how == disposition::none)
        return ED_TARGET_FAILED;
    at_test_moment(ED_TEST_DISPOSITION_SET);
    status = still_removable(object, want_directory);
    if (status != ED_TARGET_OK && !clear_delete_disposition(object, how))
        return ED_TARGET_FAILED;
    return status;
}

// Where the last component of a canonical text begins ("C:/a/b": at "b").
size_t root_leaf_offset(const std::string &canonical) {
    const size_t slash = canonical.rfind('/');
    return slash == std::string::npos ? canonical.size() : slash + 1;
}

// The parent of the registered root `canonical`, held like the directories
// of a chain, if it is reached by its canonical path as itself (its final
// path is that text). Empty for a root without a parent (a drive root or a
// share) or a parent reached elsewhere.
unique_hfile open_root_parent(const std::string &canonical) {
    const size_t leaf = root_leaf_offset(canonical);
    if (leaf == 0 || leaf >= canonical.size())
        return unique_hfile();
    std::string parent(canonical, 0, leaf - 1);
    if (parent.size() == 2 && parent[1] == ':')
        parent.push_back('/'); // "C:" alone is a drive's current directory
    const std::wstring extended = extended_form(parent.c_str());
    if (extended.empty())
        return unique_hfile();
    unique_hfile held(CreateFileW(extended.c_str(), kHoldAccess | SYNCHRONIZE, kShareHold, nullptr,
                                  OPEN_EXISTING, kHostOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    if (!held || GetFileType(held.get()) != FILE_TYPE_DISK ||
        !is_plain_directory(attributes_of(held.get())))
        return unique_hfile();
    char *final_text = nullptr;
    if (canonical_of_handle(held.get(), &final_text) != ED_FINAL_RESOLVED)
        return unique_hfile();
    const bool same_path = std::strcmp(final_text, parent.c_str()) == 0;
    std::free(final_text);
    return same_path ? std::move(held) : unique_hfile();
}

} // namespace

ed_pinned_root *ed_pin_root(const char *canonical, const ed_file_id *id) {
    unique_hfile handle = open_registered_root(canonical, id, kHoldAccess, kShareHold);
    if (!handle)
        return nullptr;
    return new ed_pinned_root{canonical, *id, std::move(handle)};
}

void ed_unpin_root(ed_pinned_root *root) { delete root; }

// A directory about to be removed: its own handle (DELETE access, shares no
// delete) and the chain that leads to it from the root.
struct ed_target {
    chain_beneath chain;
    unique_hfile handle;
};

ed_target *ed_target_open_dir(ed_pinned_root *root, const char *relative,
                              const ed_file_id *examined, ed_target_status *status) {
    *status = ED_TARGET_FAILED;
    if (root == nullptr || relative == nullptr || examined == nullptr)
        return nullptr;
    auto target = std::make_unique<ed_target>();
    constexpr ACCESS_MASK kAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    if (*relative == '\0') {
        // The root itself. Its parent is held first (reached by its
        // canonical path, which it must still have, so no junction on the
        // way led elsewhere), then the pin, which shares no delete, lets go,
        // and the root is opened by its name beneath the held parent, as
        // every other object is: without backup intent, never through a
        // reparse point, and judged by identity below, so a directory
        // swapped in meanwhile is refused.
        unique_hfile parent = open_root_parent(root->canonical);
        if (!parent)
            return nullptr;
        const std::wstring leaf =
            wide_of(root->canonical.c_str() + root_leaf_offset(root->canonical));
        if (leaf.empty() || win32_alters_name(leaf.data(), leaf.size()))
            return nullptr;
        root->handle.reset();
        target->handle = open_beneath(parent.get(), leaf, kAccess, kShareHold, FILE_DIRECTORY_FILE);
        target->chain.held.push_back(std::move(parent));
    } else {
        if (!reach_parent(root, relative, &target->chain))
            return nullptr;
        target->handle = open_beneath(target->chain.parent(held_root(root)), target->chain.leaf,
                                      kAccess, kShareHold, 0);
    }
    if (!target->handle)
        return nullptr;
    ed_stat st;
    *status = judge_opened(target->handle.get(), examined, true, &st);
    if (*status != ED_TARGET_OK)
        return nullptr;
    // The identity above was taken the way this open went; the final path
    // tells whether that way led where the canonical path says.
    if (!final_path_is(target->handle.get(), root, wide_of(relative), std::wstring::npos)) {
        *status = ED_TARGET_FAILED;
        return nullptr;
    }
    return target.release();
}

ed_dir *ed_target_opendir(ed_target *target) {
    // The re-check lists through the target's own handle (from the start,
    // whatever was listed before), so no second handle holds the directory.
    return target != nullptr && target->handle ? stream_on(target->handle.get(), false) : nullptr;
}

int ed_target_remove_dir(ed_target *target) {
    if (target == nullptr || !target->handle)
        return -1;
    // The platform refuses to mark a directory that is not empty; a named
    // stream it would let go with the directory is checked here.
    if (delete_if_unchanged(target->handle.get(), true) != ED_TARGET_OK)
        return -1;
    // The last handle goes now, and with it the directory.
    target->handle.reset();
    target->chain.held.clear();
    return 0;
}

void ed_target_close(ed_target *target) { delete target; }

ed_target_status ed_remove_file_beneath(ed_pinned_root *root, const char *relative,
                                        const ed_file_id *examined) {
    if (root == nullptr || relative == nullptr || *relative == '\0' || examined == nullptr)
        return ED_TARGET_FAILED;
    chain_beneath chain;
    if (!reach_parent(root, relative, &chain))
        return ED_TARGET_FAILED;
    // One handle for the tests and the removal. It shares neither write nor
    // delete, so no writer can open the file between the size test and the
    // delete and nobody can rename it out of the tree meanwhile; opening
    // fails while someone has it open for writing or with delete access.
    unique_hfile file = open_beneath(chain.parent(held_root(root)), chain.leaf,
                                     DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
    if (!file)
        return ED_TARGET_FAILED;
    ed_stat st;
    const ed_target_status status = judge_opened(file.get(), examined, false, &st);
    if (status != ED_TARGET_OK)
        return status;
    if (!final_path_is(file.get(), root, wide_of(relative), std::wstring::npos))
        return ED_TARGET_FAILED;
    if (st.st_size != 0)
        return ED_TARGET_NOT_EMPTY;
    // A read-only file is refused here by the platform.
    return delete_if_unchanged(file.get(), false);
}

// Every path is judged by the host's text here: each object is reached
// beneath its pinned root through handles that hold the chain that leads to
// it, which the checks by the host's text already do.
ed_removal_session *ed_removal_session_open() { return nullptr; }

void ed_removal_session_close(ed_removal_session *) {}

void ed_removal_session_settle(ed_removal_session *) {}

ed_target *ed_target_reach(ed_removal_session *, const char *, const ed_file_id *, const char *,
                           bool, bool *root_reached) {
    *root_reached = false;
    return nullptr;
}

int ed_target_remove_file(ed_target *) { return -1; }

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

namespace {

// An environment variable as the process block holds it (the CRT's narrow
// copy would be in the ANSI code page); empty when unset or empty.
std::wstring environment_value(const wchar_t *name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed <= 1)
        return {};
    std::wstring value(needed, L'\0');
    const DWORD units = GetEnvironmentVariableW(name, value.data(), needed);
    if (units == 0 || units >= needed)
        return {};
    value.resize(units);
    return value;
}

} // namespace

char *ed_user_home_text() {
    std::wstring home = environment_value(L"HOME");
    if (home.empty())
        home = environment_value(L"USERPROFILE");
    return home.empty() ? nullptr : utf8_of(home, SIZE_MAX);
}

char *ed_system_directory_canonical() {
    // The Windows directory where this system has it (on D:, or in a folder
    // of another name), shared by every user: GetWindowsDirectoryW may give
    // a user's private copy under Remote Desktop Services. "C:/Windows" only
    // when the system cannot say; its literal spellings are protected
    // anyway.
    std::wstring directory(MAX_PATH + 1, L'\0');
    const UINT units =
        GetSystemWindowsDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    std::string text = "C:/Windows";
    if (units > 0 && units < directory.size()) {
        directory.resize(units);
        ed_heap_text utf8(utf8_of(directory, ED_MAX_CANONICAL_BYTES));
        if (utf8)
            text = utf8.get();
    }
    char *canonical = nullptr;
    // Only the directory itself: an ancestor would protect a wider tree
    // under the wrong name.
    return ed_final_path(text.c_str(), &canonical) == ED_FINAL_RESOLVED ? canonical : nullptr;
}

void ed_set_test_hook(ed_test_hook hook, void *context) {
    t_test_hook = hook;
    t_test_context = context;
}

namespace {

// RtlSetThreadPlaceholderCompatibilityMode, where ntdll has it (Windows 10
// 1709 and later); null elsewhere, where no placeholder is ever disguised.
using set_placeholder_mode_fn = CHAR(NTAPI *)(CHAR mode);
constexpr CHAR kExposePlaceholders = 2; // PHCM_EXPOSE_PLACEHOLDERS

set_placeholder_mode_fn set_placeholder_mode() {
    static const set_placeholder_mode_fn set = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        FARPROC found = ntdll != nullptr
                            ? GetProcAddress(ntdll, "RtlSetThreadPlaceholderCompatibilityMode")
                            : nullptr;
        return reinterpret_cast<set_placeholder_mode_fn>(reinterpret_cast<void (*)()>(found));
    }();
    return set;
}

} // namespace

// A process may be set to see placeholders disguised as plain files and
// directories; for the length of a call this thread sees them as they are,
// so that the attributes above tell them apart.
ed_platform_call_scope::ed_platform_call_scope() noexcept {
    if (const set_placeholder_mode_fn set = set_placeholder_mode())
        previous_ = set(kExposePlaceholders); // negative: an error, nothing changed
}

ed_platform_call_scope::~ed_platform_call_scope() {
    if (previous_ >= 0)
        if (const set_placeholder_mode_fn set = set_placeholder_mode())
            set(static_cast<CHAR>(previous_));
}
