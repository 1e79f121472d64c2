// Linux backend: kinds, status queries, mounts and file identities.
#include "platform/linux/internal.h"

namespace ed_linux {

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
bool same_mount(const mount_key &a, const mount_key &b) {
    if (a.device != b.device)
        return false;
    return !a.has_mount_id || !b.has_mount_id || a.mount_id == b.mount_id;
}

// statx of `name` in `dirfd` (or of `dirfd` itself for ""), never following
// a link. 0, or -1.
int query(int dirfd, const char *name, struct statx *out, unsigned mask) {
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

ed_file_id id_of(const struct statx &sx, int dirfd, const char *name, bool follow) {
    return id_with_handle(status_part_of(sx), dirfd, name, follow);
}

bool identity_of_fd(int fd, ed_file_id *id) {
    struct statx sx;
    if (query(fd, "", &sx) != 0)
        return false;
    *id = id_of(sx, fd, "");
    return true;
}

} // namespace ed_linux
