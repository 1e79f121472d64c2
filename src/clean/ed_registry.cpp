#include "clean/ed_registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/ed_path_rules.h"
#include "core/ed_strlist.h"

namespace {

constexpr int32_t kFirstCapacity = 8;
constexpr int32_t kMaxCapacity = int32_t{1} << 30;

struct registered_root {
    char *text; // null when its copy failed
    ed_file_id id;
};

// Process-wide, zero at load, never released: roots accumulate for as long
// as the library stays loaded.
registered_root *g_roots = nullptr;
int32_t g_n_roots = 0;
int32_t g_cap_roots = 0;
std::shared_mutex g_roots_lock;

std::mutex g_last_rules_lock;
ed_recheck_rules g_last_rules; // guarded by g_last_rules_lock

registered_root *find_registered(const char *root) {
    for (int32_t i = 0; i < g_n_roots; ++i)
        if (g_roots[i].text != nullptr && std::strcmp(g_roots[i].text, root) == 0)
            return &g_roots[i];
    return nullptr;
}

ed_heap_text copy_of(const char *text) {
    ed_heap_text copy(ed_strdup(text));
    if (!copy)
        throw std::bad_alloc();
    return copy;
}

// The canonical form of a path whose object cannot be queried: its parent's
// canonical path and its leaf. A path longer than the walks' limit is judged
// by its first ED_PATH_LIMIT bytes.
ed_heap_text candidate_for_missing(const char *path) {
    char copy[ED_PATH_BUFFER];
    std::strncpy(copy, path, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';
    char *slash = std::strrchr(copy, '/');
    if (slash == nullptr)
        return nullptr;
    if (slash == copy)
        return copy_of(path);
    *slash = '\0';
    const char *leaf = slash + 1;
    // A parent "C:" stands for the drive's root here, not for the drive's
    // current directory: the missing object was named below the root.
    char drive_root[4] = {copy[0], ':', '/', '\0'};
    const bool bare_drive = ed_backslash_separates && slash == copy + 2 && copy[1] == ':';
    ed_heap_text canonical_parent(ed_canonical_path(bare_drive ? drive_root : copy));
    if (!canonical_parent)
        return nullptr;
    const size_t size = std::strlen(canonical_parent.get()) + std::strlen(leaf) + 2;
    ed_heap_text candidate(static_cast<char *>(std::malloc(size)));
    if (!candidate)
        throw std::bad_alloc();
    if (ed_join_path(candidate.get(), size, canonical_parent.get(), leaf) != 0)
        return nullptr;
    return candidate;
}

// `path` without trailing "/" and "/." (which name what a link at the end
// leads to, the status query judges the link itself): "link/" is "link".
std::string without_trailing_separators(const char *path) {
    std::string text(path);
    for (;;) {
        if (text.size() > 1 && text.back() == '/')
            text.pop_back();
        else if (text.size() > 2 && text.compare(text.size() - 2, 2, "/.") == 0)
            text.resize(text.size() - 2);
        else
            return text;
    }
}

// The part of `candidate` below `root` (which contains it): "" for the root
// itself.
const char *below(const char *candidate, const char *root) {
    const char *rest = candidate + std::strlen(root);
    return *rest == '/' ? rest + 1 : rest;
}

} // namespace

void ed_register_scanned_roots(const char *const *roots, const ed_file_id *ids, int32_t count) {
    if (roots == nullptr || ids == nullptr || count <= 0)
        return;
    std::unique_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < count; ++i) {
        const char *root = roots[i];
        if (root == nullptr)
            continue;
        if (registered_root *known = find_registered(root)) {
            known->id = ids[i];
            continue;
        }
        if (g_n_roots >= g_cap_roots) {
            if (g_cap_roots >= kMaxCapacity)
                return;
            const int32_t grown = g_cap_roots == 0 ? kFirstCapacity : g_cap_roots * 2;
            void *array =
                std::realloc(g_roots, sizeof(registered_root) * static_cast<size_t>(grown));
            if (array == nullptr)
                return;
            g_roots = static_cast<registered_root *>(array);
            g_cap_roots = grown;
        }
        g_roots[g_n_roots++] = registered_root{ed_strdup(root), ids[i]};
    }
}

void ed_register_roots(const char *const *roots, int32_t count) {
    if (roots == nullptr || count <= 0)
        return;
    std::vector<ed_file_id> ids(static_cast<size_t>(count), ed_file_id{});
    for (int32_t i = 0; i < count; ++i) {
        char *canonical = nullptr;
        if (roots[i] != nullptr &&
            ed_inspect_root(roots[i], &canonical, &ids[static_cast<size_t>(i)]) ==
                ED_ROOT_DIRECTORY)
            std::free(canonical);
    }
    ed_register_scanned_roots(roots, ids.data(), count);
}

int ed_locate_under_scanned_root(const char *path, ed_scanned_location *where) {
    if (path == nullptr || *path == '\0' || ed_path_has_dotdot(path))
        return 0;
    ed_stat st;
    ed_heap_text candidate;
    if (ed_fill_stat(path, &st) != 0) {
        candidate = candidate_for_missing(path);
    } else {
        candidate.reset(ed_canonical_path(path));
        // A link whose target cannot be resolved (a loop, or a target behind
        // a directory that may not be searched) has no place of its own to
        // judge it by but where the link itself is: judged there, inside a
        // tree it is refused as the link it is.
        if (!candidate && (st.st_mode & ED_S_IFMT) == ED_S_IFLNK)
            candidate = candidate_for_missing(without_trailing_separators(path).c_str());
    }
    if (!candidate)
        return 0;
    std::shared_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < g_n_roots; ++i) {
        const registered_root &root = g_roots[i];
        if (root.text == nullptr || !ed_path_under_root(candidate.get(), root.text))
            continue;
        // The directory at the root's path must still be the one scanned:
        // a tree moved in under that name was never accepted.
        ed_root_pin pinned(ed_pin_root(root.text, &root.id));
        if (!pinned)
            continue;
        if (where != nullptr) {
            where->relative = below(candidate.get(), root.text);
            where->object = std::move(candidate);
            where->root = std::move(pinned);
            where->root_id = root.id;
        }
        return 1;
    }
    return 0;
}

ed_target *ed_reach_under_scanned_root(ed_removal_session *session, const char *path,
                                       bool directory) {
    if (session == nullptr || path == nullptr)
        return nullptr;
    std::shared_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < g_n_roots; ++i) {
        const registered_root &root = g_roots[i];
        if (root.text == nullptr || !ed_path_under_root(path, root.text))
            continue;
        const char *relative = below(path, root.text);
        if (*relative == '\0')
            return nullptr; // the root itself: its place is above the root
        bool root_reached = false;
        ed_target *target =
            ed_target_reach(session, root.text, &root.id, relative, directory, &root_reached);
        if (root_reached)
            return target;
        // Not the directory that was scanned any more: a later root may hold
        // the path, as it would for ed_locate_under_scanned_root().
    }
    return nullptr;
}

int ed_is_under_scanned_root(const char *path) {
    return ed_locate_under_scanned_root(path, nullptr);
}

void ed_clear_roots() {
    std::unique_lock<std::shared_mutex> lock(g_roots_lock);
    for (int32_t i = 0; i < g_n_roots; ++i)
        std::free(g_roots[i].text);
    std::free(g_roots);
    g_roots = nullptr;
    g_n_roots = 0;
    g_cap_roots = 0;
}

ed_recheck_rules ed_last_recheck_rules() {
    std::lock_guard<std::mutex> lock(g_last_rules_lock);
    return g_last_rules;
}

void ed_set_last_recheck_rules(ed_recheck_rules rules) {
    std::lock_guard<std::mutex> lock(g_last_rules_lock);
    // The rules replaced are released after the lock: a delete call may
    // still hold their filter.
    std::swap(g_last_rules, rules);
}
