// The benchmark's yardstick: a plain single-threaded walk with the library's
// notion of an empty directory, descriptor-relative (openat, readdir on the
// descriptor, fstatat only where the entry type does not already answer).
#ifndef EDCLEAN_BENCH_REFERENCE_WALKER_H
#define EDCLEAN_BENCH_REFERENCE_WALKER_H

#include <string>
#include <vector>

namespace edbench {

struct walk_result {
    std::vector<std::string> empty_dirs; // post-order, the root last when empty
    std::vector<std::string> zero_files; // in the order met
    long long scanned_dirs = 0;
};

walk_result reference_walk(const std::string &root, bool include_hidden = false);

} // namespace edbench

#endif
