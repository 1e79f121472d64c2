// Linux backend of the file-system adapter.
//
// Below a root everything works relative to open descriptors: the walk opens
// each directory relative to the one that holds it, and removal reaches its
// object again from the pinned root one component at a time (or all at once
// with openat2 and RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV
// where the kernel has it), never through a link and never onto another
// mounted file system. A directory on which another file system is mounted
// is treated as a link is: never walked, listed or removed.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>) && defined(SYS_openat2)
#include <linux/openat2.h>
#define ED_KERNEL_BENEATH 1
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "core/ed_owners.h"
#include "core/ed_utf8.h"
#include "platform/ed_platform.h"

namespace {

// Owns a file descriptor; -1 is empty.
class unique_fd {
  public:
    explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const noexcept { return fd_ >= 0; }

  private:
    int fd_;
};

// The longest canonical text the library hands out, terminator excluded.

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kPathDirectoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::atomic<bool> g_force_stepwise{false};
thread_local bool g_last_resolution_by_kernel = false;

uint16_t kind_of(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFLNK:
        return ED_S_IFLNK;
    case S_IFDIR:
        return ED_S_IFDIR;
    case S_IFREG:
        return ED_S_IFREG;
    default:
        return static_cast<uint16_t>(mode & S_IFMT);
    }
}

// Which mounted file system an object belongs to. The mount id tells bind
// mounts of one file system apart; kernels that do not report it leave the
// device number to decide.
struct mount_key {
    uint64_t device = 0;
    uint64_t mount_id = 0;
    bool has_mount_id = false;
};

bool same_mount(const mount_key &a, const mount_key &b) {
    if (a.device != b.device)
        return false;
    return !a.has_mount_id || !b.has_mount_id || a.mount_id == b.mount_id;
}

constexpr unsigned kQueryMask = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MNT_ID | STATX_BTIME;

// statx of `name` in `dirfd` (or of `dirfd` itself for ""), never following
// a link. 0, or -1.
int query(int dirfd, const char *name, struct statx *out, unsigned mask = kQueryMask) {
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name == '\0' ? AT_EMPTY_PATH : 0);
    return ::statx(dirfd, name, flags, mask, out);
}

// Seconds and nanoseconds since 1970 as one count of nanoseconds.
ed_time time_of(int64_t seconds, uint32_t nanoseconds) {
    constexpr int64_t kBillion = 1000000000;
    if (seconds >= INT64_MAX / kBillion)
        return INT64_MAX;
    if (seconds <= INT64_MIN / kBillion)
        return INT64_MIN;
    return seconds * kBillion + static_cast<int64_t>(nanoseconds);
}

mount_key mount_of(const struct statx &sx) {
    mount_key key;
    key.device = static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    key.has_mount_id = (sx.stx_mask & STATX_MNT_ID) != 0;
    key.mount_id = key.has_mount_id ? sx.stx_mnt_id : 0;
    return key;
}

// The file system's handle of the object `name` in `dirfd` ("" for dirfd
// itself), folded into `seed`: the handle carries the inode generation, which
// a file system gives each new life of an inode number. `seed` unchanged
// where the file system hands out no handles.
uint64_t with_handle(uint64_t seed, int dirfd, const char *name, bool follow) {
    alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + MAX_HANDLE_SZ];
    auto *handle = reinterpret_cast<struct file_handle *>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount_id;
    const int flags = (*name == '\0' ? AT_EMPTY_PATH : 0) | (follow ? AT_SYMLINK_FOLLOW : 0);
    if (::name_to_handle_at(dirfd, name, handle, &mount_id, flags) != 0)
        return seed;
    // FNV-1a over the seed, the handle's type and its bytes.
    uint64_t digest = 14695981039346656037u;
    const auto fold = [&digest](const unsigned char *bytes, size_t count) {
        for (size_t i = 0; i < count; ++i)
            digest = (digest ^ bytes[i]) * 1099511628211u;
    };
    fold(reinterpret_cast<const unsigned char *>(&seed), sizeof seed);
    fold(reinterpret_cast<const unsigned char *>(&handle->handle_type), sizeof handle->handle_type);
    fold(handle->f_handle, handle->handle_bytes);
    return digest;
}

// Device and inode, and what tells two lives of one inode number apart: an
// inode number freed by a removal can be given to the next directory made,
// and a directory made under a scanned root's name in its place must not
// pass for the root. The birth time tells them apart where the file system
// keeps one, but only to the tick of the clock it is stamped with, and
// ext4 with small inodes keeps none; the file handle's generation tells
// them apart where the file system gives handles (ext4, btrfs, XFS, tmpfs).
// `sx` is the status of the object `name` in `dirfd` ("" for dirfd itself),
// `follow` whether that status followed a link.
// The identity without its handle digest: what a status query alone gives.
// Only half of an identity; id_with_handle() completes it.
ed_file_id status_part_of(const struct statx &sx) {
    const uint64_t born =
        (sx.stx_mask & STATX_BTIME) != 0
            ? static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec
            : 0;
    return ed_file_id{static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)), born,
                      sx.stx_ino};
}

ed_file_id id_with_handle(ed_file_id status_part, int dirfd, const char *name, bool follow) {
    status_part.index_high = with_handle(status_part.index_high, dirfd, name, follow);
    return status_part;
}

ed_file_id id_of(const struct statx &sx, int dirfd, const char *name, bool follow = false) {
    return id_with_handle(status_part_of(sx), dirfd, name, follow);
}

bool identity_of_fd(int fd, ed_file_id *id) {
    struct statx sx;
    if (query(fd, "", &sx) != 0)
        return false;
    *id = id_of(sx, fd, "");
    return true;
}

// The text without trailing "/" and "/." components, which would make the
// kernel resolve a link at the end ("link/" and "link/." name its target):
// the object named is judged as itself. `had_trailing` tells the caller that
// the host asked for a directory. "/" stays "/".
std::string without_trailing_separators(const char *path, bool *had_trailing) {
    size_t length = std::strlen(path);
    *had_trailing = false;
    for (;;) {
        if (length > 1 && path[length - 1] == '/') {
            length -= 1;
        } else if (length > 2 && path[length - 2] == '/' && path[length - 1] == '.') {
            length -= 2;
        } else if (length == 2 && path[0] == '/' && path[1] == '.') {
            length = 1; // "/." is "/"
        } else {
            break;
        }
        *had_trailing = true;
    }
    return std::string(path, length);
}

// Status of the object the host's text names, never following it: "link/"
// is judged as "link".
int status_nofollow(const char *path, struct statx *sx, std::string *text_used = nullptr) {
    bool had_trailing;
    const std::string text = without_trailing_separators(path, &had_trailing);
    if (text_used != nullptr)
        *text_used = text;
    if (::statx(AT_FDCWD, text.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kQueryMask, sx) != 0)
        return -1;
    if (!had_trailing || S_ISLNK(sx->stx_mode) || S_ISDIR(sx->stx_mode))
        return 0;
    errno = ENOTDIR; // a trailing '/' names a directory, and this is none
    return -1;
}

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Removal's opens: a descriptor, or -1. When the process (or the system)
// has no descriptor left, no answer can be had, and none is given: the
// entry is refused for that reason rather than by the check that could
// not look (a root that "moved", a directory that "would not go").
int needed(int fd) {
    if (fd < 0 && (errno == EMFILE || errno == ENFILE))
        throw ed_out_of_descriptors();
    return fd;
}

#if defined(ED_KERNEL_BENEATH)
// The kernel resolves the whole relative path at once and refuses any link,
// any step out of the starting directory and, when asked, any mount
// crossing. -1 with errno ENOSYS (or EPERM, EINVAL, E2BIG) when this kernel
// or its sandbox does not offer it.
int open_beneath_kernel(int base, const char *relative, bool same_mount_only) {
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    if (same_mount_only)
        how.resolve |= RESOLVE_NO_XDEV;
    return static_cast<int>(::syscall(SYS_openat2, base, relative, &how, sizeof how));
}
#endif

// Whether the open directory `fd` is on the mounted file system `mount`,
// by its own status. False with errno EXDEV when it is not, or with the
// query's errno when that fails.
bool is_on(int fd, const mount_key &mount) {
    struct statx sx;
    if (query(fd, "", &sx) != 0)
        return false;
    if (same_mount(mount_of(sx), mount))
        return true;
    errno = EXDEV;
    return false;
}

// One component at a time, each opened without following a link and, when
// `stay_on` is given, each checked to be on that file system. A canonical
// path holds no "." or ".." components, and none is accepted.
int open_beneath_stepwise(int base, std::string_view relative, const mount_key *stay_on) {
    unique_fd current(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    size_t start = 0;
    while (current && start < relative.size()) {
        const size_t end = std::min(relative.find('/', start), relative.size());
        const std::string component(relative.substr(start, end - start));
        if (component.empty() || component == "." || component == "..")
            return -1;
        const int next = ::openat(current.get(), component.c_str(), kPathDirectoryFlags);
        if (next < 0) {
            // Tell a link on the way as the kernel's own resolution does.
            struct statx sx;
            if (errno == ENOTDIR && query(current.get(), component.c_str(), &sx) == 0 &&
                S_ISLNK(sx.stx_mode))
                errno = ELOOP;
            return -1;
        }
        current.reset(next);
        if (stay_on != nullptr && !is_on(current.get(), *stay_on))
            return -1;
        start = end + 1;
    }
    return current.release();
}

// The directory `relative` ('/'-separated, no "." or "..") beneath `base`,
// reached without following a link, as an O_PATH descriptor; -1 otherwise.
// `stay_on`, when given, is base's own file system, which the path must not
// leave.
int open_beneath(int base, const char *relative, const mount_key *stay_on) {
    g_last_resolution_by_kernel = false;
    if (*relative == '\0')
        return ::fcntl(base, F_DUPFD_CLOEXEC, 0);
#if defined(ED_KERNEL_BENEATH)
    if (!g_force_stepwise.load(std::memory_order_relaxed)) {
        unique_fd fd(open_beneath_kernel(base, relative, stay_on != nullptr));
        if (fd || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG)) {
            g_last_resolution_by_kernel = true;
            // RESOLVE_NO_XDEV refuses mount points only, and a btrfs
            // subvolume is another device on the same mount: the directory
            // reached is checked too. No path below a subvolume leads back
            // to its parent's device without a mount, so this one check
            // stands for the whole path.
            if (fd && stay_on != nullptr && !is_on(fd.get(), *stay_on))
                return -1;
            return fd.release();
        }
    }
#endif
    return open_beneath_stepwise(base, relative, stay_on);
}

// The directory at the absolute canonical path `canonical`, reached from "/"
// without following a link anywhere on the way (a canonical path has none,
// so a link there means the tree moved). Mounts on the way are crossed.
int open_canonical(const char *canonical) {
    if (canonical == nullptr || canonical[0] != '/')
        return -1;
    unique_fd top(::open("/", kPathDirectoryFlags));
    if (!top)
        return -1;
    return open_beneath(top.get(), canonical + 1, nullptr);
}

// The final path of the open object `fd`, which the host named `path`: the
// kernel's name for the descriptor, or the resolved text where /proc is not
// mounted; either is accepted only if it leads, without a link, back to the
// very object. Null when the object cannot be named.
ed_heap_text final_path_of(int fd, const char *path, const ed_file_id &opened) {
    ed_heap_text text;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buffer[ED_MAX_CANONICAL_BYTES + 2];
    const ssize_t length = ::readlink(link, buffer, sizeof buffer);
    if (length > 0 && static_cast<size_t>(length) <= ED_MAX_CANONICAL_BYTES && buffer[0] == '/') {
        buffer[length] = '\0';
        text.reset(static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1)));
        if (!text)
            throw std::bad_alloc();
        std::memcpy(text.get(), buffer, static_cast<size_t>(length) + 1);
    } else {
        text.reset(::realpath(path, nullptr));
        if (!text && errno == ENOMEM)
            throw std::bad_alloc();
        if (!text || std::strlen(text.get()) > ED_MAX_CANONICAL_BYTES)
            return nullptr;
    }
    unique_fd again(open_canonical(text.get()));
    ed_file_id reached;
    if (!again || !identity_of_fd(again.get(), &reached) || !ed_same_file(reached, opened))
        return nullptr;
    return text;
}

} // namespace

// A stream reads the directory's entries in batches straight from the kernel
// (getdents64): no status query or flag change per directory on top of the
// open and the one query that tells its mount, as a library directory stream
// would make.
constexpr size_t kEntryBatchBytes = 16384;

struct ed_dir {
    int fd;
    bool owns_fd; // false for a stream over a removal target's own descriptor
    size_t held;  // offset in `batch` of the entry to hand out next
    size_t end;   // bytes of `batch` filled
    int has_next;
    // The listing broke off with this error (0: it did not): the stream
    // then holds one unnameable entry, so that a directory that could not be
    // listed to its end is never taken for empty.
    int broken;
    uint64_t held_position; // where the held entry starts in the listing
    ed_file_id id;          // status_part_of() the directory, where the stream was opened with it
    bool has_id;
    mount_key mount;
    char name[ED_NAME_BUFFER_BYTES];
    alignas(struct dirent64) char batch[kEntryBatchBytes];
};

namespace {

int fill_from(const struct statx &raw, ed_stat *st) {
    st->st_mode = kind_of(raw.stx_mode);
    st->st_size = S_ISREG(raw.stx_mode) ? static_cast<int64_t>(raw.stx_size) : 0;
    return 0;
}

const struct dirent64 *held_entry(const ed_dir *dir) {
    return reinterpret_cast<const struct dirent64 *>(dir->batch + dir->held);
}

// Moves past the held entry, reading the next batch when this one is used
// up. An error leaves the stream broken.
void advance(ed_dir *dir, bool first) {
    if (!first) {
        dir->held_position = static_cast<uint64_t>(held_entry(dir)->d_off);
        dir->held += held_entry(dir)->d_reclen;
    }
    if (!first && dir->held < dir->end)
        return;
    const ssize_t bytes = ::getdents64(dir->fd, dir->batch, sizeof dir->batch);
    const int error = bytes < 0 ? errno : 0;
    dir->held = 0;
    dir->end = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    dir->has_next = bytes != 0 ? 1 : 0;
    dir->broken = error;
}

// A stream over the directory descriptor `fd` on the mounted file system
// `mount`, holding its first entry. It closes the descriptor only if it owns
// it; the caller closes `fd` when the stream cannot be made.
// With `position`, the listing starts there instead of at its beginning.
ed_dir_stream stream_over(int fd, const mount_key &mount, bool owns_fd,
                          const struct statx *status = nullptr, uint64_t position = 0) {
    auto *dir = static_cast<ed_dir *>(std::malloc(sizeof(ed_dir)));
    if (dir == nullptr)
        throw std::bad_alloc();
    dir->fd = fd;
    dir->owns_fd = owns_fd;
    dir->mount = mount;
    dir->name[0] = '\0';
    dir->held_position = position;
    // The handle's part of the identity is asked for only when a walk notes
    // where it left the stream, so a walk that never suspends pays nothing.
    dir->has_id = status != nullptr;
    dir->id = status != nullptr ? status_part_of(*status) : ed_file_id{};
    if (position != 0 && ::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        // Where the listing stood cannot be reached: it is broken there.
        dir->held = dir->end = 0;
        dir->has_next = 1;
        dir->broken = EIO;
    } else {
        advance(dir, true);
    }
    return ed_dir_stream(dir);
}

// Wraps a just-opened directory descriptor (or -1) in a stream holding its
// first entry; the stream takes the descriptor over.
ed_dir_stream stream_from(int opened) {
    unique_fd fd(opened);
    if (!fd)
        return nullptr;
    struct statx sx;
    if (query(fd.get(), "", &sx) != 0)
        return nullptr;
    ed_dir_stream dir = stream_over(fd.get(), mount_of(sx), true);
    fd.release();
    return dir;
}

// Throws what the walk must not take for a fact about a directory: the
// process or the system out of descriptors, or the kernel out of memory.
void throw_if_exhausted(int error) {
    if (error == EMFILE || error == ENFILE)
        throw ed_out_of_descriptors{};
    if (error == ENOMEM)
        throw std::bad_alloc();
}

// stream_from() for the walk: a failure to open or to query that comes from
// the process's resources throws instead. With `left`, only the directory
// it was taken of, on `mount`, will do (null otherwise), and the listing
// starts where it stood.
ed_dir_stream walk_stream_from(int opened, const ed_dir_mark *left = nullptr,
                               const mount_key *mount = nullptr) {
    unique_fd fd(opened);
    if (!fd) {
        throw_if_exhausted(errno);
        return nullptr;
    }
    struct statx sx;
    if (query(fd.get(), "", &sx) != 0) {
        throw_if_exhausted(errno);
        return nullptr;
    }
    if (left != nullptr &&
        (!S_ISDIR(sx.stx_mode) || !ed_same_file(id_of(sx, fd.get(), ""), left->id) ||
         !same_mount(mount_of(sx), *mount)))
        return nullptr;
    ed_dir_stream dir = stream_over(fd.get(), mount_of(sx), true, &sx,
                                    left != nullptr && !left->at_end ? left->position : 0);
    fd.release();
    return dir;
}

// What tells an entry from the others where a suspended listing goes on:
// its inode number and its name.
uint64_t entry_check(const struct dirent64 *entry) {
    return static_cast<uint64_t>(entry->d_ino) ^
           (std::hash<std::string_view>{}(entry->d_name) * 0x9E3779B97F4A7C15u);
}

ed_entry_hint hint_of(unsigned char type) {
    switch (type) {
    case DT_DIR:
        return ED_HINT_DIR;
    case DT_REG:
        return ED_HINT_REG;
    case DT_LNK:
        return ED_HINT_LNK;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK:
        return ED_HINT_OTHER;
    default:
        return ED_HINT_UNKNOWN;
    }
}

} // namespace

int ed_fill_stat(const char *path, ed_stat *st) {
    // No identity: its file handle would be one query more for nothing.
    struct statx raw;
    if (path == nullptr || *path == '\0' || status_nofollow(path, &raw) != 0)
        return -1;
    return fill_from(raw, st);
}

int ed_fill_stat_id(const char *path, ed_stat *st, ed_file_id *id) {
    if (path == nullptr || *path == '\0')
        return -1;
    struct statx raw;
    std::string text;
    if (status_nofollow(path, &raw, &text) != 0)
        return -1;
    *id = id_of(raw, AT_FDCWD, text.c_str());
    return fill_from(raw, st);
}

int ed_identify(const char *path, ed_file_id *id) {
    struct statx raw;
    if (path == nullptr || *path == '\0' ||
        ::statx(AT_FDCWD, path, AT_NO_AUTOMOUNT, kQueryMask, &raw) != 0)
        return -1;
    *id = id_of(raw, AT_FDCWD, path, true);
    return 0;
}

int ed_fill_stat_at(ed_dir *dir, const char *name, ed_stat *st) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return -1;
    struct statx sx;
    if (query(dir->fd, name, &sx) != 0)
        return -1;
    st->st_mode = kind_of(sx.stx_mode);
    st->st_size = S_ISREG(sx.stx_mode) ? static_cast<int64_t>(sx.stx_size) : 0;
    // Anything mounted here (a file system on a directory, or a file bound
    // onto a file) is the kind a mounted folder has on Windows: a link,
    // never followed, listed or removed.
    if (!same_mount(mount_of(sx), dir->mount))
        st->st_mode = ED_S_IFLNK;
    return 0;
}

ed_dir *ed_opendir_at(ed_dir *dir, const char *name) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return nullptr;
    // The child's own status query stays, even where openat2 could refuse a
    // mount point at the open: a btrfs subvolume is another device on the
    // same mount, which only the status query tells apart.
    ed_dir_stream child = stream_from(::openat(dir->fd, name, kDirectoryFlags | O_NOFOLLOW));
    if (child && !same_mount(child->mount, dir->mount))
        return nullptr; // a mount point or subvolume: never walked
    return child.release();
}

ed_dir *ed_opendir(const char *path) {
    if (path == nullptr || *path == '\0')
        return nullptr;
    return stream_from(::open(path, kDirectoryFlags)).release();
}

ed_dir *ed_opendir_root(const char *canonical, const ed_file_id *id) {
    if (id == nullptr)
        return nullptr;
    unique_fd pinned(open_canonical(canonical));
    if (!pinned)
        throw_if_exhausted(errno);
    ed_file_id found;
    if (!pinned || !identity_of_fd(pinned.get(), &found) || !ed_same_file(found, *id))
        return nullptr;
    return walk_stream_from(::openat(pinned.get(), ".", kDirectoryFlags)).release();
}

ed_dir *ed_walk_opendir_at(ed_dir *dir, const char *name) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return nullptr;
    ed_dir_stream child = walk_stream_from(::openat(dir->fd, name, kDirectoryFlags | O_NOFOLLOW));
    if (child && !same_mount(child->mount, dir->mount))
        return nullptr; // a mount point or subvolume: never walked
    return child.release();
}

void ed_dir_note(const ed_dir *dir, ed_dir_mark *mark) {
    *mark = ed_dir_mark{};
    if (dir == nullptr || dir->broken)
        return; // a broken listing cannot be taken up again
    if (dir->has_id) {
        mark->id = id_with_handle(dir->id, dir->fd, "", false);
    } else {
        struct statx sx;
        if (query(dir->fd, "", &sx) != 0)
            return;
        mark->id = id_of(sx, dir->fd, "");
    }
    mark->at_end = !dir->has_next;
    mark->position = dir->held_position;
    mark->check = dir->has_next ? entry_check(held_entry(dir)) : 0;
    mark->valid = true;
}

ed_dir *ed_dir_resume(const ed_dir_mark *mark, ed_dir *child, ed_dir *anchor,
                      const char *relative) {
    if (mark == nullptr || !mark->valid || anchor == nullptr || relative == nullptr)
        return nullptr;
    // As the parent of the directory just walked, which it almost always
    // still is; else by its path beneath the anchor, which is longer to
    // resolve. Either way only the very directory that was left will do.
    ed_dir_stream dir;
    if (child != nullptr)
        dir = walk_stream_from(::openat(child->fd, "..", kDirectoryFlags | O_NOFOLLOW), mark,
                               &anchor->mount);
    if (!dir) {
        unique_fd reached(open_beneath(anchor->fd, relative, &anchor->mount));
        if (!reached) {
            throw_if_exhausted(errno);
            return nullptr;
        }
        dir = walk_stream_from(::openat(reached.get(), ".", kDirectoryFlags), mark, &anchor->mount);
        if (!dir)
            return nullptr;
    }
    if (mark->at_end) {
        dir->has_next = 0;
        return dir.release();
    }
    // The listing goes on at the entry the stream held, which must be the
    // one found there: a directory changed since may hand out its entries
    // in another order, and an entry never seen would be content missed.
    if (!dir->broken && (!dir->has_next || entry_check(held_entry(dir.get())) != mark->check))
        dir->broken = EIO;
    if (dir->broken == ENOMEM)
        throw std::bad_alloc();
    dir->has_next = 1;
    return dir.release();
}

const char *ed_readdir(ed_dir *dir) {
    ed_entry_hint ignored;
    return ed_readdir_hint(dir, &ignored);
}

const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    if (dir == nullptr || !dir->has_next)
        return nullptr;
    while (dir->has_next && !dir->broken && is_dot_or_dotdot(held_entry(dir)->d_name))
        advance(dir, false);
    if (dir->broken) {
        // Memory the kernel lacked says nothing of the directory.
        if (dir->broken == ENOMEM)
            throw std::bad_alloc();
        dir->has_next = 0;
        std::memcpy(dir->name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
        return dir->name;
    }
    if (!dir->has_next)
        return nullptr;
    const char *raw = held_entry(dir)->d_name;
    const size_t length = std::strlen(raw);
    if (length < sizeof dir->name && ed_utf8_valid(raw, length)) {
        std::memcpy(dir->name, raw, length + 1);
        *hint = hint_of(held_entry(dir)->d_type);
    } else {
        std::memcpy(dir->name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
    }

    advance(dir, false); // read one ahead
    return dir->name;
}

ed_time ed_clock_now() {
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    return time_of(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
}

int ed_modified_at(ed_dir *dir, const char *name, ed_time *modified) {
    if (dir == nullptr || modified == nullptr || (name != nullptr && *name == '\0'))
        return -1;
    struct statx sx;
    if (query(dir->fd, name != nullptr ? name : "", &sx, STATX_MTIME) != 0 ||
        (sx.stx_mask & STATX_MTIME) == 0)
        return -1;
    *modified = time_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    return 0;
}

int ed_dir_has_next(const ed_dir *dir) { return dir != nullptr && dir->has_next ? 1 : 0; }

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    if (dir->owns_fd)
        ::close(dir->fd);
    std::free(dir);
}

ed_final_path_status ed_final_path(const char *path, char **out) {
    if (path == nullptr || *path == '\0')
        return ED_FINAL_UNNAMEABLE;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) {
        switch (errno) {
        case ENOENT:  // nothing there, or a link whose target is missing
        case ENOTDIR: // a component that should hold it is not a directory
            return ED_FINAL_MISSING;
        case ENOMEM:
            throw std::bad_alloc();
        default: // too long, a loop, no search permission: it may exist
            return ED_FINAL_UNNAMEABLE;
        }
    }
    if (std::strlen(resolved) > ED_MAX_CANONICAL_BYTES) {
        std::free(resolved);
        return ED_FINAL_UNNAMEABLE; // exists, but cannot be named within the limit
    }
    *out = resolved;
    return ED_FINAL_RESOLVED;
}

ed_root_kind ed_inspect_root(const char *path, char **canonical, ed_file_id *id) {
    if (path == nullptr || *path == '\0')
        return ED_ROOT_UNREACHABLE;
    bool had_trailing;
    const std::string text = without_trailing_separators(path, &had_trailing);
    // O_PATH pins the object without opening it, so a FIFO or a device is
    // never opened; O_NOFOLLOW pins a link as itself.
    unique_fd object(::open(text.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct statx st;
    if (!object || query(object.get(), "", &st) != 0)
        return ED_ROOT_UNREACHABLE;
    if (S_ISLNK(st.stx_mode))
        return ED_ROOT_LINK;
    if (!S_ISDIR(st.stx_mode))
        return had_trailing ? ED_ROOT_UNREACHABLE : ED_ROOT_OTHER;
    ed_heap_text final_path =
        final_path_of(object.get(), text.c_str(), id_of(st, object.get(), ""));
    if (!final_path) {
        // Removed while it was looked at: it is not there any more.
        struct statx now;
        if (query(object.get(), "", &now) == 0 && now.stx_nlink == 0)
            return ED_ROOT_UNREACHABLE;
        return ED_ROOT_UNNAMEABLE;
    }
    *canonical = final_path.release();
    *id = id_of(st, object.get(), "");
    return ED_ROOT_DIRECTORY;
}

struct ed_pinned_root {
    unique_fd fd;
    ed_file_id id;
    mount_key mount; // the root's file system, which nothing beneath it leaves
    std::string canonical;
};

ed_pinned_root *ed_pin_root(const char *canonical, const ed_file_id *id) {
    if (canonical == nullptr || id == nullptr)
        return nullptr;
    auto root = std::make_unique<ed_pinned_root>();
    root->fd.reset(needed(open_canonical(canonical)));
    struct statx status;
    if (!root->fd || query(root->fd.get(), "", &status) != 0 ||
        !ed_same_file(id_of(status, root->fd.get(), ""), *id))
        return nullptr;
    root->id = *id;
    root->mount = mount_of(status);
    root->canonical = canonical;
    return root.release();
}

void ed_unpin_root(ed_pinned_root *root) { delete root; }

namespace {

// The object's place: the directory that holds it, reached beneath the
// pinned root without a link, and its leaf name.
struct place_beneath {
    unique_fd parent;
    std::string leaf;
    bool is_root = false; // the object is the pinned root itself
};

// Why the object's place could not be reached.
enum class place_fault { none, crossing, unreachable };

place_fault locate_beneath(const ed_pinned_root &root, const char *relative, place_beneath *place) {
    if (*relative == '\0') {
        // The root itself is held by the directory above it, reached from
        // "/" without a link like the root was.
        const std::string &canonical = root.canonical;
        const size_t slash = canonical.rfind('/');
        if (slash == std::string::npos || slash + 1 == canonical.size())
            return place_fault::unreachable;
        const std::string above = slash == 0 ? "/" : canonical.substr(0, slash);
        place->parent.reset(needed(open_canonical(above.c_str())));
        place->leaf = canonical.substr(slash + 1);
        place->is_root = true;
        return place->parent ? place_fault::none : place_fault::unreachable;
    }
    const char *slash = std::strrchr(relative, '/');
    const std::string relative_parent =
        slash == nullptr ? std::string() : std::string(relative, slash);
    place->leaf = slash == nullptr ? relative : slash + 1;
    if (place->leaf.empty() || place->leaf == "." || place->leaf == "..")
        return place_fault::unreachable;
    place->parent.reset(needed(open_beneath(root.fd.get(), relative_parent.c_str(), &root.mount)));
    if (place->parent)
        return place_fault::none;
    // A link or another file system on the way is refused as a link is.
    return errno == ELOOP || errno == EXDEV ? place_fault::crossing : place_fault::unreachable;
}

ed_target_status fault_status(place_fault fault) {
    return fault == place_fault::crossing ? ED_TARGET_LINK : ED_TARGET_FAILED;
}

// The leaf's status, never following it, and whether it sits on the same
// mounted file system as the directory that holds it. The root too: a root
// that is a mount point or a btrfs subvolume is listed like any empty root,
// but removing it would take a whole file system, which is never done.
bool leaf_status(const place_beneath &place, struct statx *leaf, bool *same_file_system) {
    struct statx parent;
    if (query(place.parent.get(), "", &parent) != 0 ||
        query(place.parent.get(), place.leaf.c_str(), leaf) != 0)
        return false;
    *same_file_system = same_mount(mount_of(*leaf), mount_of(parent));
    return true;
}

ed_target_status kind_status(mode_t mode, bool same_file_system, bool want_directory) {
    if (S_ISLNK(mode) || !same_file_system)
        return ED_TARGET_LINK;
    if (want_directory ? !S_ISDIR(mode) : !S_ISREG(mode))
        return ED_TARGET_WRONG_KIND;
    return ED_TARGET_OK;
}

int rename_no_replace(int dirfd, const char *from, const char *to) {
    return static_cast<int>(
        ::syscall(SYS_renameat2, dirfd, from, dirfd, to, static_cast<unsigned>(RENAME_NOREPLACE)));
}

// The name an object is moved aside under for its removal, in the directory
// that holds it: ".edclean-removing-" and 16 hexadecimal digits from the
// system's random source, new for every move. RENAME_NOREPLACE keeps anything
// already under the name from being hit; a name that nobody can predict
// keeps another user of a shared directory from planting the names ahead
// and so blocking every removal there. A name found taken is left alone and
// another one drawn, a few times at most.
constexpr const char kAsidePrefix[] = ".edclean-removing-";
constexpr size_t kAsideNameBytes = sizeof kAsidePrefix + 16;
constexpr int kAsideAttempts = 8;

thread_local ed_test_hook g_test_hook = nullptr;
thread_local void *g_test_hook_context = nullptr;
thread_local char g_test_aside_name[kAsideNameBytes] = "";

// A new random aside name in `name`; false when the system gives no random
// bytes.
bool draw_aside_name(char (&name)[kAsideNameBytes]) {
    unsigned char bytes[8];
    ssize_t got;
    do
        got = ::getrandom(bytes, sizeof bytes, 0);
    while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof bytes))
        return false;
    static constexpr char kHex[] = "0123456789abcdef";
    std::memcpy(name, kAsidePrefix, sizeof kAsidePrefix - 1);
    char *digit = name + sizeof kAsidePrefix - 1;
    for (const unsigned char byte : bytes) {
        *digit++ = kHex[byte >> 4];
        *digit++ = kHex[byte & 0xF];
    }
    *digit = '\0';
    return true;
}

// Moves `leaf` aside under a new name of its own (left in `aside`), never
// replacing anything. 0, or -1 with errno.
int move_aside(int parent, const char *leaf, char (&aside)[kAsideNameBytes]) {
    for (int attempt = 0; attempt < kAsideAttempts; ++attempt) {
        if (!draw_aside_name(aside)) {
            errno = EAGAIN;
            return -1;
        }
        if (g_test_hook != nullptr) {
            std::memcpy(g_test_aside_name, aside, sizeof aside);
            g_test_hook(ED_TEST_ASIDE_NAMED, g_test_hook_context);
        }
        if (rename_no_replace(parent, leaf, aside) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    return -1; // errno is EEXIST
}

// Why the object under `name` (which is not the examined one, or which the
// system would not remove) is refused, by what it is now: a link, another
// kind, a file that holds data; else the removal failed.
ed_target_status refusal_of(const struct statx &now, bool directory) {
    if (S_ISLNK(now.stx_mode))
        return ED_TARGET_LINK;
    if (directory ? !S_ISDIR(now.stx_mode) : !S_ISREG(now.stx_mode))
        return ED_TARGET_WRONG_KIND;
    if (!directory && now.stx_size != 0)
        return ED_TARGET_NOT_EMPTY;
    return ED_TARGET_FAILED;
}

// Removes the examined object from its place. Linux removes by name only, so
// the object is first moved aside, atomically, under a name of our own;
// what arrived there is checked to be the examined object (for a file: a
// regular file still without data) and removed under that name, which no
// save-by-rename of another program aims at. Anything else that was moved
// is put back under its name, and refused by what it is. Where the file
// system cannot rename without replacing, the name is checked once more and
// removed directly.
ed_target_status remove_examined(const place_beneath &place, const ed_file_id &examined,
                                 bool directory) {
    const int parent = place.parent.get();
    const char *leaf = place.leaf.c_str();
    const int how = directory ? AT_REMOVEDIR : 0;
    struct statx now;
    const auto is_examined = [&](const char *name) {
        return query(parent, name, &now) == 0 && ed_same_file(id_of(now, parent, name), examined) &&
               (directory ? S_ISDIR(now.stx_mode) : S_ISREG(now.stx_mode) && now.stx_size == 0);
    };

    char aside[kAsideNameBytes];
    if (move_aside(parent, leaf, aside) != 0) {
        if (errno != EINVAL && errno != ENOSYS)
            return ED_TARGET_FAILED;
        if (is_examined(leaf) && ::unlinkat(parent, leaf, how) == 0)
            return ED_TARGET_OK;
        return query(parent, leaf, &now) == 0 ? refusal_of(now, directory) : ED_TARGET_FAILED;
    }
    if (is_examined(aside) && ::unlinkat(parent, aside, how) == 0)
        return ED_TARGET_OK;
    // Not ours to remove, or the system refused (a directory that gained an
    // entry): back under its own name. Should that name have been taken in
    // this instant, the object stays under the aside name, where nothing is
    // lost.
    const bool arrived = query(parent, aside, &now) == 0;
    rename_no_replace(parent, aside, leaf);
    return arrived ? refusal_of(now, directory) : ED_TARGET_FAILED;
}

} // namespace

// Closes the descriptors of a delete call's removed directories on a
// thread of its own. The descriptor of a directory is held until after the
// directory is removed (so that its identity cannot pass to another object
// meanwhile), and closing it is then what lets the file system free the
// directory's storage, which can mean waiting for the device (a discard,
// say). The call's checks and removals go on in their order meanwhile; the
// thread is joined, with every descriptor closed, before the call returns.
// Small calls, and a system that refuses a thread, close each descriptor at
// once.
class deferred_closer {
  public:
    deferred_closer() = default;
    deferred_closer(const deferred_closer &) = delete;
    deferred_closer &operator=(const deferred_closer &) = delete;
    ~deferred_closer() { finish(); }

    // Takes `fd` over.
    void close_later(int fd) noexcept {
        if (!running_ && !start()) {
            ::close(fd);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queued_ < kCapacity) {
                queue_[queued_++] = fd;
                // Woken only when it waits: it takes everything queued at once.
                if (waiting_)
                    ready_.notify_one();
                return;
            }
        }
        ::close(fd); // the thread is behind: this one waits here
    }

    // Returns once every descriptor taken over so far is closed: for the
    // checks by a host's text, which need descriptors of their own that
    // those held for closing must not take from them.
    void settle() noexcept {
        if (!running_)
            return;
        std::unique_lock<std::mutex> lock(mutex_);
        settled_.wait(lock, [this] { return queued_ == 0 && !closing_; });
    }

  private:
    // Descriptors closed at once before the thread is worth starting.
    static constexpr unsigned kStartAfter = 16;
    // Descriptors waiting at most, so that a call never holds many more.
    static constexpr size_t kCapacity = 32;

    bool start() noexcept {
        if (refused_ || ++handed_ <= kStartAfter)
            return false;
        // The thread starts with every signal blocked: the host's signals
        // are for the host's own threads, never for one of the library's.
        sigset_t all;
        sigset_t host;
        sigfillset(&all);
        if (::pthread_sigmask(SIG_SETMASK, &all, &host) != 0) {
            refused_ = true;
            return false;
        }
        try {
            thread_ = std::thread([this] { run(); });
            running_ = true;
        } catch (...) {
            refused_ = true;
        }
        ::pthread_sigmask(SIG_SETMASK, &host, nullptr);
        return running_;
    }

    void run() noexcept {
        int taken[kCapacity];
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            waiting_ = true;
            ready_.wait(lock, [this] { return done_ || queued_ != 0; });
            waiting_ = false;
            const size_t count = queued_;
            if (count == 0)
                return; // done, and nothing left
            std::copy(queue_, queue_ + count, taken);
            queued_ = 0;
            closing_ = true;
            lock.unlock();
            for (size_t i = 0; i < count; ++i)
                ::close(taken[i]);
            lock.lock();
            closing_ = false;
            if (queued_ == 0)
                settled_.notify_all();
        }
    }

    void finish() noexcept {
        if (!running_)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            ready_.notify_one();
        }
        thread_.join();
        running_ = false;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable settled_; // nothing queued, nothing being closed
    int queue_[kCapacity];
    size_t queued_ = 0;
    bool waiting_ = false;
    bool closing_ = false;
    bool done_ = false;
    std::thread thread_;
    bool running_ = false;
    bool refused_ = false;
    unsigned handed_ = 0;
};

struct ed_target {
    place_beneath place;
    unique_fd directory; // a directory target's own descriptor
    mount_key mount;     // the file system the target is on
    ed_file_id id;
    deferred_closer *closer = nullptr; // its delete call's, where it has one

    ~ed_target() {
        if (closer != nullptr && directory)
            closer->close_later(directory.release());
    }
};

ed_target *ed_target_open_dir(ed_pinned_root *root, const char *relative,
                              const ed_file_id *examined, ed_target_status *status) {
    *status = ED_TARGET_FAILED;
    if (root == nullptr || relative == nullptr || examined == nullptr)
        return nullptr;
    auto target = std::make_unique<ed_target>();
    const place_fault fault = locate_beneath(*root, relative, &target->place);
    if (fault != place_fault::none) {
        *status = fault_status(fault);
        return nullptr;
    }
    struct statx leaf;
    bool same_file_system;
    if (!leaf_status(target->place, &leaf, &same_file_system))
        return nullptr;
    *status = kind_status(leaf.stx_mode, same_file_system, true);
    if (*status != ED_TARGET_OK)
        return nullptr;
    *status = ED_TARGET_FAILED;
    if (!ed_same_file(id_of(leaf, target->place.parent.get(), target->place.leaf.c_str()),
                      *examined) ||
        (target->place.is_root && !ed_same_file(*examined, root->id)))
        return nullptr;
    target->directory.reset(needed(::openat(target->place.parent.get(), target->place.leaf.c_str(),
                                            kDirectoryFlags | O_NOFOLLOW)));
    if (!target->directory) {
        // A directory that can no longer be opened cannot be seen to be
        // empty any more, which is how the re-check counts it.
        if (errno == EACCES || errno == EPERM)
            *status = ED_TARGET_NOT_EMPTY;
        return nullptr;
    }
    struct statx opened;
    if (query(target->directory.get(), "", &opened) != 0 ||
        !ed_same_file(id_of(opened, target->directory.get(), ""), *examined))
        return nullptr;
    target->mount = mount_of(opened);
    target->id = *examined;
    *status = ED_TARGET_OK;
    return target.release();
}

// A delete call's way to its objects by their canonical paths: the top
// directory, from which each entry's root is re-reached, and the closer of
// its removed directories' descriptors. Nothing
// below the top is kept from one entry to the next: the root and the
// directory that holds the object are walked again for every entry, since
// either may have been moved since the one before.
struct ed_removal_session {
    unique_fd top;
    deferred_closer closer; // last: joined before anything else goes
};

ed_removal_session *ed_removal_session_open() {
    auto session = std::make_unique<ed_removal_session>();
    session->top.reset(::open("/", kPathDirectoryFlags));
    if (!session->top)
        return nullptr;
    return session.release();
}

void ed_removal_session_close(ed_removal_session *session) { delete session; }

void ed_removal_session_settle(ed_removal_session *session) {
    if (session != nullptr)
        session->closer.settle();
}

ed_target *ed_target_reach(ed_removal_session *session, const char *root, const ed_file_id *root_id,
                           const char *relative, bool directory, bool *root_reached) {
    *root_reached = false;
    if (session == nullptr || root == nullptr || root[0] != '/' || root_id == nullptr ||
        relative == nullptr || *relative == '\0')
        return nullptr;
    // The root, re-reached from the top without a link and identity-checked,
    // as ed_pin_root() does, for this entry.
    unique_fd pinned(open_beneath(session->top.get(), root + 1, nullptr));
    struct statx root_status;
    if (!pinned || query(pinned.get(), "", &root_status) != 0 ||
        !ed_same_file(id_of(root_status, pinned.get(), ""), *root_id))
        return nullptr;
    const mount_key root_mount = mount_of(root_status);
    *root_reached = true;
    const char *slash = std::strrchr(relative, '/');
    const char *leaf = slash == nullptr ? relative : slash + 1;
    if (*leaf == '\0' || is_dot_or_dotdot(leaf))
        return nullptr;
    auto target = std::make_unique<ed_target>();
    target->place.leaf = leaf;
    if (slash == nullptr) {
        target->place.parent.reset(pinned.release());
    } else {
        // The directory that holds the object, beneath the root, never
        // through a link and never onto another file system.
        const std::string relative_parent(relative, slash);
        target->place.parent.reset(
            open_beneath(pinned.get(), relative_parent.c_str(), &root_mount));
        if (!target->place.parent)
            return nullptr;
    }
    // The leaf's status, never following it and never setting off an
    // automount: a link, another kind or another file system (the holder is
    // on the root's) is left to the judgement by the host's text, which
    // refuses it with its message.
    const int parent = target->place.parent.get();
    struct statx examined;
    if (query(parent, leaf, &examined) != 0 || !same_mount(mount_of(examined), root_mount) ||
        (directory ? !S_ISDIR(examined.stx_mode)
                   : !S_ISREG(examined.stx_mode) || examined.stx_size != 0))
        return nullptr;
    target->id = id_of(examined, parent, leaf);
    if (directory) {
        // What is opened must be what was examined: it is what the
        // emptiness re-check reads and what the aside check compares with.
        target->directory.reset(::openat(parent, leaf, kDirectoryFlags | O_NOFOLLOW));
        struct statx opened;
        if (!target->directory || query(target->directory.get(), "", &opened) != 0 ||
            !ed_same_file(id_of(opened, target->directory.get(), ""), target->id))
            return nullptr;
    }
    target->mount = root_mount;
    target->closer = &session->closer;
    return target.release();
}

ed_dir *ed_target_opendir(ed_target *target) {
    if (target == nullptr || !target->directory)
        return nullptr;
    // Through the target's own descriptor, which has not been read from:
    // no second descriptor, and no second status query.
    return stream_over(target->directory.get(), target->mount, false).release();
}

int ed_target_remove_dir(ed_target *target) {
    if (target == nullptr || !target->directory)
        return -1;
    return remove_examined(target->place, target->id, true) == ED_TARGET_OK ? 0 : -1;
}

int ed_target_remove_file(ed_target *target) {
    if (target == nullptr || target->directory)
        return -1;
    return remove_examined(target->place, target->id, false) == ED_TARGET_OK ? 0 : -1;
}

void ed_target_close(ed_target *target) { delete target; }

ed_target_status ed_remove_file_beneath(ed_pinned_root *root, const char *relative,
                                        const ed_file_id *examined) {
    if (root == nullptr || relative == nullptr || *relative == '\0' || examined == nullptr)
        return ED_TARGET_FAILED;
    place_beneath place;
    const place_fault fault = locate_beneath(*root, relative, &place);
    if (fault != place_fault::none)
        return fault_status(fault);
    // O_PATH pins the object without opening its data, so a FIFO or device
    // is never opened and no read permission is needed; with O_NOFOLLOW a
    // link is pinned as itself.
    unique_fd file(
        needed(::openat(place.parent.get(), place.leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)));
    struct statx pinned;
    struct statx parent;
    if (!file || query(file.get(), "", &pinned) != 0 || query(place.parent.get(), "", &parent) != 0)
        return ED_TARGET_FAILED;
    const ed_target_status kind =
        kind_status(pinned.stx_mode, same_mount(mount_of(pinned), mount_of(parent)), false);
    if (kind != ED_TARGET_OK)
        return kind;
    if (!ed_same_file(id_of(pinned, file.get(), ""), *examined))
        return ED_TARGET_FAILED;
    if (pinned.stx_size != 0)
        return ED_TARGET_NOT_EMPTY;
    return remove_examined(place, *examined, false);
}

int ed_names_equal(const char *a, size_t a_length, const char *b, size_t b_length) {
    return a_length == b_length && std::memcmp(a, b, a_length) == 0 ? 1 : 0;
}

char *ed_user_home_text() {
    const char *home = std::getenv("HOME");
    if (home == nullptr || *home == '\0')
        return nullptr;
    char *copy = ::strdup(home);
    if (copy == nullptr)
        throw std::bad_alloc();
    return copy;
}

char *ed_system_directory_canonical() { return nullptr; }

void ed_force_stepwise_resolution(bool stepwise) { g_force_stepwise.store(stepwise); }

bool ed_kernel_resolution_compiled() {
#if defined(ED_KERNEL_BENEATH)
    return true;
#else
    return false;
#endif
}

bool ed_last_resolution_by_kernel() { return g_last_resolution_by_kernel; }

void ed_set_test_hook(ed_test_hook hook, void *context) {
    g_test_hook = hook;
    g_test_hook_context = context;
}

const char *ed_test_aside_name() { return g_test_aside_name; }

// POSIX shows every object as it is: nothing to set or restore.
ed_platform_call_scope::ed_platform_call_scope() noexcept {}
ed_platform_call_scope::~ed_platform_call_scope() {}
