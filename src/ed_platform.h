// The file-system adapter: the only unit that talks to the operating system.
//
// Everything above it sees POSIX-style operations on UTF-8 paths: a status
// query that never follows a link, a directory stream that hands out names,
// a canonical-path query, the probe of a scan root, and the two removals.
// One backend per platform implements the primitives declared here; the
// canonical path's ancestor fallback is shared (ed_platform_common.cpp).
//
// Ownership: every text returned here is a new malloc block that the caller
// frees with free(); a stream returned by ed_opendir() is released with
// ed_closedir(). Nothing here sets the error message; callers choose it.
#ifndef ED_PLATFORM_H
#define ED_PLATFORM_H

#include <cstdint>

// Kind bits of ed_stat::st_mode (mask ED_S_IFMT).
constexpr uint16_t ED_S_IFMT = 0xF000;
constexpr uint16_t ED_S_IFLNK = 0xA000; // symbolic link or any other reparse point
constexpr uint16_t ED_S_IFDIR = 0x4000;
constexpr uint16_t ED_S_IFREG = 0x8000;
// POSIX only: FIFOs (0x1000), character devices (0x2000), block devices
// (0x6000) and sockets (0xC000) keep their own kind, which every caller
// treats as "some other kind" and never opens.

// Whether '\\' separates path components on this platform, as it does on
// Windows. On POSIX it is an ordinary byte of a name.
#if defined(_WIN32)
inline constexpr bool ed_backslash_separates = true;
#else
inline constexpr bool ed_backslash_separates = false;
#endif

struct ed_stat {
    uint16_t st_mode; // kind bits only
    int64_t st_size;  // size of a regular file; 0 for every other kind
};

// Status of the object at `path` itself, never following a link.
// 0 and a filled record, or -1 with the record untouched (empty path,
// missing object, unreadable status).
int ed_fill_stat(const char *path, ed_stat *st);

// A directory stream. Opaque: each backend defines its record.
struct ed_dir;

// A new stream on the directory `path`, holding its first entry; null when
// the path is empty, too long, not a directory or cannot be enumerated.
ed_dir *ed_opendir(const char *path);

// The next entry name other than "." and "..", as terminated UTF-8 in the
// stream's own buffer, valid until the next read or the close; null when no
// entry is left. A name that cannot be handed out as UTF-8 within the buffer
// comes out as ed_unnameable_entry (see below).
const char *ed_readdir(ed_dir *dir);

// What a stream may know of an entry's kind without a status query.
enum ed_entry_hint {
    ED_HINT_UNKNOWN, // ask ed_fill_stat_at()
    ED_HINT_DIR,
    ED_HINT_REG, // regular file of unknown size
    ED_HINT_LNK,
    ED_HINT_OTHER, // FIFO, socket or device
};

// ed_readdir(), and the entry's kind where the stream knows it for free
// (POSIX directory entries carry it; the Win32 stream never says).
const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint);

// The walks go down the tree relative to the stream of the directory that
// holds an entry, so no path is resolved again from the root and no link in
// it is followed. `name` is the entry's name in `dir`; `path` is the same
// entry's joined path, for a backend that works by path.

// Like ed_fill_stat() on the entry `name` of `dir`.
int ed_fill_stat_at(ed_dir *dir, const char *name, const char *path, ed_stat *st);

// Like ed_opendir() on the entry `name` of `dir`; never follows a link.
ed_dir *ed_opendir_at(ed_dir *dir, const char *name, const char *path);

// 1 while the stream holds an entry not yet handed out, else 0 (also for null).
int ed_dir_has_next(const ed_dir *dir);

// Ends the stream in any state and releases it. Null is ignored.
void ed_closedir(ed_dir *dir);

// Handed out for an entry whose name the stream cannot give as UTF-8 (too
// long for the name buffer, or not valid UTF-8 on POSIX). It is longer than
// any joinable path, so every caller treats the entry as content it cannot
// examine, and a directory holding such an entry is never empty.
extern const char *const ed_unnameable_entry;

// The canonical path of `path`: the object's final path with every link
// resolved, '/' as the only separator, no trailing '/' except on a root
// ("/" or "C:/"). For a path the platform cannot resolve, the canonical path
// of its nearest resolvable ancestor by text (missing components dropped).
// Null for an empty path, or when no ancestor resolves.
char *ed_realpath_win(const char *path);

// The name under which the scan call and the registry reach ed_realpath_win.
char *ed_realpath_dup(const char *path);

// What a scan root is, learned without following it.
enum ed_root_kind {
    ED_ROOT_UNREACHABLE, // cannot be converted, queried or opened
    ED_ROOT_LINK,        // symbolic link, junction or other reparse point
    ED_ROOT_DIRECTORY,
    ED_ROOT_OTHER, // exists, but is a file or another non-directory
};
ed_root_kind ed_probe_root(const char *path);

// Removal reaches its object again from the registered root that contains
// it, never through a link, and acts on what it opened: a name swapped for a
// link between the checks and the removal cannot lead outside the root.
//   root    the registered root, canonical
//   object  the object's canonical path, at or below `root`
//   path    the path as the host passed it (the Win32 backend opens this
//           and then checks that the object it holds is `object`)

// What removal found on the object it opened.
enum ed_target_status {
    ED_TARGET_OK,
    ED_TARGET_LINK,       // a link or other reparse point
    ED_TARGET_WRONG_KIND, // not a directory / not a regular file
    ED_TARGET_NOT_EMPTY,  // a file with data (directories: see below)
    ED_TARGET_FAILED,     // missing, replaced, unreachable beneath the root, refused
};

// An opened directory about to be removed. Opaque, per backend.
struct ed_target;

// Opens the directory `object` beneath `root`. Null with the reason in
// `status` when it is not a directory that can be opened there.
ed_target *ed_target_open_dir(const char *root, const char *object, const char *path,
                              ed_target_status *status);

// A stream over the opened directory's entries, for the re-check of
// emptiness on the very directory that is then removed; ed_closedir() it.
ed_dir *ed_target_opendir(ed_target *target);

// Removes the opened directory if its name still holds it and the platform
// finds it empty. 0 removed, -1 otherwise.
int ed_target_remove_dir(ed_target *target);

// Releases the target (null is ignored).
void ed_target_close(ed_target *target);

// Removes the file `object` beneath `root` if, on the object opened, it is a
// zero-byte regular file and not a link. The size test and the removal hold
// on one and the same object. ED_TARGET_OK when removed.
ed_target_status ed_remove_file_beneath(const char *root, const char *object, const char *path);

// Backend primitive behind ed_realpath_win: the canonical form of `path`
// itself, without the ancestor fallback.
enum ed_final_path_status {
    ED_FINAL_RESOLVED,
    ED_FINAL_UNRESOLVED, // the object cannot be opened or named: try an ancestor
    ED_FINAL_INVALID,    // the text itself is unusable (empty, unconvertible)
};
ed_final_path_status ed_final_path(const char *path, char **out);

#if defined(_WIN32)
// A new UTF-16 form of `text` (free() it) in *out: 0, or -1 with *out untouched.
int ed_wide_from_utf8(const char *text, wchar_t **out);
#endif

#endif
