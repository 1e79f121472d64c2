// Private to the Linux backend of the file-system adapter: what its files
// (identity, resolve, listing, status, removal, environment) share.
//
// Below a root everything works relative to open descriptors: the walk opens
// each directory relative to the one that holds it, and removal reaches its
// object again from the pinned root one component at a time (or all at once
// with openat2 and RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV
// where the kernel has it), never through a link and never onto another
// mounted file system. A directory on which another file system is mounted
// is treated as a link is: never walked, listed or removed.
#ifndef ED_PLATFORM_LINUX_INTERNAL_H
#define ED_PLATFORM_LINUX_INTERNAL_H

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

#include "platform/ed_platform.h"
#include "platform/ed_utf8.h"

namespace ed_linux {

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

// Which mounted file system an object belongs to. The mount id tells bind
// mounts of one file system apart; kernels that do not report it leave the
// device number to decide.
struct mount_key {
    uint64_t device = 0;
    uint64_t mount_id = 0;
    bool has_mount_id = false;
};

constexpr unsigned kQueryMask = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MNT_ID | STATX_BTIME;

// identity.cpp: kinds, status queries, mounts and file identities.
uint16_t kind_of(mode_t mode);
bool same_mount(const mount_key &a, const mount_key &b);
int query(int dirfd, const char *name, struct statx *out, unsigned mask = kQueryMask);
ed_time time_of(int64_t seconds, uint32_t nanoseconds);
mount_key mount_of(const struct statx &sx);
uint64_t with_handle(uint64_t seed, int dirfd, const char *name, bool follow);
ed_file_id status_part_of(const struct statx &sx);
ed_file_id id_with_handle(ed_file_id status_part, int dirfd, const char *name, bool follow);
ed_file_id id_of(const struct statx &sx, int dirfd, const char *name, bool follow = false);
bool identity_of_fd(int fd, ed_file_id *id);

// resolve.cpp: paths resolved beneath an open directory, never through a link.
int status_nofollow(const char *path, struct statx *sx, std::string *text_used = nullptr);
int needed(int fd);
int open_beneath(int base, const char *relative, const mount_key *stay_on);
int open_canonical(const char *canonical);
// removal.cpp: the answer of the calling thread's test hook at `moment`, 0
// without one.
unsigned long at_test_moment(ed_test_moment moment);

} // namespace ed_linux

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
    bool handed_broken;     // the entry handed out last stands for a broken listing
    uint64_t held_position; // where the held entry starts in the listing
    ed_file_id id;          // status_part_of() the directory, where the stream was opened with it
    bool has_id;
    ed_linux::mount_key mount;
    char name[ED_NAME_BUFFER_BYTES];
    alignas(struct dirent64) char batch[kEntryBatchBytes];
};

namespace ed_linux {

// status.cpp: a status record filled from a statx.

// listing.cpp: a stream over an open directory descriptor.
ed_dir_stream stream_over(int fd, const mount_key &mount, bool owns_fd,
                          const struct statx *status = nullptr, uint64_t position = 0);

} // namespace ed_linux

struct ed_pinned_root {
    ed_linux::unique_fd fd;
    ed_file_id id;
    ed_linux::mount_key mount; // the root's file system, which nothing beneath it leaves
    std::string canonical;
};

#endif
