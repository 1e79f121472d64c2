// The still-empty re-check that removal runs before it removes a directory:
// the scan's rule for an empty directory, asked again of the disk as it is
// now, stopping at the first content.
#include <cstddef>

#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"
#include "scan/ed_walk.h"
#include "scan/ed_walk_internal.h"

namespace {

// 1 when the open directory at `path` holds nothing but directories that
// hold nothing, recursively; stops at the first content.
int still_empty_entries(ed_dir *dir, ed_path_builder &path, int include_hidden,
                        const ed_name_filter *exclude) {
    const size_t length = path.length();
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir, &hint)) {
        if (ed_is_dot_or_dotdot(name))
            continue;
        if (ed_is_unnameable_entry(name) || (!include_hidden && ed_is_hidden_name(name)) ||
            ed_name_excluded(exclude, name))
            return 0;
        if (!path.push(name))
            return 0;
        ed_stat st;
        if (!ed_entry_kind(dir, name, hint, false, &st) || (st.st_mode & ED_S_IFMT) != ED_S_IFDIR)
            return 0;
        ed_dir_stream child(ed_opendir_at(dir, name));
        if (!child || !still_empty_entries(child.get(), path, include_hidden, exclude))
            return 0;
        path.pop_to(length);
    }
    return 1;
}

} // namespace

int ed_dir_still_empty(const char *path, int include_hidden, const ed_name_filter *exclude) {
    ed_dir_stream dir(ed_opendir(path));
    return dir ? ed_stream_still_empty(dir.get(), path, include_hidden, exclude) : 0;
}

int ed_stream_still_empty(ed_dir *dir, const char *path, int include_hidden,
                          const ed_name_filter *exclude) {
    if (dir == nullptr || path == nullptr)
        return 0;
    ed_path_builder builder;
    builder.init(path);
    return still_empty_entries(dir, builder, include_hidden, exclude);
}
