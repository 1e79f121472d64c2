#include "scan/ed_walk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"

namespace {

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The path of the directory being walked, extended in place by one entry
// name at a time. An entry whose joined path would not fit the walks' limit
// (ED_PATH_LIMIT) is never examined.
class path_builder {
  public:
    // Throws std::bad_alloc when memory is short.
    void init(const char *dir) {
        length_ = std::strlen(dir);
        // Room for the directory itself, or for any path within the limit.
        text_.reset(new char[std::max(length_, ED_PATH_BUFFER - 1) + 1]);
        std::memcpy(text_.get(), dir, length_ + 1);
    }
    const char *c_str() const { return text_.get(); }
    size_t length() const { return length_; }

    // Appends "/name" (no '/' after a path that ends in one); false, and
    // nothing changed, when the joined path would exceed the limit.
    bool push(const char *name) {
        const size_t separator = length_ > 0 && text_[length_ - 1] == '/' ? 0 : 1;
        const size_t name_length = std::strlen(name);
        const size_t joined = length_ + separator + name_length;
        if (joined >= ED_PATH_BUFFER)
            return false;
        if (separator)
            text_[length_] = '/';
        std::memcpy(text_.get() + length_ + separator, name, name_length + 1);
        length_ = joined;
        return true;
    }
    void pop_to(size_t length) {
        length_ = length;
        text_[length_] = '\0';
    }

  private:
    std::unique_ptr<char[]> text_;
    size_t length_ = 0;
};

// The kind of an entry, from the stream where it knows it and from a status
// query otherwise. The size matters only for regular files that may be listed.
bool entry_kind(ed_dir *dir, const char *name, ed_entry_hint hint, bool need_size, ed_stat *st) {
    switch (hint) {
    case ED_HINT_DIR:
        st->st_mode = ED_S_IFDIR;
        return true;
    case ED_HINT_LNK:
        st->st_mode = ED_S_IFLNK;
        return true;
    case ED_HINT_OTHER:
        st->st_mode = 0;
        return true;
    case ED_HINT_REG_DATA:
        st->st_mode = ED_S_IFREG;
        st->st_size = 1; // some data: all that matters of its size
        return true;
    case ED_HINT_REG:
        if (!need_size) {
            st->st_mode = ED_S_IFREG;
            return true;
        }
        break;
    case ED_HINT_UNKNOWN:
        break;
    }
    return ed_fill_stat_at(dir, name, st) == 0;
}

struct walk {
    const ed_scan_opts *opts;
    ed_scan_result *result;

    void count() const {
        result->scanned_dirs =
            static_cast<int32_t>(static_cast<uint32_t>(result->scanned_dirs) + 1u);
    }
    void list_dir(const char *path) const {
        result->index.empty_dirs.append_unique(result->empty_dirs.get(), path);
    }
    void list_file(const char *path) const {
        result->index.zero_files.append_unique(result->zero_files.get(), path);
    }
    // Under the age guard: the entry `name` of `dir` (null: `dir` itself) was
    // modified too recently, or its time cannot be read. Without the guard
    // nothing is asked.
    bool young(ed_dir *dir, const char *name) const {
        if (opts->min_age_seconds <= 0)
            return false;
        ed_time modified;
        return ed_modified_at(dir, name, &modified) != 0 || modified > opts->young_after;
    }
};

int scan_entries(const walk &w, ed_dir *dir, path_builder &path);

// Walks the subdirectory `name` of `parent`, whose path `path` holds.
// 1 empty, 0 not empty (or empty but young under the age guard), -1 cannot
// be opened.
int scan_subdir(const walk &w, ed_dir *parent, const char *name, path_builder &path) {
    ed_dir_stream dir(ed_opendir_at(parent, name));
    if (!dir) {
        // Counted like every directory that is still one; one that vanished
        // since it was listed, or that another file system is mounted on
        // (the kind of a link, as a mounted folder on Windows), is not.
        ed_stat st;
        if (ed_fill_stat_at(parent, name, &st) == 0 && (st.st_mode & ED_S_IFMT) == ED_S_IFDIR)
            w.count();
        return -1;
    }
    w.count();
    const int empty = scan_entries(w, dir.get(), path);
    return empty == 1 && w.young(dir.get(), nullptr) ? 0 : empty;
}

// Decides whether the open directory at `path` is empty, listing what is
// listable below it. Once it is known not to be empty the walk still goes
// on, so that everything further down is listed.
int scan_entries(const walk &w, ed_dir *dir, path_builder &path) {
    const size_t length = path.length();
    int result = 1;
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir, &hint)) {
        if (is_dot_or_dotdot(name))
            continue;
        if (ed_is_unnameable_entry(name) || (!w.opts->include_hidden && ed_is_hidden_name(name)) ||
            ed_name_excluded(w.opts->exclude.get(), name)) {
            result = 0;
            continue;
        }
        ed_stat st;
        if (!path.push(name)) {
            result = 0;
            continue;
        }
        if (!entry_kind(dir, name, hint, w.opts->include_zero_byte != 0, &st)) {
            result = 0;
        } else {
            switch (st.st_mode & ED_S_IFMT) {
            case ED_S_IFDIR:
                if (scan_subdir(w, dir, name, path) == 1)
                    w.list_dir(path.c_str());
                else
                    result = 0;
                break;
            case ED_S_IFREG:
                result = 0;
                if (w.opts->include_zero_byte && st.st_size == 0 && !w.young(dir, name))
                    w.list_file(path.c_str());
                break;
            default: // links are never followed; other kinds are never opened
                result = 0;
                break;
            }
        }
        path.pop_to(length);
    }
    return result;
}

// 1 when the open directory at `path` holds nothing but directories that
// hold nothing, recursively; stops at the first content.
int still_empty_entries(ed_dir *dir, path_builder &path, int include_hidden,
                        const ed_name_filter *exclude) {
    const size_t length = path.length();
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir, &hint)) {
        if (is_dot_or_dotdot(name))
            continue;
        if (ed_is_unnameable_entry(name) || (!include_hidden && ed_is_hidden_name(name)) ||
            ed_name_excluded(exclude, name))
            return 0;
        if (!path.push(name))
            return 0;
        ed_stat st;
        if (!entry_kind(dir, name, hint, false, &st) || (st.st_mode & ED_S_IFMT) != ED_S_IFDIR)
            return 0;
        ed_dir_stream child(ed_opendir_at(dir, name));
        if (!child || !still_empty_entries(child.get(), path, include_hidden, exclude))
            return 0;
        path.pop_to(length);
    }
    return 1;
}

} // namespace

void ed_path_index::append_unique(ed_strlist *list, const char *path) {
    if (held_.find(path) != held_.end())
        return;
    if (ed_strlist_push(list, path) != 0)
        throw std::bad_alloc(); // a result without this path would be wrong
    try {
        held_.insert(list->strs[list->n - 1]);
    } catch (const std::bad_alloc &) {
        // List and index must agree for the rest of the call.
        std::free(list->strs[--list->n]);
        throw;
    }
}

int ed_scan_tree(const char *root, const ed_scan_opts *opts, ed_scan_result *result,
                 const ed_file_id *root_id) {
    if (root == nullptr || opts == nullptr || result == nullptr)
        return -1;
    path_builder path;
    path.init(root);
    const walk w{opts, result};
    w.count(); // also a root that cannot be opened
    ed_dir_stream dir(root_id != nullptr ? ed_opendir_root(root, root_id) : ed_opendir(root));
    if (dir && scan_entries(w, dir.get(), path) == 1 && !w.young(dir.get(), nullptr))
        w.list_dir(root);
    return 0;
}

int ed_dir_still_empty(const char *path, int include_hidden, const ed_name_filter *exclude) {
    ed_dir_stream dir(ed_opendir(path));
    return dir ? ed_stream_still_empty(dir.get(), path, include_hidden, exclude) : 0;
}

int ed_stream_still_empty(ed_dir *dir, const char *path, int include_hidden,
                          const ed_name_filter *exclude) {
    if (dir == nullptr || path == nullptr)
        return 0;
    path_builder builder;
    builder.init(path);
    return still_empty_entries(dir, builder, include_hidden, exclude);
}
