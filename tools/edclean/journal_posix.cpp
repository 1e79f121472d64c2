#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "journal_internal.h"

namespace edclean_tool {

namespace {

// A descriptor that closes itself.
class descriptor {
  public:
    explicit descriptor(int fd = -1) : fd_(fd) {}
    ~descriptor() { reset(); }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

std::string system_message(int error) { return std::strerror(error); }

// "WHAT (the system's message)", built by appending.
std::string failure(const char *what, int error) {
    std::string text = what;
    text += " (";
    text += system_message(error);
    text += ')';
    return text;
}

journal_time time_of(const struct timespec &t) {
    return journal_time{static_cast<int64_t>(t.tv_sec), static_cast<uint32_t>(t.tv_nsec)};
}

struct timespec timespec_of(const journal_time &t) {
    struct timespec out {};
    out.tv_sec = static_cast<time_t>(t.sec);
    out.tv_nsec = static_cast<long>(t.nsec);
    return out;
}

class posix_journal_file final : public journal_file {
  public:
    explicit posix_journal_file(int fd) : fd_(fd) {}

    bool append(const std::string &line, std::string &error) override {
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd_.get(), line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? system_message(errno) : "nothing written";
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool sync(std::string &error) override {
        if (fsync(fd_.get()) == 0)
            return true;
        error = system_message(errno);
        return false;
    }

  private:
    descriptor fd_;
};

// Opens the directory that holds the entry at `path`, one name at a time
// from "/" and never through a link, so that what restore creates lands in
// the very tree the journal names. Search permission is all it needs.
// False with `status` and `detail` when that directory cannot be reached.
bool open_parent(const std::string &path, descriptor &parent, std::string &name,
                 restore_status &status, std::string &detail) {
    std::vector<std::string> names;
    for (const std::string_view each : path_names(path))
        if (each != ".") // names nothing of its own
            names.emplace_back(each);
    if (names.empty()) { // "/" itself
        status = restore_status::exists;
        return false;
    }
    parent.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string reached;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        if (parent.get() < 0) {
            status = restore_status::failed;
            detail = failure(reached.empty() ? "/" : reached.c_str(), errno);
            return false;
        }
        reached += '/';
        reached += names[i];
        const int next =
            openat(parent.get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            status = restore_status::parent_missing;
            return false;
        }
        if (next < 0 && (errno == ENOTDIR || errno == ELOOP)) {
            status = restore_status::blocked;
            detail = reached;
            return false;
        }
        parent.reset(next);
    }
    if (parent.get() < 0) {
        status = restore_status::failed;
        detail = system_message(errno);
        return false;
    }
    name = names.back();
    return true;
}

// What a failed exclusive creation means for a restore: the entry is
// there already, its parent is gone, or the system said no.
restore_status creation_failure(int error, std::string &detail) {
    if (error == EEXIST)
        return restore_status::exists;
    if (error == ENOENT)
        return restore_status::parent_missing;
    detail = system_message(error);
    return restore_status::failed;
}

// Gives the object open as `fd` the journal's owner, permissions and times.
// Owner and group are set where the process may set them; where it may not,
// the entry keeps the ones it got, with a note in `detail`.
restore_status set_metadata(int fd, const journal_entry &entry, std::string &detail) {
    // The owner first: changing it clears the set-id bits that the
    // permissions then set.
    if (fchown(fd, entry.uid, entry.gid) != 0) {
        if (errno != EPERM) {
            detail = failure("owner and group not set", errno);
            return restore_status::incomplete;
        }
        (void)fchown(fd, static_cast<uid_t>(-1), entry.gid); // the group alone may be ours
        struct stat st;
        if (fstat(fd, &st) == 0 && (st.st_uid != entry.uid || st.st_gid != entry.gid)) {
            detail = "owner ";
            detail += std::to_string(entry.uid) + ':' + std::to_string(entry.gid);
            detail += " not permitted, left as ";
            detail += std::to_string(st.st_uid) + ':' + std::to_string(st.st_gid);
        }
    }
    if (fchmod(fd, static_cast<mode_t>(entry.mode)) != 0) {
        detail = failure("permissions not set", errno);
        return restore_status::incomplete;
    }
    const struct timespec times[2] = {timespec_of(entry.atime), timespec_of(entry.mtime)};
    if (futimens(fd, times) != 0) {
        detail = failure("times not set", errno);
        return restore_status::incomplete;
    }
    return restore_status::recreated;
}

} // namespace

bool is_path_separator(char c) { return c == '/'; }

bool is_absolute_path(const std::string &path) { return !path.empty() && path[0] == '/'; }

bool read_entry_metadata(journal_entry &entry, std::string &error) {
    struct stat st;
    if (lstat(entry.path.c_str(), &st) != 0) {
        error = system_message(errno);
        return false;
    }
    entry.mode = static_cast<uint32_t>(st.st_mode & 07777);
    entry.uid = static_cast<uint32_t>(st.st_uid);
    entry.gid = static_cast<uint32_t>(st.st_gid);
    entry.atime = time_of(st.st_atim);
    entry.mtime = time_of(st.st_mtim);
    return true;
}

void write_platform_members(json_writer &writer, const journal_entry &entry) {
    writer.Key("mode");
    writer.Uint(entry.mode);
    writer.Key("uid");
    writer.Uint(entry.uid);
    writer.Key("gid");
    writer.Uint(entry.gid);
}

bool read_platform_members(const rapidjson::Value &line, journal_entry &entry, std::string &error) {
    if (!read_uint32(line, "mode", entry.mode, error) ||
        !read_uint32(line, "uid", entry.uid, error) || !read_uint32(line, "gid", entry.gid, error))
        return false;
    if (entry.mode > 07777) {
        error = "\"mode\" holds more than permission bits";
        return false;
    }
    return true;
}

std::unique_ptr<journal_file> create_journal_file(const std::string &path, std::string &error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno == EEXIST ? "exists; a journal is always a new file" : system_message(errno);
        return nullptr;
    }
    return std::make_unique<posix_journal_file>(fd);
}

bool read_whole_file(const std::string &path, std::string &text, std::string &error) {
    const descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        error = system_message(errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = system_message(errno);
            return false;
        }
        if (n == 0)
            return true;
        text.append(buffer, static_cast<size_t>(n));
    }
}

restore_status create_dir(const journal_entry &entry, created_identity &id, std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, parent, name, status, detail))
        return status;
    // Owner-only until its metadata is set, after its children exist: a
    // directory that was read-only must still take them.
    if (mkdirat(parent.get(), name.c_str(), 0700) != 0)
        return creation_failure(errno, detail);
    struct stat st;
    if (fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        detail = system_message(errno);
        return restore_status::incomplete;
    }
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.object = static_cast<uint64_t>(st.st_ino);
    return restore_status::recreated;
}

restore_status create_file(const journal_entry &entry, std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, parent, name, status, detail))
        return status;
    const descriptor fd(openat(parent.get(), name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return creation_failure(errno, detail);
    return set_metadata(fd.get(), entry, detail);
}

restore_status set_dir_metadata(const journal_entry &entry, const created_identity &id,
                                std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, parent, name, status, detail)) {
        detail = "metadata not set, the way to it changed since it was recreated";
        return restore_status::incomplete;
    }
    const descriptor fd(
        openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 ||
        static_cast<uint64_t>(st.st_dev) != id.volume ||
        static_cast<uint64_t>(st.st_ino) != id.object) {
        detail = "metadata not set, it was replaced since it was recreated";
        return restore_status::incomplete;
    }
    return set_metadata(fd.get(), entry, detail);
}

} // namespace edclean_tool
