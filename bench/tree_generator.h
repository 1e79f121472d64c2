// A deterministic benchmark tree: nested chains of empty directories,
// directories of zero-byte and small files, hidden entries and symbolic
// links, in fixed proportions, from a seed.
#ifndef EDCLEAN_BENCH_TREE_GENERATOR_H
#define EDCLEAN_BENCH_TREE_GENERATOR_H

#include <cstdint>
#include <string>

namespace edbench {

struct tree_shape {
    uint64_t entries = 300000; // every directory, file and link below the root
    uint64_t seed = 20261210;
    double directories = 0.20;
    double zero_byte_files = 0.15;
    double hidden = 0.03;
    double links = 0.01;
};

struct tree_counts {
    uint64_t directories = 0, zero_byte_files = 0, data_files = 0, hidden = 0, links = 0;
};

// Creates the tree below `root`, which must not exist yet.
tree_counts generate_tree(const std::string &root, const tree_shape &shape);

} // namespace edbench

#endif
