// Fails the Nth allocation, for every N along a scan and a delete call, and
// checks that each failure ends in a documented result: no crash, and every
// block the call allocated is released again.
//
// The program replaces malloc and friends (glibc allows it) with versions
// that count, fail on request, and remember which blocks the call under test
// still holds. Sanitizer builds bring their own allocator and skip it.
#include <gtest/gtest.h>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <rapidjson/document.h>

#include "edclean.h"
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

// A valid result that lists nothing outside `root`.
bool is_result_within(const char *text, const std::string &root) {
    rapidjson::Document doc;
    doc.Parse(text);
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("empty_dirs"))
        return false;
    for (const char *key : {"empty_dirs", "zero_files"})
        for (const auto &v : doc[key].GetArray())
            if (std::string(v.GetString()).rfind(root, 0) != 0)
                return false;
    return true;
}

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

TEST(AllocationFailure, EveryFailureAlongAScanEndsCleanly) {
    edtest::temp_tree tree;
    tree.mkdir("r/a/b");
    tree.mkdir("r/c");
    tree.file("r/z");
    tree.file("r/c2/z2");
    const std::string dirs = edtest::json_array({tree.path("r"), tree.path("r/c2")});
    // Register the roots once, so that the registry, which keeps what it is
    // given for the life of the process, holds nothing new afterwards.
    char *first = edclean_scan(dirs.c_str(), nullptr);
    ASSERT_NE(first, nullptr) << edclean_last_error();
    free(first);

    long n = 1;
    for (;; ++n) {
        bool failed;
        char *text;
        message_copy copied;
        {
            armed_call call(n);
            text = edclean_scan(dirs.c_str(), R"({"include_hidden":false})");
            copied = message_copy();
            failed = call.failed();
        }
        if (text != nullptr) {
            EXPECT_TRUE(is_result_within(text, tree.canonical_path("r")))
                << "allocation " << n << ": " << text;
            release_counted(text);
        }
        const long leaked = g_outstanding.load();
        const std::string error = copied.text;

        EXPECT_EQ(leaked, 0) << "allocation " << n << " failed: blocks left behind";
        if (text == nullptr) {
            EXPECT_TRUE(error == "out of memory" || error == "invalid json array" ||
                        error == "invalid options_json" || error == "failed to build result JSON" ||
                        starts_with(error, "realpath failed: ") ||
                        starts_with(error, "scan failed under "))
                << "allocation " << n << ": " << error;
        }
        if (!failed)
            break;
    }
    EXPECT_GT(n, 10) << "the scan should allocate";
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

    for (const bool directories : {true, false}) {
        long n = 1;
        for (;; ++n) {
            tree.mkdir("r/a/b");
            tree.file("r/z");
            bool failed;
            int32_t removed;
            message_copy copied;
            {
                armed_call call(n);
                removed = directories ? edclean_delete_dirs(dirs.c_str())
                                      : edclean_delete_files(files.c_str());
                copied = message_copy();
                failed = call.failed();
            }
            const long leaked = g_outstanding.load();
            const std::string error = copied.text;
            EXPECT_EQ(leaked, 0) << "allocation " << n << " failed: blocks left behind";
            if (removed < 0) {
                EXPECT_TRUE(error == "out of memory" || error == "invalid json array")
                    << "allocation " << n << ": " << error;
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

} // namespace

#endif
