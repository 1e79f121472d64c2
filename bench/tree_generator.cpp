#include "tree_generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <stdexcept>
#include <vector>

namespace edbench {

namespace {

struct dir_slot {
    std::string path;
    int depth;
    bool keep_empty; // part of an empty chain: receives no files
};

void make_dir(const std::string &path) {
    if (mkdir(path.c_str(), 0755) != 0)
        throw std::runtime_error("mkdir " + path);
}

void make_file(const std::string &path, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("create " + path);
    static const char bytes[64] = "benchmark data benchmark data benchmark data benchmark data..";
    if (size > 0 && write(fd, bytes, size) != static_cast<ssize_t>(size)) {
        close(fd);
        throw std::runtime_error("write " + path);
    }
    close(fd);
}

} // namespace

tree_counts generate_tree(const std::string &root, const tree_shape &shape) {
    std::mt19937_64 rng(shape.seed);
    const auto below = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
    const auto chance = [&](double p) {
        return std::uniform_real_distribution<double>(0, 1)(rng) < p;
    };

    const uint64_t n_dirs = static_cast<uint64_t>(shape.entries * shape.directories);
    const uint64_t n_zero = static_cast<uint64_t>(shape.entries * shape.zero_byte_files);
    const uint64_t n_links = static_cast<uint64_t>(shape.entries * shape.links);
    const uint64_t n_data = shape.entries - n_dirs - n_zero - n_links;
    constexpr int kMaxDepth = 9; // keeps every path within 259 bytes, Windows' limit too

    make_dir(root);
    std::vector<dir_slot> dirs{{root, 0, false}};
    std::vector<size_t> open_dirs{0}; // may receive files and subdirectories
    tree_counts counts;
    uint64_t serial = 0;
    const auto name = [&](const char *prefix) {
        const bool hidden = chance(shape.hidden);
        counts.hidden += hidden;
        return std::string(hidden ? "." : "") + prefix + std::to_string(serial++);
    };

    // Directories: most form the shape that holds files; some start chains
    // of one to four nested directories that stay empty.
    while (counts.directories < n_dirs) {
        const dir_slot parent = dirs[open_dirs[below(open_dirs.size())]];
        if (parent.depth >= kMaxDepth)
            continue;
        const bool chain = chance(0.25);
        std::string path = parent.path;
        path.append("/").append(name(chain ? "e" : "d"));
        make_dir(path);
        ++counts.directories;
        dirs.push_back({path, parent.depth + 1, chain});
        if (!chain) {
            open_dirs.push_back(dirs.size() - 1);
            continue;
        }
        for (uint64_t extra = below(4);
             extra > 0 && counts.directories < n_dirs && dirs.back().depth < kMaxDepth; --extra) {
            path.append("/").append(name("e"));
            make_dir(path);
            ++counts.directories;
            dirs.push_back({path, dirs.back().depth + 1, true});
        }
    }

    // Files, zero-byte and small, in the directories that are not chains.
    for (uint64_t i = 0; i < n_zero + n_data; ++i) {
        const dir_slot &dir = dirs[open_dirs[below(open_dirs.size())]];
        const bool zero = i < n_zero;
        std::string path = dir.path;
        make_file(path.append("/").append(name(zero ? "z" : "f")), zero ? 0 : 1 + below(63));
        (zero ? counts.zero_byte_files : counts.data_files)++;
    }

    // Links to directories and files elsewhere in the tree, never followed.
    for (uint64_t i = 0; i < n_links; ++i) {
        const dir_slot &dir = dirs[open_dirs[below(open_dirs.size())]];
        const dir_slot &target = dirs[below(dirs.size())];
        std::string link = dir.path;
        link.append("/").append(name("l"));
        if (symlink(target.path.c_str(), link.c_str()) != 0)
            throw std::runtime_error("symlink " + link);
        ++counts.links;
    }
    return counts;
}

} // namespace edbench
