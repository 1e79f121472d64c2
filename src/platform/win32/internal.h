// Win32 backend of the file-system adapter: the private header that its
// files (names, status, resolve, listing, removal, environment) share.
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
//               | the object; a listed nonzero size means data. On   |           | server request;
//               | every volume the zero is confirmed by              |           | an open, a query
//               | GetFileAttributesExW on the entry's full "\\?\"    |           | and a close cost
//               | path, made of the root's canonical text and listed |           | three
//               | names: the object's own attributes and size        |           |
//               | without a handle, a symbolic link's own. A reparse |           |
//               | point, or another kind than the listing showed, is |           |
//               | content that cannot be examined. The size is the   |           |
//               | unnamed stream's, the size Windows reports for a   |           |
//               | file; named streams show only on a handle, and     |           |
//               | removal, which holds one, refuses a file that has  |           |
//               | any (see "Streams"). The path is read by text, so  |           |
//               | a directory above swapped meanwhile can make it    |           |
//               | reach another object: it only confirms a zero that |           |
//               | was listed, and removal tests the size again on    |           |
//               | the handle it deletes through. A stream that does  |           |
//               | not know its path, or a query that fails, opens    |           |
//               | the entry instead and compares it as under "Listed |           |
//               | is opened".                                        |           |
//               |                                                    |           |
// Not by name   | GetFileInformationByName (FileStatByNameInfo,      | 37 38 40  | not in Wine 8
// queries       | FileStatBasicByNameInfo) gives an id, the size,    | 41 42 43  |
//               | the attributes and a reparse tag without a handle, |           |
//               | but its pages leave out what this needs.           |           |
//               | FILE_STAT_INFORMATION and                          |           |
//               | FILE_STAT_BASIC_INFORMATION call FileId "the id of |           |
//               | a file" and FileId128 a 16-byte reference number;  |           |
//               | neither page says that one is the 8-byte number a  |           |
//               | listing gives (the page of                         |           |
//               | FILE_INTERNAL_INFORMATION says so of its           |           |
//               | IndexNumber). Nor does any of the pages (nor       |           |
//               | NtQueryInformationByName's) say whether a reparse  |           |
//               | point at the final component is followed or        |           |
//               | described, and no flag chooses, as                 |           |
//               | FILE_FLAG_OPEN_REPARSE_POINT does for an open. So  |           |
//               | it is not used; GetFileAttributesExW is, whose     |           |
//               | page says a link's own attributes are returned.    |           |
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
//               | needs no access; it lists the unnamed stream as    |           | STATUS_NOT_IMPLEMENTED
//               | "::$DATA" or with an empty name and a named one as |           | and no
//               | ":name:$DATA"; a directory without named streams   |           | FILE_NAMED_STREAMS:
//               | lists none. A file system that cannot list them    |           | every object
//               | answers STATUS_INVALID_PARAMETER or                |           | counts as
//               | STATUS_NOT_IMPLEMENTED: it has none only if the    |           | without streams
//               | volume lacks FILE_NAMED_STREAMS. A named stream is |           |
//               | data, whatever it holds: removal refuses a file    |           |
//               | with one as not zero bytes (a scan lists by the    |           |
//               | unnamed stream's size, see "Listed size"), and a   |           |
//               | directory with one is not empty (its stream hands  |           |
//               | out one unnameable entry).                         |           |
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
// [40] https://learn.microsoft.com/en-us/windows/win32/api/winbase/nf-winbase-getfileinformationbyname
// [41] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-_file_stat_information
// [42] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/ns-ntifs-file_stat_basic_information
// [43] https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/ntifs/nf-ntifs-ntqueryinformationbyname
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
#ifndef ED_PLATFORM_WIN32_INTERNAL_H
#define ED_PLATFORM_WIN32_INTERNAL_H

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

#include "platform/ed_platform.h"

namespace ed_win32 {

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
// FILE_INFO_BY_HANDLE_CLASS value of FileDispositionInfoEx (the headers
// declare it only for newer targets than ours).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

inline bool is_link_like(DWORD attributes) { return (attributes & kLinkAttributes) != 0; }

// NtOpenFile, found in ntdll (always loaded in a Win32 process) once.
using nt_open_file_fn = decltype(&::NtOpenFile);

// NtQueryInformationFile, found in ntdll once, as NtOpenFile is.
using nt_query_information_file_fn = decltype(&::NtQueryInformationFile);

// What a walk knows of its volume's named streams: every directory it
// opens is on the root's volume, since a volume mounted in a folder is a
// reparse point and never entered, so the volume is asked once per walk.
enum class volume_streams : signed char { not_asked = -1, none = 0, kept = 1 };

// What a file's size is: the size Windows reports for it and a directory
// lists, its unnamed stream's (what a scan lists by), or that with every
// named stream counted as data (what removal refuses by).
enum class file_size { unnamed_stream, with_named_streams };

enum class streams_verdict {
    plain,     // no named stream, and the unnamed stream (if listed) is empty
    with_data, // a named stream, or data in the unnamed one: content
    unknown,   // could not be told: taken as content by every caller
};

// Every CreateFileW of a host's text asks for identification only, so that
// a pipe reached all the same (through a link, say) cannot act as the caller.
constexpr DWORD kHostOpenFlags =
    FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// names.cpp: UTF-8 and UTF-16 texts, device names and the paths Win32 refuses.
bool is_ascii_letter(unsigned c);
bool win32_alters_name(const wchar_t *name, size_t units);
std::wstring wide_of(const char *text, size_t bytes);
std::wstring wide_of(const char *text);
char *utf8_of(std::wstring_view wide, size_t limit);
size_t stream_part_start(const char *path);
bool names_stream(const char *path);
bool names_device_namespace(std::wstring_view path);
bool host_path_refused(std::wstring_view path);

// status.cpp: handles opened beneath a directory, their streams, status and identity.
unique_hfile open_beneath(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share,
                          ULONG options);
bool component_of(const char *name, std::wstring &out);
DWORD attributes_of(HANDLE handle);
bool is_plain_directory(DWORD attributes);
nt_query_information_file_fn nt_query_information_file();
streams_verdict streams_of(HANDLE handle, volume_streams *known = nullptr);
bool stat_of_handle(HANDLE handle, ed_stat *st, DWORD extra_attributes = 0,
                    file_size sizes = file_size::with_named_streams);
bool identity_of(HANDLE handle, ed_file_id *id);

// removal.cpp: the test hook of the calling thread, called at the given moment.
unsigned long at_test_moment(ed_test_moment moment);

// resolve.cpp: host paths opened, canonical forms and registered roots.
unique_hfile open_host_path(const char *path, DWORD access, DWORD flags, bool *named_link = nullptr,
                            bool *other_kind = nullptr);
ed_final_path_status canonical_of_handle(HANDLE handle, char **out);
std::wstring extended_form(const char *canonical);
unique_hfile open_registered_root(const char *canonical, const ed_file_id *id, ACCESS_MASK access,
                                  DWORD share);

} // namespace ed_win32

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
    bool owns_handle;   // false for the re-check stream on a target's own handle
    bool named_streams; // the directory holds data streams: handed out first, as one
                        // unnameable entry
    ed_win32::volume_streams
        volume; // what the walk learned of its volume, handed to the streams below
    stream_state state;
    ed_unnameable_cause unnameable; // why the latest unnameable entry was handed out
    size_t held;                    // offset in `batch` of the entry to hand out next
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

namespace ed_win32 {

// What a listing reads of each entry: attributes, size, name and the file
// reference number, which the object opened by that name must carry (see
// "Listing" at the head of this header).
using listed_entry = FILE_ID_BOTH_DIR_INFO;

// listing.cpp: streams over directory handles and what they listed.
ed_dir *stream_on(HANDLE handle, bool owns, volume_streams known = volume_streams::not_asked,
                  std::wstring_view path = {});
ed_dir *stream_from(unique_hfile &directory, volume_streams known = volume_streams::not_asked,
                    std::wstring_view path = {});
uint64_t name_hash(const char *name);
bool listed_as(ed_dir *dir, const char *name, listed_record *out);
bool is_listed_object(ed_dir *dir, const char *name, HANDLE object, listed_record *listed);
std::wstring entry_path(const ed_dir *dir, const std::wstring &component);

} // namespace ed_win32

struct ed_pinned_root {
    std::string canonical;
    ed_file_id id;
    ed_win32::unique_hfile handle; // empty while a removal of the root itself holds it
};

#endif
