// Fails the Nth allocation, for every N along a scan and a delete call, and
// checks that each failure ends in a documented result: no crash, and every
// block the call allocated is released again.
//
// The program replaces malloc and friends (glibc allows it) with versions
// that count, fail on request, and remember which blocks the call under test
// still holds. Sanitizer builds bring their own allocator and skip it.
#include <gtest/gtest.h>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"
#include "test_support.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

// Blocks allocated while armed, in an open-addressing table that itself
// never allocates.
constexpr size_t kSlots = size_t{1} << 20;
uintptr_t g_live[kSlots];
std::atomic<bool> g_armed{false};
std::atomic<long> g_countdown{0}; // the allocation that fails is the one that takes it to 0
std::atomic<long> g_failures{0};
std::atomic<long> g_outstanding{0};
std::atomic_flag g_table_lock = ATOMIC_FLAG_INIT;

size_t slot_of(uintptr_t p) { return (p >> 4) * 0x9E3779B97F4A7C15ull >> 44 & (kSlots - 1); }

void remember(void *p) {
    while (g_table_lock.test_and_set(std::memory_order_acquire)) {
    }
    for (size_t i = slot_of(reinterpret_cast<uintptr_t>(p));; i = (i + 1) & (kSlots - 1))
        if (g_live[i] == 0 || g_live[i] == 1) {
            g_live[i] = reinterpret_cast<uintptr_t>(p);
            break;
        }
    ++g_outstanding;
    g_table_lock.clear(std::memory_order_release);
}

void forget(void *p) {
    while (g_table_lock.test_and_set(std::memory_order_acquire)) {
    }
    for (size_t i = slot_of(reinterpret_cast<uintptr_t>(p)); g_live[i] != 0;
         i = (i + 1) & (kSlots - 1))
        if (g_live[i] == reinterpret_cast<uintptr_t>(p)) {
            g_live[i] = 1; // a tombstone keeps later probes going
            --g_outstanding;
            break;
        }
    g_table_lock.clear(std::memory_order_release);
}

bool should_fail() {
    if (!g_armed.load(std::memory_order_relaxed))
        return false;
    if (g_countdown.fetch_sub(1) == 1) {
        ++g_failures;
        errno = ENOMEM; // as the real allocator reports it
        return true;
    }
    return false;
}

} // namespace

extern "C" void *malloc(size_t size) {
    if (should_fail())
        return nullptr;
    void *p = __libc_malloc(size);
    if (p != nullptr && g_armed)
        remember(p);
    return p;
}

extern "C" void *calloc(size_t n, size_t size) {
    if (should_fail())
        return nullptr;
    void *p = __libc_calloc(n, size);
    if (p != nullptr && g_armed)
        remember(p);
    return p;
}

extern "C" void *realloc(void *old, size_t size) {
    if (should_fail())
        return nullptr;
    void *p = __libc_realloc(old, size);
    if (p != nullptr && g_armed) {
        if (old != nullptr)
            forget(old);
        remember(p);
    }
    return p;
}

extern "C" void free(void *p) {
    if (p != nullptr && g_armed)
        forget(p);
    __libc_free(p);
}

namespace {

struct armed_call {
    explicit armed_call(long fail_at) {
        // The first exception a process throws sets up the unwinder's
        // caches, which live for the process: have that happen unarmed.
        static const bool unwinder_ready = [] {
            try {
                throw std::bad_alloc();
            } catch (const std::bad_alloc &) {
            }
            return true;
        }();
        (void)unwinder_ready;
        std::memset(g_live, 0, sizeof g_live);
        g_outstanding = 0;
        g_failures = 0;
        g_countdown = fail_at;
        g_armed = true;
    }
    ~armed_call() { g_armed = false; }
    bool failed() const { return g_failures.load() > 0; }
};

// Frees a block the armed call returned, so that the table forgets it.
void release_counted(char *text) {
    g_countdown = 0;
    g_armed = true;
    edclean_free_string(text);
    g_armed = false;
}

// The message, copied without allocating.
struct message_copy {
    char text[512];
    message_copy() { std::snprintf(text, sizeof text, "%s", edclean_last_error()); }
};

// What a result lists, each list in byte order (the order of zero-byte files
// is not part of the result's promise), for comparing two results.
std::string listing_of(const char *text) {
    std::optional<edclean_json_io::scan_lists> lists = edclean_json_io::read_scan_result(text);
    if (!lists)
        return std::string("not a result: ") + text;
    std::string listing;
    for (auto &[key, paths] : {std::pair{"empty_dirs", &lists->empty_dirs},
                               std::pair{"zero_files", &lists->zero_files}}) {
        std::sort(paths->begin(), paths->end());
        listing += key;
        for (const std::string &p : *paths)
            listing += "\n  " + p;
        listing += "\n";
    }
    return listing + edtest::numbered("scanned_dirs ", lists->scanned_dirs);
}

// The process's open descriptors; read unarmed, since reading allocates. -1
// when /proc/self/fd cannot be read.
long open_descriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    long count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

// Scans `dirs` with `options` once for each allocation along the call, that
// allocation failing, until a call runs without a failure; each call must
// end in a documented result, and a call that succeeds must list
// `complete`. The number of calls made.
long scan_with_each_failure(const std::string &dirs, const char *options,
                            const std::string &complete) {
    long n = 1;
    for (;; ++n) {
        bool failed;
        char *text;
        message_copy copied;
        const long descriptors = open_descriptors();
        {
            armed_call call(n);
            text = edclean_scan(dirs.c_str(), options);
            copied = message_copy();
            failed = call.failed();
        }
        EXPECT_EQ(open_descriptors(), descriptors) << "allocation " << n << " failed";
        // A result that leaves out what memory did not suffice to list would
        // tell the host that those directories are not empty.
        if (text != nullptr) {
            EXPECT_EQ(listing_of(text), complete)
                << "allocation " << n << " failed, and the call still succeeded";
            release_counted(text);
        }
        // The library keeps the latest scan's patterns for the re-check until
        // the next scan replaces them: a scan without any, counted, gives
        // back whatever it kept.
        g_countdown = 0;
        g_armed = true;
        edclean_free_string(edclean_scan(dirs.c_str(), nullptr));
        g_armed = false;
        const long leaked = g_outstanding.load();
        const std::string error = copied.text;

        EXPECT_EQ(leaked, 0) << "allocation " << n << " failed: blocks left behind";
        // Memory is all that can go wrong here: the input is valid and the
        // roots exist. The result text that cannot be made has its own
        // message.
        if (text == nullptr) {
            EXPECT_TRUE(error == "out of memory" || error == "failed to build result JSON")
                << "allocation " << n << ": " << error;
        }
        if (!failed)
            return n;
    }
}

TEST(AllocationFailure, EveryFailureAlongAScanEndsCleanly) {
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    tree.mkdir("r/c");
    tree.file("r/z");
    tree.file("r/c2/z2");
    for (int i = 0; i < 6; ++i) // subtrees that threads may hand over
        tree.mkdir(edtest::numbered("r/s", i) + "/t");
    const std::string dirs = edtest::json_array({tree.path("r"), tree.path("r/c2")});
    const char *threaded = R"({"include_hidden":false,"threads":4})";
    // Register the roots once, so that the registry, which keeps what it is
    // given for the life of the process, holds nothing new afterwards.
    // Its result is also what every later scan that succeeds must give.
    // Scanning with threads also lets the C library keep the threads'
    // stacks and their thread-local tables for reuse, which is not the
    // call's memory.
    char *first = edclean_scan(dirs.c_str(), threaded);
    ASSERT_NE(first, nullptr) << edclean_last_error();
    const std::string complete = listing_of(first);
    free(first);

    if (open_descriptors() < 0)
        GTEST_SKIP() << "/proc/self/fd cannot be read, so descriptors cannot be counted";
    EXPECT_GT(scan_with_each_failure(dirs, R"({"include_hidden":false})", complete), 10)
        << "the scan should allocate";
    // A failure on any thread ends the call the same way.
    EXPECT_GT(scan_with_each_failure(dirs, threaded, complete), 10) << "the scan should allocate";
}

TEST(AllocationFailure, EveryFailureAlongAScanWithPatternsEndsCleanly) {
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    tree.mkdir("r/node_modules/x");
    tree.file("r/z");
    tree.file("r/c.tmp");
    ASSERT_TRUE(edtest::set_modified_ago(tree.path("r/z"), 2 * 86400)); // the one old entry
    const std::string dirs = edtest::json_array({tree.path("r")});
    const char *options = R"({"exclude":["node_*","*.t[a-z]p","[z-a"],"min_age_seconds":86400,)"
                          R"("include_hidden":1})";
    char *first = edclean_scan(dirs.c_str(), options);
    ASSERT_NE(first, nullptr) << edclean_last_error();
    const std::string complete = listing_of(first);
    free(first);
    // Listed: the one old entry; walked: r, a and b.
    std::string expected("empty_dirs\nzero_files\n  ");
    expected.append(tree.canonical_path("r/z")).append("\nscanned_dirs 3");
    EXPECT_EQ(complete, expected);

    if (open_descriptors() < 0)
        GTEST_SKIP() << "/proc/self/fd cannot be read, so descriptors cannot be counted";
    EXPECT_GT(scan_with_each_failure(dirs, options, complete), 10) << "the scan should allocate";
}

TEST(AllocationFailure, EveryFailureAlongAScanThatReportsWhatItLeftOutEndsCleanly) {
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    tree.mkdir("r/.h");
    tree.file("r/z");
    std::vector<std::string> locked;
    for (int i = 0; i < 7; ++i) { // more than the result names
        locked.push_back(tree.mkdir(edtest::numbered("r/s", i) + "/locked"));
        tree.mkdir(edtest::numbered("r/s", i) + "/t");
        ASSERT_EQ(chmod(locked.back().c_str(), 0), 0);
    }
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string options =
        R"({"report_left_out":true,"threads":4,"progress_fd":)" + std::to_string(ends[1]) + "}";
    {
        const edtest::without_permission_override as_anyone;
        char *first = edclean_scan(dirs.c_str(), options.c_str());
        ASSERT_NE(first, nullptr) << edclean_last_error();
        EXPECT_NE(std::string(first).find(R"("unreadable_dirs":7,)"), std::string::npos) << first;
        const std::string complete = listing_of(first);
        free(first);
        if (open_descriptors() >= 0) {
            EXPECT_GT(scan_with_each_failure(dirs, options.c_str(), complete), 10);
        }
    }
    close(ends[0]);
    close(ends[1]);
    for (const std::string &path : locked)
        chmod(path.c_str(), 0700);
}

// One delete call with the `n`th allocation failing: what it returned and
// said, and whether it held on to a descriptor.
struct armed_delete {
    int32_t removed;
    std::string error;
    bool failed;
    bool descriptors_kept;
};

armed_delete delete_with_failure(long n, bool directories, const std::string &json) {
    armed_delete out{};
    message_copy copied;
    const long descriptors = open_descriptors();
    {
        armed_call call(n);
        out.removed =
            directories ? edclean_delete_dirs(json.c_str()) : edclean_delete_files(json.c_str());
        copied = message_copy();
        out.failed = call.failed();
    }
    out.descriptors_kept = open_descriptors() == descriptors;
    out.error = copied.text;
    return out;
}

TEST(AllocationFailure, EveryFailureAlongADeleteEndsCleanly) {
    edtest::temp_tree tree;
    tree.mkdir("r");
    char *first = edclean_scan(edtest::json_array({tree.path("r")}).c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    free(first);
    const std::string dirs =
        edtest::json_array({tree.path("r/a/b"), tree.path("r/a"), tree.path("r/x")});
    const std::string files = edtest::json_array({tree.path("r/z"), tree.path("r/x")});

    if (open_descriptors() < 0)
        GTEST_SKIP() << "/proc/self/fd cannot be read, so descriptors cannot be counted";

    for (const bool directories : {true, false}) {
        long n = 1;
        for (;; ++n) {
            tree.mkdir("r/a/b");
            tree.file("r/z");
            const armed_delete call =
                delete_with_failure(n, directories, directories ? dirs : files);
            const int32_t removed = call.removed;
            const bool failed = call.failed;
            const std::string &error = call.error;
            EXPECT_TRUE(call.descriptors_kept) << "allocation " << n << " failed";
            EXPECT_EQ(g_outstanding.load(), 0)
                << "allocation " << n << " failed: blocks left behind";
            if (removed < 0) {
                EXPECT_EQ(error, "out of memory") << "allocation " << n;
            } else {
                EXPECT_LE(removed, directories ? 2 : 1);
            }
            if (!failed) {
                EXPECT_EQ(removed, directories ? 2 : 1) << error;
                break;
            }
        }
        EXPECT_GT(n, 5);
    }
}

// Two independent entries, neither of which would be refused with memory
// to spare: whatever single allocation fails, the call says "out of memory"
// and nothing else, and a call that removed one entry before (or after)
// running out says so in its count.
TEST(AllocationFailure, DeleteThatRunsOutPartWayKeepsItsCountAndSaysOutOfMemory) {
    edtest::temp_tree tree;
    tree.mkdir("r");
    char *first = edclean_scan(edtest::json_array({tree.path("r")}).c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    free(first);
    if (open_descriptors() < 0)
        GTEST_SKIP() << "/proc/self/fd cannot be read, so descriptors cannot be counted";

    for (const bool directories : {true, false}) {
        const char *names[] = {"a", "b"};
        const std::string json = edtest::json_array(
            {tree.path(std::string("r/") + names[0]), tree.path(std::string("r/") + names[1])});
        bool saw_partial = false;
        long n = 1;
        for (;; ++n) {
            for (const char *name : names)
                if (directories)
                    tree.mkdir(std::string("r/") + name);
                else
                    tree.file(std::string("r/") + name);
            const armed_delete call = delete_with_failure(n, directories, json);
            const int32_t removed = call.removed;
            const bool failed = call.failed;
            EXPECT_TRUE(call.descriptors_kept) << "allocation " << n << " failed";
            EXPECT_EQ(g_outstanding.load(), 0) << "allocation " << n << " failed: blocks left";
            int32_t gone = 0;
            for (const char *name : names)
                gone += tree.exists(std::string("r/") + name) ? 0 : 1;
            if (!failed) {
                EXPECT_EQ(removed, 2) << call.error;
                EXPECT_EQ(call.error, "");
                break;
            }
            EXPECT_EQ(call.error, "out of memory") << "allocation " << n << ", count " << removed;
            if (removed >= 0)
                EXPECT_EQ(removed, gone) << "allocation " << n << ": the count is what went";
            else
                EXPECT_EQ(gone, 0) << "allocation " << n << ": -1 while entries went";
            saw_partial = saw_partial || removed == 1;
        }
        EXPECT_TRUE(saw_partial) << "some failure must have come between the two removals";
        EXPECT_GT(n, 5);
    }
}

} // namespace

#endif
