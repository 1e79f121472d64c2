// Linux backend: status records, identities and modification times of named objects.
#include "platform/linux/internal.h"

namespace ed_linux {

static int fill_from(const struct statx &raw, ed_stat *st) {
    st->st_mode = kind_of(raw.stx_mode);
    st->st_size = S_ISREG(raw.stx_mode) ? static_cast<int64_t>(raw.stx_size) : 0;
    return 0;
}

} // namespace ed_linux

using namespace ed_linux;

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
