// POSIX backend of the file-system adapter.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

struct ed_dir {
    DIR *handle;
    struct dirent *held; // the entry to hand out next; valid until the next readdir()
    int has_next;
    char name[kNameBufferBytes];
};

namespace {

int fill_from(const struct stat &raw, ed_stat *st) {
    st->st_mode = kind_of(raw.st_mode);
    st->st_size = S_ISREG(raw.st_mode) ? static_cast<int64_t>(raw.st_size) : 0;
    return 0;
}

// Wraps a just-opened directory descriptor (or -1) in a stream holding its
// first entry; the stream takes the descriptor over.
ed_dir *stream_from(int opened) {
    unique_fd fd(opened);
    if (!fd)
        return nullptr;
    auto *dir = static_cast<ed_dir *>(std::calloc(1, sizeof(ed_dir)));
    if (dir == nullptr)
        return nullptr;
    dir->handle = ::fdopendir(fd.get());
    if (dir->handle == nullptr) {
        std::free(dir);
        return nullptr;
    }
    fd.release(); // the stream owns the descriptor now
    dir->held = ::readdir(dir->handle);
    dir->has_next = dir->held != nullptr ? 1 : 0;
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
    if (::fstatat(::dirfd(dir->handle), name, &raw, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return fill_from(raw, st);
}

ed_dir *ed_opendir_at(ed_dir *dir, const char *name, const char *) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return nullptr;
    return stream_from(
        ::openat(::dirfd(dir->handle), name,
                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
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
    while (is_dot_or_dotdot(dir->held->d_name)) {
        dir->held = ::readdir(dir->handle);
        if (dir->held == nullptr) {
            dir->has_next = 0;
            return nullptr;
        }
    }
    const char *raw = dir->held->d_name;
    const size_t length = std::strlen(raw);
    if (length < sizeof dir->name && ed_utf8_valid(raw, length)) {
        std::memcpy(dir->name, raw, length + 1);
        *hint = hint_of(dir->held->d_type);
    } else {
        std::memcpy(dir->name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
    }

    // Read one ahead; an error ends the stream like its end does.
    dir->held = ::readdir(dir->handle);
    dir->has_next = dir->held != nullptr ? 1 : 0;
    return dir->name;
}

int ed_dir_has_next(const ed_dir *dir) { return dir != nullptr && dir->has_next ? 1 : 0; }

void ed_closedir(ed_dir *dir) {
    if (dir == nullptr)
        return;
    ::closedir(dir->handle);
    std::free(dir);
}

ed_final_path_status ed_final_path(const char *path, char **out) {
    if (path == nullptr || *path == '\0')
        return ED_FINAL_INVALID;
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr)
        return ED_FINAL_UNRESOLVED;
    if (std::strlen(resolved) > kMaxCanonicalBytes) {
        std::free(resolved);
        return ED_FINAL_UNRESOLVED;
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

int ed_remove_dir(const char *path) {
    if (path == nullptr || *path == '\0')
        return -1;
    return ::rmdir(path) == 0 ? 0 : -1;
}

ed_file_removal ed_remove_empty_file(const char *path) {
    if (path == nullptr || *path == '\0')
        return ED_FILE_FAILED;
    const char *slash = std::strrchr(path, '/');
    const char *leaf = slash != nullptr ? slash + 1 : path;
    if (*leaf == '\0' || is_dot_or_dotdot(leaf))
        return ED_FILE_FAILED;
    std::string parent =
        slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);

    unique_fd parent_fd(open_directory(parent.c_str()));
    if (!parent_fd)
        return ED_FILE_FAILED;
    // O_PATH pins the object without opening its data, so a FIFO or device
    // is never opened and no read permission is needed.
    unique_fd file_fd(::openat(parent_fd.get(), leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!file_fd)
        return ED_FILE_FAILED;
    struct stat pinned;
    if (::fstat(file_fd.get(), &pinned) != 0 || !S_ISREG(pinned.st_mode))
        return ED_FILE_FAILED;
    if (pinned.st_size != 0)
        return ED_FILE_NOT_EMPTY;
    // Remove by name only while the name still reaches the object tested.
    struct stat named;
    if (::fstatat(parent_fd.get(), leaf, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != pinned.st_dev || named.st_ino != pinned.st_ino)
        return ED_FILE_FAILED;
    return ::unlinkat(parent_fd.get(), leaf, 0) == 0 ? ED_FILE_REMOVED : ED_FILE_FAILED;
}
