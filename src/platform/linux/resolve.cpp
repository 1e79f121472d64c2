// Linux backend: paths resolved beneath an open directory without a link, the final
// path of an object, the root inspected and pinned, and the choice between
// the kernel's resolution and the stepwise one.
#include "platform/linux/internal.h"

namespace {

std::atomic<bool> g_force_stepwise{false};
thread_local bool g_last_resolution_by_kernel = false;

} // namespace

namespace ed_linux {

// The text without trailing "/" and "/." components, which would make the
// kernel resolve a link at the end ("link/" and "link/." name its target):
// the object named is judged as itself. `had_trailing` tells the caller that
// the host asked for a directory. "/" stays "/".
static std::string without_trailing_separators(const char *path, bool *had_trailing) {
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
int status_nofollow(const char *path, struct statx *sx, std::string *text_used) {
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
static int open_beneath_kernel(int base, const char *relative, bool same_mount_only) {
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
static bool is_on(int fd, const mount_key &mount) {
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
static int open_beneath_stepwise(int base, std::string_view relative, const mount_key *stay_on) {
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
static ed_heap_text final_path_of(int fd, const char *path, const ed_file_id &opened) {
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

} // namespace ed_linux

using namespace ed_linux;

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
    unique_fd object(needed(::open(text.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)));
    struct statx st;
    if (!object || query(object.get(), "", &st) != 0)
        return ED_ROOT_UNREACHABLE;
    if (S_ISLNK(st.stx_mode))
        return ED_ROOT_LINK;
    if (!S_ISDIR(st.stx_mode))
        return had_trailing ? ED_ROOT_UNREACHABLE : ED_ROOT_OTHER;
    errno = 0;
    ed_heap_text final_path =
        final_path_of(object.get(), text.c_str(), id_of(st, object.get(), ""));
    if (!final_path) {
        // Its check of the canonical form reopens the root: a root that
        // could not be named for want of a descriptor is not unnameable.
        if (errno == EMFILE || errno == ENFILE)
            throw ed_out_of_descriptors();
        // Removed while it was looked at: it is not there any more.
        struct statx now;
        if (query(object.get(), "", &now) == 0 && now.stx_nlink == 0)
            return ED_ROOT_UNREACHABLE;
        return ED_ROOT_UNNAMEABLE;
    }
    // Every path a scan hands out starts with this text, and every text the
    // library hands out is UTF-8: a root reached through a link into a
    // folder whose name is not cannot be named.
    if (!ed_utf8_valid(final_path.get(), std::strlen(final_path.get())))
        return ED_ROOT_UNNAMEABLE;
    *canonical = final_path.release();
    *id = id_of(st, object.get(), "");
    return ED_ROOT_DIRECTORY;
}

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

void ed_force_stepwise_resolution(bool stepwise) { g_force_stepwise.store(stepwise); }

bool ed_kernel_resolution_compiled() {
#if defined(ED_KERNEL_BENEATH)
    return true;
#else
    return false;
#endif
}

bool ed_last_resolution_by_kernel() { return g_last_resolution_by_kernel; }
