// Linux backend: removal of an object reached again from the pinned root, moved
// aside first, and the descriptors of removed directories closed off the
// call's thread.
#include "platform/linux/internal.h"

using namespace ed_linux;

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
    if (*leaf == '\0' || ed_is_dot_or_dotdot(leaf))
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

unsigned long ed_linux::at_test_moment(ed_test_moment moment) {
    return g_test_hook != nullptr ? g_test_hook(moment, g_test_hook_context) : 0;
}

void ed_set_test_hook(ed_test_hook hook, void *context) {
    g_test_hook = hook;
    g_test_hook_context = context;
}

const char *ed_test_aside_name() { return g_test_aside_name; }
