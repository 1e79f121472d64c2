#include "ed_clean_remove.h"

#include <algorithm>
#include <cstring>

#include "ed_clean_registry.h"
#include "ed_platform.h"
#include "ed_scan_path.h"
#include "ed_scan_tree.h"
#include "edclean_error.h"

namespace {

size_t depth_of(const char *path) {
    size_t depth = 0;
    for (; *path != '\0'; ++path)
        depth += *path == '/';
    return depth;
}

// Deeper paths first, so listed subdirectories go before their parents;
// equal depths in descending byte order, which keeps equal paths together.
bool removed_before(const char *a, const char *b) {
    a = a != nullptr ? a : "";
    b = b != nullptr ? b : "";
    const size_t depth_a = depth_of(a);
    const size_t depth_b = depth_of(b);
    if (depth_a != depth_b)
        return depth_a > depth_b;
    return std::strcmp(a, b) > 0;
}

// The tests both workers run first: 0 when `path` passed them and its status
// is in `st`, else -1 with the message of the test it failed.
int judge_common(const char *path, ed_stat *st) {
    if (ed_path_has_dotdot(path)) {
        ed_set_error("refused: path contains ..");
        return -1;
    }
    if (!ed_is_under_scanned_root(path)) {
        ed_set_error("refused: outside scanned roots");
        return -1;
    }
    if (ed_fill_stat(path, st) != 0) {
        ed_set_error("path not found");
        return -1;
    }
    if ((st->st_mode & ED_S_IFMT) == ED_S_IFLNK) {
        ed_set_error("refused: symlink");
        return -1;
    }
    return 0;
}

bool remove_dir(const char *path, int include_hidden) {
    ed_stat st;
    if (judge_common(path, &st) != 0)
        return false;
    if ((st.st_mode & ED_S_IFMT) != ED_S_IFDIR) {
        ed_set_error("refused: not a directory");
        return false;
    }
    if (ed_is_system_root(path)) {
        ed_set_error("refused: system root");
        return false;
    }
    if (!ed_dir_still_empty(path, include_hidden)) {
        ed_set_error("refused: directory no longer empty (TOCTOU)");
        return false;
    }
    // Anything created since the re-check makes the platform refuse.
    if (ed_remove_dir(path) != 0) {
        ed_set_error("rmdir failed");
        return false;
    }
    return true;
}

bool remove_file(const char *path) {
    ed_stat st;
    if (judge_common(path, &st) != 0)
        return false;
    if ((st.st_mode & ED_S_IFMT) != ED_S_IFREG) {
        ed_set_error("refused: not a regular file");
        return false;
    }
    if (st.st_size != 0) {
        ed_set_error("refused: file size != 0");
        return false;
    }
    switch (ed_remove_empty_file(path)) {
    case ED_FILE_REMOVED:
        return true;
    case ED_FILE_NOT_EMPTY: // written to since the test above
        ed_set_error("refused: file size != 0");
        return false;
    case ED_FILE_FAILED:
        break;
    }
    ed_set_error("unlink failed");
    return false;
}

} // namespace

int32_t ed_delete_dirs_list(char **paths, int32_t count, int include_hidden) {
    if (paths == nullptr || count < 0) {
        ed_set_error("invalid dirs list");
        return -1;
    }
    std::sort(paths, paths + count, removed_before);
    int32_t removed = 0;
    for (int32_t i = 0; i < count; ++i)
        if (paths[i] != nullptr && paths[i][0] != '\0' && remove_dir(paths[i], include_hidden))
            ++removed;
    return removed;
}

int32_t ed_delete_files_list(char *const *paths, int32_t count) {
    if (paths == nullptr || count < 0) {
        ed_set_error("invalid files list");
        return -1;
    }
    int32_t removed = 0;
    for (int32_t i = 0; i < count; ++i)
        if (paths[i] != nullptr && paths[i][0] != '\0' && remove_file(paths[i]))
            ++removed;
    return removed;
}
