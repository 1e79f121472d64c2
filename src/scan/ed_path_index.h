#ifndef ED_SCAN_PATH_INDEX_H
#define ED_SCAN_PATH_INDEX_H

#include <cstddef>
#include <vector>

#include "core/ed_strlist.h"

// Remembers which texts a list holds, so that appending each path at most
// once costs constant time instead of a search of the whole list. Every path
// is looked up, those of the first root too: a directory that hands out its
// entries in storage order can hand out one entry twice while another
// process renames it away and back. The index points into the list's own
// strings: it must not outlive them.
//
// One flat table of (hash, text) slots, probed in order: a scan appends tens
// of thousands of paths, and a lookup that compares hashes stored side by
// side touches one cache line where a node-based set touches three.
class ed_path_index {
  public:
    // Appends a copy of `path` to `list` unless an equal text is there.
    // When memory is short it throws std::bad_alloc, list and index still
    // agreeing: a result that silently left a path out would be wrong.
    void append_unique(ed_strlist *list, const char *path);

  private:
    struct slot {
        size_t hash = 0;
        const char *text = nullptr; // null: free
    };
    bool holds(const char *path, size_t hash) const;
    void place(const char *text, size_t hash);
    void grow();

    std::vector<slot> slots_; // empty, or a power of two at most half used
    size_t used_ = 0;
};

#endif
