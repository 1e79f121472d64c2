// The file-system adapter: the only unit that talks to the operating system.
//
// Everything above it sees POSIX-style operations on UTF-8 paths: a status
// query that never follows a link, a directory stream that hands out names,
// a canonical-path query, the inspection of a scan root, and the two
// removals. One backend per platform implements the primitives declared
// here; logic that is the same on every platform lives in
// platform/common.cpp.
//
// Ownership: every text returned here is a new malloc block that the caller
// frees with free(); a stream returned by an ed_opendir*() call is released
// with ed_closedir(), a pinned root with ed_unpin_root(), a target with
// ed_target_close(). Nothing here sets the error message; callers choose it.
//
// Running out of memory: where an operation cannot tell a host "no" from
// "could not look", it throws std::bad_alloc instead of answering, so that
// the call reports "out of memory" rather than a refusal or an ancestor's
// answer. The exports catch it. Likewise, where removal cannot open what it
// must check or act through because no descriptor is left, it throws
// ed_out_of_descriptors, and the entry is refused with "too many open files";
// the scan's walk throws it too (see ed_walk_opendir_at).
#ifndef ED_PLATFORM_PLATFORM_H
#define ED_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Thrown where the process or the system has no descriptor or handle left to
// give: a fact about the process, never about the directory, so it must not
// be taken for content that keeps a directory from counting as empty, nor for
// a refusal of a path. Out of memory throws std::bad_alloc for the same
// reason.
struct ed_out_of_descriptors {};

// Kind bits of ed_stat::st_mode (mask ED_S_IFMT).
constexpr uint16_t ED_S_IFMT = 0xF000;
constexpr uint16_t ED_S_IFLNK = 0xA000; // symbolic link or any other reparse point
constexpr uint16_t ED_S_IFDIR = 0x4000;
constexpr uint16_t ED_S_IFREG = 0x8000;
// Every other value is "some other kind", which every caller refuses and
// never opens: FIFOs (0x1000), character devices (0x2000), block devices
// (0x6000) and sockets (0xC000) on POSIX; on Windows a named stream of a
// file ("f.txt:s") has the kind 0.

// Whether '\\' separates path components on this platform, as it does on
// Windows. On POSIX it is an ordinary byte of a name.
#if defined(_WIN32)
inline constexpr bool ed_backslash_separates = true;
#else
inline constexpr bool ed_backslash_separates = false;
#endif

// The longest path, in bytes of its UTF-8 text, that the walks examine and
// the registry judges: MAX_PATH less its terminator on Windows (the library
// never uses the long-path prefix for a host's text), the system's own limit
// for a path (PATH_MAX less its terminator) on Linux. An entry whose path
// would be longer is content that is never examined.
#if defined(_WIN32)
inline constexpr size_t ED_PATH_LIMIT = 259;
#else
inline constexpr size_t ED_PATH_LIMIT = 4095;
#endif

// The longest canonical path handed out, in bytes without its terminator:
// a longer final path counts as one that cannot be named.
inline constexpr size_t ED_MAX_CANONICAL_BYTES = 8190;

// A stream's buffer for one entry name, terminator included.
inline constexpr size_t ED_NAME_BUFFER_BYTES = 512;

struct ed_stat {
    uint16_t st_mode; // kind bits only
    int64_t st_size;  // size of a regular file; 0 for every other kind
};

// What tells one file-system object from every other for as long as it
// exists: device and inode on Linux, with what tells two lives of one inode
// number apart (the birth time and the file handle, which carries the
// inode's generation, where the file system gives them) in index_high;
// volume serial number and file index on Windows.
struct ed_file_id {
    uint64_t volume;
    uint64_t index_high;
    uint64_t index_low;
};

inline bool ed_same_file(const ed_file_id &a, const ed_file_id &b) {
    return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

// Status of the object at `path` itself, never following a link.
// 0 and a filled record, or -1 with the record untouched (empty path,
// missing object, unreadable status).
int ed_fill_stat(const char *path, ed_stat *st);

// ed_fill_stat() that also gives the object's identity, from the same query.
int ed_fill_stat_id(const char *path, ed_stat *st, ed_file_id *id);

// The identity of the object `path` reaches, links on the way and at its end
// followed. 0, or -1 when it cannot be had.
int ed_identify(const char *path, ed_file_id *id);

// A directory stream. Opaque: each backend defines its record.
struct ed_dir;

// A new stream on the directory `path`, holding its first entry; null when
// the path is empty, too long, not a directory or cannot be enumerated.
ed_dir *ed_opendir(const char *path);

// A stream on the registered root `canonical`, reached without following a
// link anywhere on its canonical path, and only while it is still the
// object `id` that was registered; null otherwise. On Linux it throws
// ed_out_of_descriptors (declared above) when no descriptor is left, and
// std::bad_alloc when the kernel is short of memory.
ed_dir *ed_opendir_root(const char *canonical, const ed_file_id *id);

// The next entry name other than "." and "..", as terminated UTF-8 in the
// stream's own buffer, valid until the next read or the close; null when no
// entry is left. A name that cannot be handed out faithfully comes out as
// ed_unnameable_entry (see below).
const char *ed_readdir(ed_dir *dir);

// "." or "..": the entries a directory lists for itself and for the
// directory above it, which name nothing it holds.
inline bool ed_is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// What a stream may know of an entry's kind without a status query.
enum ed_entry_hint {
    ED_HINT_UNKNOWN, // ask ed_fill_stat_at()
    ED_HINT_DIR,
    ED_HINT_REG,      // regular file whose size the stream does not vouch for
    ED_HINT_REG_DATA, // regular file that holds data: no query needed to know it
    ED_HINT_LNK,
    ED_HINT_OTHER, // FIFO, socket, device or any other kind
};

// ed_readdir(), and the entry's kind where the stream knows it for free
// (POSIX directory entries carry the type, Win32 directory listings the
// attributes and the size).
const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint);

// The walks go down the tree relative to the stream of the directory that
// holds an entry, so no path is resolved again from the root and no link in
// it is followed. `name` is an entry name `dir` handed out: the Windows
// backend checks that the object a name reaches is the one the listing
// showed under it, and refuses a name the stream has not handed out.

// Like ed_fill_stat() on the entry `name` of `dir`, except that on Windows a
// file's size is the one Windows reports for it, its unnamed stream's, where
// ed_fill_stat() counts a named stream as data too (removal refuses by that).
int ed_fill_stat_at(ed_dir *dir, const char *name, ed_stat *st);

// Like ed_opendir() on the entry `name` of `dir`; never follows a link.
ed_dir *ed_opendir_at(ed_dir *dir, const char *name);

// The walk's opens (ed_walk_opendir_at, ed_dir_resume, ed_opendir_root)
// throw ed_out_of_descriptors when no descriptor is left.

// ed_opendir_at() for the scan's walk: null only for what the directory is
// (gone, not a directory, a link, a mount point, no permission); throws
// ed_out_of_descriptors or std::bad_alloc as above.
ed_dir *ed_walk_opendir_at(ed_dir *dir, const char *name);

// Where a walk left a stream that it closed so that it holds no descriptor
// for each level of a deep tree: which directory it was, and where in its
// listing the stream stood. The fields are the backend's.
struct ed_dir_mark {
    ed_file_id id;
    uint64_t position; // where the listing goes on
    uint64_t check;    // what the entry found there must match
    bool at_end;       // the stream had handed out every entry
    bool valid;        // false: the directory cannot be taken up again
};

// Notes in *mark where `dir` stands, so that a walk may close the stream
// and take the directory up again there later.
void ed_dir_note(const ed_dir *dir, ed_dir_mark *mark);

// Opens the directory of `mark` again and goes on where its stream stood:
// reached as the parent of the directory `child` is open on (null: none),
// or else as `relative` ('/'-separated) beneath `anchor` without a link,
// and only if it is that very directory, on `anchor`'s file system. When the
// listing cannot be taken up where it stood (the directory changed
// meanwhile), the stream hands out one unnameable entry and ends. Null when
// the directory cannot be reached; throws as ed_walk_opendir_at() does.
ed_dir *ed_dir_resume(const ed_dir_mark *mark, ed_dir *child, ed_dir *anchor, const char *relative);

// Whether this backend takes suspended streams up again. Where it does not
// (Windows), ED_PATH_LIMIT keeps a tree to about 130 levels and a walk holds
// every level of its path open; ed_dir_note() then marks nothing that
// ed_dir_resume() could take up.
#if defined(_WIN32)
inline constexpr bool ed_walk_resumes = false;
#else
inline constexpr bool ed_walk_resumes = true;
#endif

// A moment in nanoseconds since 1970-01-01 00:00 UTC, on the clock the file
// system stamps modification times with; saturated to the int64_t range.
using ed_time = int64_t;

// The system clock now.
ed_time ed_clock_now();

// The last modification time of the entry `name` of `dir`, never following
// a link, or with `name` null of the directory the stream is open on. 0, or
// -1 with *modified untouched when it cannot be read.
int ed_modified_at(ed_dir *dir, const char *name, ed_time *modified);

// 1 while the stream holds an entry not yet handed out, else 0 (also for null).
int ed_dir_has_next(const ed_dir *dir);

// Ends the stream in any state and releases it. Null is ignored.
void ed_closedir(ed_dir *dir);

// Handed out for an entry whose name the stream cannot give as UTF-8 (too
// long for the name buffer, not valid UTF-8 or UTF-16, or on Windows a name
// that Win32 path handling would turn into another name, such as "f." or
// "NUL"). Every caller treats such an entry as content it cannot examine
// (ed_is_unnameable_entry), so a directory holding one is never empty.
extern const char *const ed_unnameable_entry;

// 1 when a stream handed out `name` for an entry it could not name.
int ed_is_unnameable_entry(const char *name);

// Why the stream's latest unnameable entry stands where it does.
enum ed_unnameable_cause {
    ED_UNNAMEABLE_NAME,    // an entry whose name cannot be handed out
    ED_UNNAMEABLE_LISTING, // the listing broke off, or could not be taken up again
    ED_UNNAMEABLE_OTHER,   // content of the directory itself (Windows: its data streams)
};
ed_unnameable_cause ed_dir_unnameable_cause(const ed_dir *dir);

// Writes the `length` bytes of `line` to the descriptor (on Windows the
// handle) `target` when that takes no wait on its reader. 1 written; 0 not
// written, the reader not ready for it (a later line may go); -1 the target
// takes no lines (closed, not open for writing, a reader gone, or on Windows
// a kind that could make the writer wait): write no more. Raises no signal.
int ed_progress_write(int64_t target, const char *line, size_t length);

// The canonical path of `path`: the object's final path with every link
// resolved, '/' as the only separator, no trailing '/' except on a root
// ("/" or "C:/"). For a path whose object does not exist, the canonical path
// of its nearest resolvable ancestor by text (missing components dropped).
// Null for an empty path, for an object that exists but cannot be named, or
// when no ancestor resolves.
char *ed_canonical_path(const char *path);

// Backend primitive behind ed_canonical_path: the canonical form of `path`
// itself, without the ancestor fallback.
enum ed_final_path_status {
    ED_FINAL_RESOLVED,
    ED_FINAL_MISSING,    // the object does not exist: an ancestor may stand in
    ED_FINAL_UNNAMEABLE, // it may exist but has no canonical form: nothing stands in
};
ed_final_path_status ed_final_path(const char *path, char **out);

// What a scan root is, learned from one opened object without following it.
enum ed_root_kind {
    ED_ROOT_UNREACHABLE,      // cannot be converted, queried or opened
    ED_ROOT_LINK,             // symbolic link, junction or other reparse point
    ED_ROOT_DIRECTORY,        // *canonical and *id are filled
    ED_ROOT_OTHER,            // exists, but is a file or another non-directory
    ED_ROOT_UNNAMEABLE,       // a directory without a canonical form
    ED_ROOT_DEVICE_NAMESPACE, // Windows: a "\\.\", "\??\" or other "\\?\" form than a
                              // drive or UNC path, never opened as a root, whatever it names
};
ed_root_kind ed_inspect_root(const char *path, char **canonical, ed_file_id *id);

// A registered root held open, so that removal works beneath the very
// directory that was scanned whatever happens to the names above it.
struct ed_pinned_root;

// Reaches `canonical` without following a link anywhere on it and holds it,
// if it is still the object `id`; null otherwise (moved, replaced, gone).
ed_pinned_root *ed_pin_root(const char *canonical, const ed_file_id *id);
void ed_unpin_root(ed_pinned_root *root); // null is ignored

// Removal reaches its object again from the pinned root, one component of
// `relative` (the object's canonical path below the root, '/'-separated;
// empty for the root itself) at a time, never through a link, and acts only
// on the object `examined`: the identity the path checks saw.

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

// Opens the directory `relative` beneath `root`. Null with the reason in
// `status` when it is not the directory `examined` or cannot be opened there.
ed_target *ed_target_open_dir(ed_pinned_root *root, const char *relative,
                              const ed_file_id *examined, ed_target_status *status);

// A stream over the opened directory's entries, read through the target's
// own descriptor or handle, for the re-check of emptiness on the very
// directory that is then removed. Once per target; it must be closed
// (ed_closedir) before ed_target_remove_dir().
ed_dir *ed_target_opendir(ed_target *target);

// Removes the opened directory if it is still the one opened and the
// platform finds it empty. 0 removed, -1 otherwise.
int ed_target_remove_dir(ed_target *target);

// Releases the target (null is ignored).
void ed_target_close(ed_target *target);

// Removes the file `relative` beneath `root` if, on the object opened, it is
// the object `examined`, a regular file, not a link, and holds no data. The
// size test and the removal hold on one and the same object. ED_TARGET_OK
// when removed.
ed_target_status ed_remove_file_beneath(ed_pinned_root *root, const char *relative,
                                        const ed_file_id *examined);

// A delete call's way to the objects it is given by their canonical paths,
// where the platform has one: an object whose canonical path is the host's
// own text is then reached along that text once, instead of resolving the
// text, pinning its root and reaching the object beneath it as separate
// steps. What the session keeps from one entry to the next is only where
// every walk starts; roots and the directories beneath them are walked
// again for each entry. Null where the platform has no such way (or cannot
// start one); every path is then judged by the host's text.
struct ed_removal_session;
ed_removal_session *ed_removal_session_open();
void ed_removal_session_close(ed_removal_session *session); // null is ignored

// Returns once the descriptors of the directories the session removed are
// all closed, where it closes them on a thread of its own: before a path is
// judged by the host's text, whose checks open descriptors of their own.
// Null is ignored.
void ed_removal_session_settle(ed_removal_session *session);

// The object whose canonical path is `root` (a registered root) + '/' +
// `relative` (not empty), reached along exactly that text without following
// a link: the root re-reached from the top and identity-checked against
// `root_id`, which sets *root_reached, then the directory that holds the
// object beneath it on the root's file system, then the object, which must
// be a directory (`directory`) or a regular file without data, on the
// root's file system and not a link. A directory is opened, and must be the
// object examined by its name. Null when any step fails, and nothing has
// been changed; the path is then judged by the host's text, which gives the
// refusal its message.
ed_target *ed_target_reach(ed_removal_session *session, const char *root, const ed_file_id *root_id,
                           const char *relative, bool directory, bool *root_reached);

// Removes the file of a target that ed_target_reach() reached as a file, if
// it is still the object examined, a regular file and without data. 0
// removed, -1 otherwise.
int ed_target_remove_file(ed_target *target);

// 1 when the two names (not paths) name the same entry of one directory by
// the platform's rules: byte-exact on POSIX, case-insensitive on Windows.
int ed_names_equal(const char *a, size_t a_length, const char *b, size_t b_length);

// The user's home directory as the environment names it: HOME where it is
// set and not empty; on Windows, USERPROFILE when HOME is not. A new UTF-8
// text, or null when there is none.
char *ed_user_home_text();

// The canonical path of the platform's system directory that is protected
// in any spelling (the Windows directory where the system says it is, "C:/Windows"
// when it cannot say), as a new text; null where there is none (POSIX) or it
// cannot be resolved.
char *ed_system_directory_canonical();

#if !defined(_WIN32)
// For tests of the Linux backend: make resolution beneath a root take the
// component-by-component way even where the kernel offers openat2; whether
// the kernel's way is built in; and whether this thread's latest resolution
// beneath a root was the kernel's.
void ed_force_stepwise_resolution(bool stepwise);
bool ed_kernel_resolution_compiled();
bool ed_last_resolution_by_kernel();

// For tests of the Linux backend, on the calling thread only: moments at
// which the backend calls a test's hook. At ED_TEST_LISTING_READ_ON a nonzero
// answer is taken as the error of a listing read after a stream's first (the
// read is not made); at the others the answer is ignored.
enum ed_test_moment {
    ED_TEST_ASIDE_NAMED, // an object is about to be moved aside under ed_test_aside_name()
    ED_TEST_LISTING_READ_ON,
};
using ed_test_hook = unsigned long (*)(ed_test_moment moment, void *context);
// Null removes the hook.
void ed_set_test_hook(ed_test_hook hook, void *context);
// The aside name drawn last on this thread while a hook was set.
const char *ed_test_aside_name();
#endif

#if defined(_WIN32)
// A new UTF-16 form of `text` (free() it) in *out: 0, or -1 with *out untouched.
int ed_wide_from_utf8(const char *text, wchar_t **out);

// For tests of the Win32 backend, on the calling thread only: moments at
// which the backend calls a test's hook. At ED_TEST_FIRST_LISTING_READ a
// nonzero answer is taken as the error of the first listing read of a new
// stream (the read is not made); at the others the answer is ignored.
enum ed_test_moment {
    ED_TEST_FIRST_LISTING_READ,
    ED_TEST_DISPOSITION_SET, // an object's delete disposition was just set
};
using ed_test_hook = unsigned long (*)(ed_test_moment moment, void *context);
// Null removes the hook.
void ed_set_test_hook(ed_test_hook hook, void *context);
#endif

// Held for the length of each export call that works on the file system:
// it makes the platform show the calling thread every object as it is on
// disk (on Windows, cloud placeholders as placeholders, which the backend
// treats like links), and puts the thread back as it was when it goes.
// Nothing to do on POSIX.
struct ed_platform_call_scope {
    ed_platform_call_scope() noexcept;
    ~ed_platform_call_scope();
    ed_platform_call_scope(const ed_platform_call_scope &) = delete;
    ed_platform_call_scope &operator=(const ed_platform_call_scope &) = delete;

  private:
    [[maybe_unused]] int previous_ = -1; // the thread's mode before, where there is one
};

// Owners of a heap text (freed with free) and of a directory stream, used by
// the backends and by every unit above them; core/ed_owners.h has the others.
struct ed_free_deleter {
    void operator()(void *block) const noexcept { std::free(block); }
};
using ed_heap_text = std::unique_ptr<char, ed_free_deleter>;

struct ed_dir_closer {
    void operator()(ed_dir *dir) const noexcept { ed_closedir(dir); }
};
using ed_dir_stream = std::unique_ptr<ed_dir, ed_dir_closer>;

#endif
