#include "ed_clean_remove.h"

#include <algorithm>
#include <cstring>
#include <memory>

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

// The tests both workers run first: 0 when `path` passed them, with its
// status in `st` and where the registry found it in `where`, else -1 with the
// message of the test it failed.
int judge_common(const char *path, ed_stat *st, ed_scanned_location *where) {
    if (ed_path_has_dotdot(path)) {
        ed_set_error("refused: path contains ..");
        return -1;
    }
    if (!ed_locate_under_scanned_root(path, where)) {
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

struct target_closer {
    void operator()(ed_target *target) const noexcept { ed_target_close(target); }
};
struct dir_closer {
    void operator()(ed_dir *dir) const noexcept { ed_closedir(dir); }
};

// The last tests, run again on the object removal opened, with the message a
// failure would have had when the path was judged by name.
bool report_target(ed_target_status status, const char *wrong_kind, const char *not_empty,
                   const char *failed) {
    switch (status) {
    case ED_TARGET_OK:
        return true;
    case ED_TARGET_LINK:
        ed_set_error("refused: symlink");
        return false;
    case ED_TARGET_WRONG_KIND:
        ed_set_error("%s", wrong_kind);
        return false;
    case ED_TARGET_NOT_EMPTY:
        ed_set_error("%s", not_empty);
        return false;
    case ED_TARGET_FAILED:
        break;
    }
    ed_set_error("%s", failed);
    return false;
}

constexpr const char *kNoLongerEmpty = "refused: directory no longer empty (TOCTOU)";

bool remove_dir(const char *path, int include_hidden) {
    ed_stat st;
    ed_scanned_location where;
    if (judge_common(path, &st, &where) != 0)
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
        ed_set_error("%s", kNoLongerEmpty);
        return false;
    }
    // Reach the directory again from its root, never through a link, and
    // judge what was opened: the name may have been swapped since.
    ed_target_status status;
    std::unique_ptr<ed_target, target_closer> target(
        ed_target_open_dir(where.root.get(), where.object.get(), path, &status));
    if (!report_target(status, "refused: not a directory", kNoLongerEmpty, "rmdir failed"))
        return false;
    std::unique_ptr<ed_dir, dir_closer> entries(ed_target_opendir(target.get()));
    if (!entries || !ed_stream_still_empty(entries.get(), path, include_hidden)) {
        ed_set_error("%s", kNoLongerEmpty);
        return false;
    }
    // Anything created since the re-check makes the platform refuse.
    if (ed_target_remove_dir(target.get()) != 0) {
        ed_set_error("rmdir failed");
        return false;
    }
    return true;
}

bool remove_file(const char *path) {
    ed_stat st;
    ed_scanned_location where;
    if (judge_common(path, &st, &where) != 0)
        return false;
    if ((st.st_mode & ED_S_IFMT) != ED_S_IFREG) {
        ed_set_error("refused: not a regular file");
        return false;
    }
    if (st.st_size != 0) {
        ed_set_error("refused: file size != 0");
        return false;
    }
    return report_target(ed_remove_file_beneath(where.root.get(), where.object.get(), path),
                         "refused: not a regular file", "refused: file size != 0", "unlink failed");
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
