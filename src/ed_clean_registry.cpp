#include "ed_clean_registry.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "ed_platform.h"
#include "ed_scan_path.h"
#include "ed_scan_strlist.h"

namespace {

using heap_text = ed_heap_text;

constexpr int32_t kFirstCapacity = 8;
constexpr int32_t kMaxCapacity = int32_t{1} << 30;

// Process-wide, zero at load, never released: roots accumulate for as long
// as the library stays loaded. A null slot is a root whose copy failed.
char **g_roots = nullptr;
int32_t g_n_roots = 0;
int32_t g_cap_roots = 0;
std::shared_mutex g_roots_lock;

std::atomic<int32_t> g_last_include_hidden{0};

bool is_registered(const char *root) {
    for (int32_t i = 0; i < g_n_roots; ++i)
        if (g_roots[i] != nullptr && std::strcmp(g_roots[i], root) == 0)
            return true;
    return false;
}

// The canonical form of a path whose object cannot be queried: its parent's
// canonical path and its leaf. A path longer than the walks' limit is judged
// by its first 259 bytes.
heap_text candidate_for_missing(const char *path) {
    char copy[ED_PATH_BUFFER];
    std::strncpy(copy, path, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';
    char *slash = std::strrchr(copy, '/');
    if (slash == nullptr)
        return nullptr;
    if (slash == copy)
        return heap_text(ed_strdup(path));
    *slash = '\0';
    const char *leaf = slash + 1;
    // A parent "C:" resolves as the drive root (see ed_realpath_win).
    heap_text canonical_parent(ed_realpath_dup(copy));
    if (!canonical_parent)
        return nullptr;
    const size_t size = std::strlen(canonical_parent.get()) + std::strlen(leaf) + 2;
    heap_text candidate(static_cast<char *>(std::malloc(size)));
    if (!candidate || ed_join_path(candidate.get(), size, canonical_parent.get(), leaf) != 0)
        return nullptr;
    return candidate;
}

} // namespace

void ed_register_roots(const char *const *roots, int32_t count) {
    if (roots == nullptr || count <= 0)
        return;
    std::unique_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < count; ++i) {
        const char *root = roots[i];
        if (root == nullptr || is_registered(root))
            continue;
        if (g_n_roots >= g_cap_roots) {
            if (g_cap_roots >= kMaxCapacity)
                return;
            const int32_t grown = g_cap_roots == 0 ? kFirstCapacity : g_cap_roots * 2;
            void *array = std::realloc(g_roots, sizeof(char *) * static_cast<size_t>(grown));
            if (array == nullptr)
                return;
            g_roots = static_cast<char **>(array);
            g_cap_roots = grown;
        }
        g_roots[g_n_roots++] = ed_strdup(root);
    }
}

int ed_locate_under_scanned_root(const char *path, ed_scanned_location *where) {
    if (path == nullptr || *path == '\0' || ed_path_has_dotdot(path))
        return 0;
    ed_stat st;
    heap_text candidate(ed_fill_stat(path, &st) == 0 ? ed_realpath_dup(path)
                                                     : candidate_for_missing(path).release());
    if (!candidate)
        return 0;
    std::shared_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < g_n_roots; ++i) {
        if (g_roots[i] == nullptr || !ed_path_under_root(candidate.get(), g_roots[i]))
            continue;
        if (where != nullptr) {
            where->root.reset(ed_strdup(g_roots[i]));
            if (!where->root)
                return 0;
            where->object = std::move(candidate);
        }
        return 1;
    }
    return 0;
}

int ed_is_under_scanned_root(const char *path) {
    return ed_locate_under_scanned_root(path, nullptr);
}

void ed_clear_roots() {
    std::unique_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < g_n_roots; ++i)
        std::free(g_roots[i]);
    std::free(g_roots);
    g_roots = nullptr;
    g_n_roots = 0;
    g_cap_roots = 0;
}

int32_t ed_last_include_hidden() { return g_last_include_hidden.load(); }

void ed_set_last_include_hidden(int32_t include_hidden) {
    g_last_include_hidden.store(include_hidden);
}
