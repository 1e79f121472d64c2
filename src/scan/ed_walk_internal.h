// What the scan's walk and its still-empty re-check share: the path of the
// directory being walked and the kind of each entry it lists. Internal to
// scan/.
#ifndef ED_SCAN_WALK_INTERNAL_H
#define ED_SCAN_WALK_INTERNAL_H

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"

// The path of the directory being walked, extended in place by one entry
// name at a time. An entry whose joined path would not fit the walks' limit
// (ED_PATH_LIMIT) is never examined.
class ed_path_builder {
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
inline bool ed_entry_kind(ed_dir *dir, const char *name, ed_entry_hint hint, bool need_size,
                          ed_stat *st) {
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

#endif
