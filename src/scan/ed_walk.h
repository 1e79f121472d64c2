// The empty-tree scan: a post-order walk that decides bottom-up which
// directories are empty and lists zero-byte regular files on the way, and the
// still-empty re-check that removal runs before it removes a directory.
//
// A directory is empty when it can be opened and each of its entries other
// than "." and ".." is a directory (not a link) whose status can be read,
// whose joined path fits ED_PATH_LIMIT, that is itself empty, does not have
// a name the scan excludes and, while hidden entries are left out, does not
// have a hidden name. With the age guard on, an empty directory or zero-byte
// file modified after the guard's threshold counts as content too.
#ifndef ED_SCAN_WALK_H
#define ED_SCAN_WALK_H

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ed_strlist.h"
#include "platform/ed_platform.h"
#include "scan/ed_name_filter.h"
#include "scan/ed_path_index.h"
#include "scan/ed_scan_report.h"

struct ed_scan_opts {
    int32_t include_hidden;    // nonzero: hidden entries are walked and listed
    int32_t include_zero_byte; // nonzero: zero-byte regular files are listed
    // Threads the walk may use: 1 (or below) walks on the calling thread
    // alone; 0 takes ED_WALK_THREADS_PER_CORE per core; at most 64. The
    // lists come out the same, in the same order, whatever the number.
    int32_t threads = 1;
    // Entries whose names match are left alone as hidden names are while
    // include_hidden is off, whatever include_hidden says. Null: none. Never
    // changed once a walk begins: every thread of the walk reads it.
    std::shared_ptr<const ed_name_filter> exclude = nullptr;
    // The age guard, on when above 0: an empty directory or zero-byte file
    // modified later than `young_after` counts as content, and so does one
    // whose modification time cannot be read. The scan call sets
    // `young_after` to its start less this many seconds; only with the guard
    // on does the walk ask for modification times.
    int64_t min_age_seconds = 0;
    ed_time young_after = 0;
    // Nonzero: the result tells what the walk passed by (ed_left_out). The
    // walk counts it either way; only the result text differs.
    int32_t report_left_out = 0;
    // The descriptor (Windows: handle) the host named for lines of progress;
    // -1: none. The scan call makes `progress` from it for the walk.
    int64_t progress_target = -1;
    ed_scan_progress *progress = nullptr;
};

// Threads per core a scan asking for "as many as help" uses: directory
// reads that miss the cache wait on the disk, and more threads keep more
// reads in flight (see the benchmark's notes).
#define ED_WALK_THREADS_PER_CORE 4

// The `young_after` of a scan that starts at `start` with the age guard at
// `seconds` (above 0): that many seconds earlier, or the earliest moment
// when the span reaches past what the clock counts.
inline ed_time ed_age_threshold(ed_time start, int64_t seconds) {
    constexpr int64_t kBillion = 1000000000;
    if (seconds >= INT64_MAX / kBillion)
        return INT64_MIN;
    const int64_t span = seconds * kBillion;
    return start < INT64_MIN + span ? INT64_MIN : start - span;
}

// The indexes of the two result lists of one scan call, shared by its roots.
struct ed_scan_index {
    ed_path_index empty_dirs;
    ed_path_index zero_files;
};

// What one scan call gathers across its roots: the two lists, how many
// directories were visited, and the lists' indexes, which keep each path to
// one appearance however the roots overlap.
struct ed_scan_result {
    ed_strlist_guard empty_dirs;
    ed_strlist_guard zero_files;
    int32_t scanned_dirs = 0;
    ed_scan_index index;
    ed_left_out left_out; // what the walks passed by, across the roots
};

// Walks `root` and appends to `result`, each at most once across the roots
// of one call, the empty directories (post-order; the root last when it is
// empty itself) and the zero-byte files (in the order met). scanned_dirs
// rises by one per directory visited, also for one that cannot be opened,
// and left_out by what the walk passed by without listing (the same counts,
// and the same first paths, whatever the number of threads). With
// `opts->progress`, every entry read and path found goes to its counts.
// With `root_id`, the root is walked only while it is still that directory,
// reached without a link (what the scan call checked and registered); a
// root that is not is counted and lists nothing.
// -1 when the root, the options or the result is null (nothing walked);
// else 0. Running out of memory throws std::bad_alloc, and running out of
// descriptors (after closing what the walk can take up again later)
// ed_out_of_descriptors: either leaves the lists incomplete.
//
// Where the backend takes a closed stream up again (ed_walk_resumes), a
// walk holds at most N x (L + 3) directories open whatever the depth, for
// N threads keeping L = max(4, min(32, 256 / N)) levels each: 35 on one
// thread, 280 with 8, 448 with 64 (see ed_walk.cpp).
int ed_scan_tree(const char *root, const ed_scan_opts *opts, ed_scan_result *result,
                 const ed_file_id *root_id = nullptr);

// 1 when the directory `path` is empty at this moment under `include_hidden`
// and the names `exclude` matches (null: none); 0 when it holds content or
// cannot be opened. Stops at the first content. Modification times play no
// part: see ed_delete_dirs_list().
int ed_dir_still_empty(const char *path, int include_hidden,
                       const ed_name_filter *exclude = nullptr);

// ed_dir_still_empty() on an open stream over the directory at `path`
// (`path` serves the joined-path limit and a backend that works by path).
int ed_stream_still_empty(ed_dir *dir, const char *path, int include_hidden,
                          const ed_name_filter *exclude = nullptr);

#endif
