// POSIX backend of the file-system adapter.
#include <dirent.h>
#include <sys/syscall.h>
#if defined(ED_HAVE_OPENAT2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define ED_HAVE_OPENAT2 1
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ed_platform.h"
#include "ed_utf8.h"

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
constexpr size_t kMaxCanonicalBytes = 8190;
constexpr size_t kNameBufferBytes = 512;

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

// lstat that also refuses to follow a link named with a trailing '/', which
// the kernel would otherwise resolve: "link/" is judged as "link".
int status_nofollow(const char *path, struct stat *st) {
    size_t length = std::strlen(path);
    if (length < 2 || path[length - 1] != '/')
        return ::lstat(path, st);
    while (length > 1 && path[length - 1] == '/')
        --length;
    const std::string stripped(path, length);
    if (::lstat(stripped.c_str(), st) != 0)
        return -1;
    if (S_ISLNK(st->st_mode) || S_ISDIR(st->st_mode))
        return 0;
    errno = ENOTDIR; // a trailing '/' names a directory, and this is none
    return -1;
}

// Opens a directory for reading without ever opening a FIFO or a device:
// O_DIRECTORY makes the kernel refuse anything else before it is opened.
int open_directory(const char *path) {
    return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

} // namespace

// A stream reads the directory's entries in batches straight from the kernel
// (getdents64): no status query or flag change per directory on top of the
// open, as a library directory stream would make.
constexpr size_t kEntryBatchBytes = 16384;

struct ed_dir {
    int fd;
    size_t held; // offset in `batch` of the entry to hand out next
    size_t end;  // bytes of `batch` filled
    int has_next;
    char name[kNameBufferBytes];
    alignas(struct dirent64) char batch[kEntryBatchBytes];
};

namespace {

int fill_from(const struct stat &raw, ed_stat *st) {
    st->st_mode = kind_of(raw.st_mode);
    st->st_size = S_ISREG(raw.st_mode) ? static_cast<int64_t>(raw.st_size) : 0;
    return 0;
}

const struct dirent64 *held_entry(const ed_dir *dir) {
    return reinterpret_cast<const struct dirent64 *>(dir->batch + dir->held);
}

// Moves past the held entry, reading the next batch when this one is used
// up. An error ends the stream like its end does.
void advance(ed_dir *dir, bool first) {
    if (!first)
        dir->held += held_entry(dir)->d_reclen;
    if (!first && dir->held < dir->end)
        return;
    const ssize_t bytes = ::getdents64(dir->fd, dir->batch, sizeof dir->batch);
    dir->held = 0;
    dir->end = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    dir->has_next = bytes > 0 ? 1 : 0;
}

// Wraps a just-opened directory descriptor (or -1) in a stream holding its
// first entry; the stream takes the descriptor over.
ed_dir *stream_from(int opened) {
    unique_fd fd(opened);
    if (!fd)
        return nullptr;
    auto *dir = static_cast<ed_dir *>(std::malloc(sizeof(ed_dir)));
    if (dir == nullptr)
        return nullptr;
    dir->fd = fd.release();
    dir->name[0] = '\0';
    advance(dir, true);
    return dir;
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
    if (path == nullptr || *path == '\0')
        return -1;
    struct stat raw;
    if (status_nofollow(path, &raw) != 0)
        return -1;
    return fill_from(raw, st);
}

int ed_fill_stat_at(ed_dir *dir, const char *name, const char *, ed_stat *st) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return -1;
    struct stat raw;
    if (::fstatat(dir->fd, name, &raw, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return fill_from(raw, st);
}

ed_dir *ed_opendir_at(ed_dir *dir, const char *name, const char *) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return nullptr;
    return stream_from(::openat(
        dir->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

ed_dir *ed_opendir(const char *path) {
    if (path == nullptr || *path == '\0')
        return nullptr;
    return stream_from(open_directory(path));
}

const char *ed_readdir(ed_dir *dir) {
    ed_entry_hint ignored;
    return ed_readdir_hint(dir, &ignored);
}

const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    if (dir == nullptr || !dir->has_next)
        return nullptr;
    while (is_dot_or_dotdot(held_entry(dir)->d_name)) {
        advance(dir, false);
        if (!dir->has_next)
            return nullptr;
    }
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

int ed_dir_has_next(const ed_dir *dir) { return dir != nullptr && dir->has_next ? 1 : 0; }

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    ::close(dir->fd);
    std::free(dir);
}

ed_final_path_status ed_final_path(const char *path, char **out) {
    if (path == nullptr || *path == '\0')
        return ED_FINAL_INVALID;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr)
        // Short of memory the object may well exist: an ancestor's path in
        // its place would judge, or register, a wider tree than was named.
        return errno == ENOMEM ? ED_FINAL_INVALID : ED_FINAL_UNRESOLVED;
    if (std::strlen(resolved) > kMaxCanonicalBytes) {
        std::free(resolved);
        return ED_FINAL_INVALID; // exists, but cannot be named within the limit
    }
    *out = resolved;
    return ED_FINAL_RESOLVED;
}

ed_root_kind ed_probe_root(const char *path) {
    struct stat raw;
    if (path == nullptr || *path == '\0' || status_nofollow(path, &raw) != 0)
        return ED_ROOT_UNREACHABLE;
    if (S_ISLNK(raw.st_mode))
        return ED_ROOT_LINK;
    if (S_ISDIR(raw.st_mode))
        return ED_ROOT_DIRECTORY;
    return ED_ROOT_OTHER;
}

namespace {

// The object's place relative to its registered root: the directory that
// holds it (as a descriptor reached beneath the root) and its leaf name.
struct place_beneath {
    unique_fd parent;
    std::string leaf;
};

int open_dir_path(int at, const char *relative) {
    return ::openat(at, relative, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

#if defined(ED_HAVE_OPENAT2)
// The kernel resolves the whole relative path at once and refuses any link
// and any step out of the starting directory.
int open_beneath_kernel(int root_fd, const char *relative) {
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, root_fd, relative, &how, sizeof how));
}
#endif

// One component at a time, each opened without following a link; the
// canonical path holds no "." or ".." components, and none is accepted.
int open_beneath_stepwise(int root_fd, const std::string &relative) {
    unique_fd current(::fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
    size_t start = 0;
    while (current && start < relative.size()) {
        const size_t end = std::min(relative.find('/', start), relative.size());
        const std::string component = relative.substr(start, end - start);
        if (component.empty() || component == "." || component == "..")
            return -1;
        current.reset(open_dir_path(current.get(), component.c_str()));
        start = end + 1;
    }
    return current.release();
}

int open_beneath(int root_fd, const std::string &relative) {
    if (relative.empty())
        return ::fcntl(root_fd, F_DUPFD_CLOEXEC, 0);
#if defined(ED_HAVE_OPENAT2)
    const int fd = open_beneath_kernel(root_fd, relative.c_str());
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return fd;
#endif
    return open_beneath_stepwise(root_fd, relative);
}

// Finds the directory holding `object` beneath `root` without following a
// link. The root itself is held by the directory above it.
bool locate_beneath(const char *root, const char *object, place_beneath *place) {
    const size_t root_length = std::strlen(root);
    if (root_length == 0 || std::strncmp(object, root, root_length) != 0)
        return false;
    const char *rest = object + root_length;
    if (*rest == '/')
        ++rest;
    else if (*rest != '\0' && root[root_length - 1] != '/')
        return false;

    if (*rest == '\0') { // the root itself
        const char *slash = std::strrchr(root, '/');
        if (slash == nullptr || slash[1] == '\0')
            return false;
        const std::string above = slash == root ? "/" : std::string(root, slash - root);
        place->parent.reset(open_dir_path(AT_FDCWD, above.c_str()));
        place->leaf = slash + 1;
        return static_cast<bool>(place->parent);
    }
    unique_fd root_fd(open_dir_path(AT_FDCWD, root));
    if (!root_fd)
        return false;
    const char *slash = std::strrchr(rest, '/');
    const std::string relative_parent = slash == nullptr ? "" : std::string(rest, slash - rest);
    place->leaf = slash == nullptr ? rest : slash + 1;
    if (place->leaf.empty() || place->leaf == "." || place->leaf == "..")
        return false;
    place->parent.reset(open_beneath(root_fd.get(), relative_parent));
    return static_cast<bool>(place->parent);
}

ed_target_status kind_status(const struct stat &st, bool want_directory) {
    if (S_ISLNK(st.st_mode))
        return ED_TARGET_LINK;
    if (want_directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return ED_TARGET_WRONG_KIND;
    return ED_TARGET_OK;
}

// True while the leaf's name still holds the object pinned by `st`.
bool name_holds(const place_beneath &place, const struct stat &st) {
    struct stat named;
    return ::fstatat(place.parent.get(), place.leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

} // namespace

struct ed_target {
    place_beneath place;
    unique_fd directory;
    struct stat pinned;
};

ed_target *ed_target_open_dir(const char *root, const char *object, const char *,
                              ed_target_status *status) {
    *status = ED_TARGET_FAILED;
    if (root == nullptr || object == nullptr)
        return nullptr;
    auto *target = new (std::nothrow) ed_target;
    if (target == nullptr)
        return nullptr;
    struct stat st;
    if (!locate_beneath(root, object, &target->place) ||
        ::fstatat(target->place.parent.get(), target->place.leaf.c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) != 0) {
        delete target;
        return nullptr;
    }
    *status = kind_status(st, true);
    if (*status == ED_TARGET_OK) {
        target->directory.reset(
            ::openat(target->place.parent.get(), target->place.leaf.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!target->directory || ::fstat(target->directory.get(), &target->pinned) != 0)
            *status = ED_TARGET_FAILED;
    }
    if (*status != ED_TARGET_OK) {
        delete target;
        return nullptr;
    }
    return target;
}

ed_dir *ed_target_opendir(ed_target *target) {
    if (target == nullptr)
        return nullptr;
    return stream_from(::openat(target->directory.get(), ".",
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

int ed_target_remove_dir(ed_target *target) {
    if (target == nullptr || !name_holds(target->place, target->pinned))
        return -1;
    return ::unlinkat(target->place.parent.get(), target->place.leaf.c_str(), AT_REMOVEDIR) == 0
               ? 0
               : -1;
}

void ed_target_close(ed_target *target) { delete target; }

ed_target_status ed_remove_file_beneath(const char *root, const char *object, const char *) {
    if (root == nullptr || object == nullptr)
        return ED_TARGET_FAILED;
    place_beneath place;
    if (!locate_beneath(root, object, &place))
        return ED_TARGET_FAILED;
    // O_PATH pins the object without opening its data, so a FIFO or device
    // is never opened and no read permission is needed; with O_NOFOLLOW a
    // link is pinned as itself.
    unique_fd file(
        ::openat(place.parent.get(), place.leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat pinned;
    if (!file || ::fstat(file.get(), &pinned) != 0)
        return ED_TARGET_FAILED;
    const ed_target_status kind = kind_status(pinned, false);
    if (kind != ED_TARGET_OK)
        return kind;
    if (pinned.st_size != 0)
        return ED_TARGET_NOT_EMPTY;
    if (!name_holds(place, pinned))
        return ED_TARGET_FAILED;
    return ::unlinkat(place.parent.get(), place.leaf.c_str(), 0) == 0 ? ED_TARGET_OK
                                                                      : ED_TARGET_FAILED;
}
