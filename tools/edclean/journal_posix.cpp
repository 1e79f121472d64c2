#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
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

// "WHAT (the system's message)", built by appending.
std::string failure(const char *what, int error) {
    std::string text = what;
    text += " (";
    text += system_message(error);
    text += ')';
    return text;
}

object_identity identity_of(const struct stat &st) {
    return object_identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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

    bool identity(object_identity &id) override {
        struct stat st;
        if (fstat(fd_.get(), &st) != 0)
            return false;
        id = identity_of(st);
        return true;
    }

  private:
    descriptor fd_;
};

// Opens the directory that holds the entry at `path`, one name at a time
// from "/" and never through a link, so that what restore creates lands in
// the very tree the journal names. Search permission is all it needs.
// `expected`, when given, is the identity that directory must have. False
// with `status` and `detail` when that directory cannot be reached.
bool open_parent(const std::string &path, const object_identity *expected, descriptor &parent,
                 std::string &name, restore_status &status, std::string &detail) {
    std::vector<std::string> names;
    for (const std::string_view each : path_names(path))
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
    struct stat st;
    if (expected != nullptr && (fstat(parent.get(), &st) != 0 || identity_of(st) != *expected)) {
        status = restore_status::failed;
        detail = "the directory that holds it is no longer the one restore made";
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
        // The group alone may be ours; whether it took is read back below.
        if (fchown(fd, static_cast<uid_t>(-1), entry.gid) != 0) {
        }
        struct stat st;
        if (fstat(fd, &st) == 0 && (st.st_uid != entry.uid || st.st_gid != entry.gid)) {
            detail = "owner ";
            detail += std::to_string(entry.uid) + ':' + std::to_string(entry.gid);
            detail += " not permitted, left as ";
            detail += std::to_string(st.st_uid) + ':' + std::to_string(st.st_gid);
        }
    }
    // A journal is not trusted to hand out privilege: set-user-id and
    // set-group-id are never set, nor the sticky bit; a directory that was
    // open to others' writes only under the sticky bit's protection is not
    // opened to them without it.
    mode_t mode = static_cast<mode_t>(entry.mode) & 0777;
    if ((entry.mode & S_ISVTX) != 0 && entry.kind == entry_kind::dir)
        mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
    if (mode != entry.mode) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "set-id and sticky bits not restored, permissions %04o in place of %04o",
                      static_cast<unsigned>(mode), static_cast<unsigned>(entry.mode));
        detail += detail.empty() ? "" : ", ";
        detail += text;
    }
    if (fchmod(fd, mode) != 0) {
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
    // One query: identity and metadata come from the same object.
    struct stat st;
    if (lstat(entry.path.c_str(), &st) != 0) {
        error = system_message(errno);
        return false;
    }
    entry.id = identity_of(st);
    entry.mode = static_cast<uint32_t>(st.st_mode & 07777);
    entry.uid = static_cast<uint32_t>(st.st_uid);
    entry.gid = static_cast<uint32_t>(st.st_gid);
    entry.atime = time_of(st.st_atim);
    entry.mtime = time_of(st.st_mtim);
    return true;
}

bool canonical_root(const std::string &root, std::string &canonical, std::string &error) {
    char *resolved = realpath(root.c_str(), nullptr);
    if (resolved == nullptr) {
        error = system_message(errno);
        return false;
    }
    canonical = resolved;
    std::free(resolved);
    return true;
}

void write_user(json_writer &writer) {
    const uid_t uid = geteuid();
    writer.StartObject();
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        writer.Key("name");
        writer.String(found->pw_name);
    }
    writer.Key("uid");
    writer.Uint(static_cast<unsigned>(uid));
    writer.EndObject();
}

void test_pause(const char *point) {
#ifdef EDCLEAN_TEST_HOOKS
    const char *setting = std::getenv("EDCLEAN_TEST_PAUSE");
    const size_t length = std::strlen(point);
    if (setting == nullptr || std::strncmp(setting, point, length) != 0 || setting[length] != ':')
        return;
    const std::string dir = setting + length + 1;
    const descriptor ready(open((dir + "/ready").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    while (access((dir + "/go").c_str(), F_OK) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
#else
    (void)point;
#endif
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
    // Only its maker may read it: it names every path removed and whose it was.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno == EEXIST ? "exists; a journal is always a new file" : system_message(errno);
        return nullptr;
    }
    return std::make_unique<posix_journal_file>(fd);
}

journal_read_failure read_journal_file(const std::string &path, std::string &text,
                                       std::string &error) {
    // Not blocking: a FIFO named as the journal must not hold restore up.
    const descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        error = system_message(errno);
        return journal_read_failure::unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return journal_read_failure::untrusted;
    }
    // As root a journal's lines become owners and permissions: only one that
    // root wrote and nobody else can change may give them (the rule sudo
    // keeps for its configuration).
    if (geteuid() == 0 && st.st_uid != 0) {
        error = "owned by user " + std::to_string(st.st_uid) + ", not by root, which runs restore";
        return journal_read_failure::untrusted;
    }
    if (geteuid() == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "writable by others than its owner";
        return journal_read_failure::untrusted;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = system_message(errno);
            return journal_read_failure::unreadable;
        }
        if (n == 0)
            return journal_read_failure::none;
        text.append(buffer, static_cast<size_t>(n));
    }
}

namespace {

// A directory of restore's own beside the entries it makes, from which each
// new directory is moved into place: nobody but this process may create,
// rename or replace anything in it, so what is made in it is provably the
// object restore made, whatever happens at the names others can reach.
class private_place {
  public:
    // Makes it in `parent`; false with `detail`.
    bool make(int parent, std::string &detail) {
        static std::atomic<unsigned> serial{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ =
                ".edclean-restoring-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
            if (mkdirat(parent, name_.c_str(), 0700) == 0)
                break;
            if (errno != EEXIST) {
                detail = system_message(errno);
                return false;
            }
            name_.clear();
        }
        if (name_.empty()) {
            detail = "no free name for a directory of restore's own";
            return false;
        }
        parent_ = parent;
        // Another user may have put a directory of their own at the name; one
        // this process owns, that nobody else may enter, keeps its promise
        // whoever made it.
        fd_.reset(openat(parent, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (fd_.get() < 0 || fstat(fd_.get(), &st) != 0 || st.st_uid != geteuid() ||
            (st.st_mode & 077) != 0 || fchmod(fd_.get(), 0700) != 0) {
            detail = "a directory of restore's own was taken over by another";
            fd_.reset();
            name_.clear(); // not ours: left alone
            return false;
        }
        return true;
    }
    ~private_place() {
        // Only an empty directory goes, by a name nobody else may take away
        // from a place they could not remove it from anyway.
        if (!name_.empty())
            unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
    }
    int get() const { return fd_.get(); }

  private:
    int parent_ = -1;
    std::string name_;
    descriptor fd_;
};

} // namespace

restore_status create_dir(const journal_entry &entry, const object_identity *parent_id,
                          object_identity &id, std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, parent_id, parent, name, status, detail))
        return status;
    // Quick answer for the common case; the move below decides.
    struct stat st;
    if (fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return restore_status::exists;
    private_place place;
    if (!place.make(parent.get(), detail))
        return restore_status::failed;
    // Owner-only until its metadata is set, after its children exist: a
    // directory that was read-only must still take them.
    if (mkdirat(place.get(), name.c_str(), 0700) != 0)
        return creation_failure(errno, detail);
    const descriptor made(
        openat(place.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made.get() < 0 || fstat(made.get(), &st) != 0 || fchmod(made.get(), 0700) != 0) {
        detail = system_message(errno);
        unlinkat(place.get(), name.c_str(), AT_REMOVEDIR);
        return restore_status::failed;
    }
    id = identity_of(st);
    // Into place without replacing anything that arrived there meanwhile.
    if (renameat2(place.get(), name.c_str(), parent.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        unlinkat(place.get(), name.c_str(), AT_REMOVEDIR);
        if (error == EINVAL) {
            detail = "the file system cannot move a directory without replacing";
            return restore_status::failed;
        }
        return creation_failure(error, detail);
    }
    test_pause("dir-created");
    return restore_status::recreated;
}

restore_status create_file(const journal_entry &entry, const object_identity *parent_id,
                           std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, parent_id, parent, name, status, detail))
        return status;
    const descriptor fd(openat(parent.get(), name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return creation_failure(errno, detail);
    return set_metadata(fd.get(), entry, detail);
}

restore_status set_dir_metadata(const journal_entry &entry, const object_identity &id,
                                std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, nullptr, parent, name, status, detail)) {
        detail = "metadata not set, the way to it changed since it was recreated";
        return restore_status::incomplete;
    }
    const descriptor fd(
        openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || identity_of(st) != id) {
        detail = "metadata not set, it was replaced since it was recreated";
        return restore_status::incomplete;
    }
    return set_metadata(fd.get(), entry, detail);
}

restore_status set_parent_times(const journal_entry &entry, std::string &detail) {
    descriptor parent;
    std::string name;
    restore_status status;
    if (!open_parent(entry.path, nullptr, parent, name, status, detail)) {
        if (status == restore_status::parent_missing)
            detail = "the way to it is missing";
        return restore_status::failed;
    }
    const descriptor fd(
        openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        detail = system_message(errno);
        return restore_status::failed;
    }
    if (identity_of(st) != entry.id) {
        detail = "it is not the directory the clean saw";
        return restore_status::failed;
    }
    const struct timespec times[2] = {timespec_of(entry.atime), timespec_of(entry.mtime)};
    if (futimens(fd.get(), times) != 0) {
        detail = system_message(errno);
        return restore_status::failed;
    }
    return restore_status::recreated;
}

} // namespace edclean_tool
