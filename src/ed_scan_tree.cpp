#include "ed_scan_tree.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "ed_platform.h"
#include "ed_scan_path.h"

namespace {

struct dir_closer {
    void operator()(ed_dir *dir) const noexcept { ed_closedir(dir); }
};
using dir_stream = std::unique_ptr<ed_dir, dir_closer>;

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

struct walk {
    const ed_scan_opts *opts;
    ed_strlist *empty_dirs;
    ed_strlist *zero_files;
    int32_t *counter;
    ed_scan_index *index;
};

// 1 empty, 0 not empty, -1 cannot be opened.
int scan_dir_postorder(const walk &w, const char *path) {
    if (w.counter != nullptr)
        *w.counter = static_cast<int32_t>(static_cast<uint32_t>(*w.counter) + 1u);
    dir_stream dir(ed_opendir(path));
    if (!dir)
        return -1;

    int result = 1;
    char child[ED_PATH_BUFFER];
    // Once the directory is known not to be empty the walk still goes on, so
    // that everything listable further down is listed.
    while (const char *name = ed_readdir(dir.get())) {
        if (is_dot_or_dotdot(name))
            continue;
        if (!w.opts->include_hidden && ed_is_hidden_name(name)) {
            result = 0;
            continue;
        }
        ed_stat st;
        if (ed_join_path(child, sizeof child, path, name) != 0 || ed_fill_stat(child, &st) != 0) {
            result = 0;
            continue;
        }
        switch (st.st_mode & ED_S_IFMT) {
        case ED_S_IFDIR:
            if (scan_dir_postorder(w, child) == 1)
                w.index->empty_dirs.append_unique(w.empty_dirs, child);
            else
                result = 0;
            break;
        case ED_S_IFREG:
            result = 0;
            if (w.opts->include_zero_byte && st.st_size == 0)
                w.index->zero_files.append_unique(w.zero_files, child);
            break;
        default: // links are never followed; other kinds are never opened
            result = 0;
            break;
        }
    }
    return result;
}

} // namespace

bool ed_path_index::seed(const ed_strlist *list) noexcept {
    try {
        for (int32_t i = 0; i < list->n; ++i)
            if (list->strs[i] != nullptr)
                held_.insert(list->strs[i]);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void ed_path_index::append_unique(ed_strlist *list, const char *path) noexcept {
    if (held_.find(path) != held_.end())
        return;
    if (ed_strlist_push(list, path) != 0)
        return;
    try {
        held_.insert(list->strs[list->n - 1]);
    } catch (const std::bad_alloc &) {
        // Unindexed, the path could be listed twice later: leave it out.
        std::free(list->strs[--list->n]);
    }
}

int ed_scan_tree(const char *root, const ed_scan_opts *opts, ed_strlist *empty_dirs,
                 ed_strlist *zero_files, int32_t *counter, ed_scan_index *index) {
    if (root == nullptr || opts == nullptr || empty_dirs == nullptr || zero_files == nullptr)
        return -1;
    std::unique_ptr<ed_scan_index> own_index;
    if (index == nullptr) {
        own_index.reset(new (std::nothrow) ed_scan_index);
        if (!own_index || !own_index->empty_dirs.seed(empty_dirs) ||
            !own_index->zero_files.seed(zero_files))
            return -1;
        index = own_index.get();
    }
    const walk w{opts, empty_dirs, zero_files, counter, index};
    if (scan_dir_postorder(w, root) == 1)
        index->empty_dirs.append_unique(empty_dirs, root);
    return 0;
}

int ed_dir_still_empty(const char *path, int include_hidden) {
    dir_stream dir(ed_opendir(path));
    if (!dir)
        return 0;
    char child[ED_PATH_BUFFER];
    while (const char *name = ed_readdir(dir.get())) {
        if (is_dot_or_dotdot(name))
            continue;
        if (!include_hidden && ed_is_hidden_name(name))
            return 0;
        ed_stat st;
        if (ed_join_path(child, sizeof child, path, name) != 0 || ed_fill_stat(child, &st) != 0)
            return 0;
        if ((st.st_mode & ED_S_IFMT) != ED_S_IFDIR || !ed_dir_still_empty(child, include_hidden))
            return 0;
    }
    return 1;
}
