// Linux backend: directory streams read in batches straight from the kernel.
#include "platform/linux/internal.h"

namespace {

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
    const unsigned long injected = first ? 0 : ed_linux::at_test_moment(ED_TEST_LISTING_READ_ON);
    const ssize_t bytes = injected != 0 ? -1 : ::getdents64(dir->fd, dir->batch, sizeof dir->batch);
    const int error = injected != 0 ? static_cast<int>(injected) : bytes < 0 ? errno : 0;
    dir->held = 0;
    dir->end = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    dir->has_next = bytes != 0 ? 1 : 0;
    dir->broken = error;
}

} // namespace

namespace ed_linux {

// A stream over the directory descriptor `fd` on the mounted file system
// `mount`, holding its first entry. It closes the descriptor only if it owns
// it; the caller closes `fd` when the stream cannot be made.
// With `position`, the listing starts there instead of at its beginning.
ed_dir_stream stream_over(int fd, const mount_key &mount, bool owns_fd, const struct statx *status,
                          uint64_t position) {
    auto *dir = static_cast<ed_dir *>(std::malloc(sizeof(ed_dir)));
    if (dir == nullptr)
        throw std::bad_alloc();
    dir->fd = fd;
    dir->owns_fd = owns_fd;
    dir->mount = mount;
    dir->name[0] = '\0';
    dir->handed_broken = false;
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

} // namespace ed_linux

using namespace ed_linux;

namespace {

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

// The subdirectory `name` of `dir`, opened without following a link, as the
// stream `make` makes of the descriptor. The child's own status query stays,
// even where openat2 could refuse a mount point at the open: a btrfs
// subvolume is another device on the same mount, which only the status query
// tells apart.
template <typename Make> ed_dir *child_stream(ed_dir *dir, const char *name, Make make) {
    if (dir == nullptr || name == nullptr || *name == '\0')
        return nullptr;
    ed_dir_stream child = make(::openat(dir->fd, name, kDirectoryFlags | O_NOFOLLOW));
    if (child && !same_mount(child->mount, dir->mount))
        return nullptr; // a mount point or subvolume: never walked
    return child.release();
}

} // namespace

ed_dir *ed_opendir_at(ed_dir *dir, const char *name) {
    return child_stream(dir, name, stream_from);
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
    return child_stream(dir, name, [](int opened) { return walk_stream_from(opened); });
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

const char *ed_readdir_hint(ed_dir *dir, ed_entry_hint *hint) {
    *hint = ED_HINT_UNKNOWN;
    if (dir == nullptr || !dir->has_next)
        return nullptr;
    while (dir->has_next && !dir->broken && ed_is_dot_or_dotdot(held_entry(dir)->d_name))
        advance(dir, false);
    if (dir->broken) {
        // Memory the kernel lacked says nothing of the directory.
        if (dir->broken == ENOMEM)
            throw std::bad_alloc();
        dir->has_next = 0;
        dir->handed_broken = true;
        std::memcpy(dir->name, ed_unnameable_entry, std::strlen(ed_unnameable_entry) + 1);
        return dir->name;
    }
    if (!dir->has_next)
        return nullptr;
    dir->handed_broken = false;
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
    if (dir->owns_fd)
        ::close(dir->fd);
    std::free(dir);
}

ed_unnameable_cause ed_dir_unnameable_cause(const ed_dir *dir) {
    // Judged by what the stream handed out, not by its state now: reading one
    // entry ahead may have broken the listing after a name it could not give.
    return dir != nullptr && dir->handed_broken ? ED_UNNAMEABLE_LISTING : ED_UNNAMEABLE_NAME;
}
