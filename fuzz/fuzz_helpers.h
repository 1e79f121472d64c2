// Shared by the fuzz targets: turning the fuzzer's bytes into the
// NUL-terminated texts the library takes.
#ifndef EDCLEAN_FUZZ_HELPERS_H
#define EDCLEAN_FUZZ_HELPERS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

namespace edfuzz {

// The bytes up to the first NUL, and the rest after it.
inline std::pair<std::string, std::string> split_at_nul(const uint8_t *data, size_t size) {
    const std::string all(reinterpret_cast<const char *>(data), size);
    const size_t nul = all.find('\0');
    if (nul == std::string::npos)
        return {all, std::string()};
    return {all.substr(0, nul), all.substr(nul + 1)};
}

// Makes the process work in a fresh private folder under /tmp, removed at
// exit, so that relative paths in the input name only what the target made.
inline bool enter_private_folder() {
    char pattern[] = "/tmp/edclean-fuzz.XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0)
        return false;
    static const std::string made = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return true;
}

// The entries the export targets play with, made again when removed:
// a/b/c and d/.h (empty directories), z and d/.k (zero bytes), f (one byte).
inline bool make_playground() {
    for (const char *dir : {"a", "a/b", "a/b/c", "d", "d/.h"})
        if (mkdir(dir, 0755) != 0 && errno != EEXIST)
            return false;
    for (const char *file : {"z", "d/.k", "f"}) {
        const int fd = open(file, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        const bool data = file[0] == 'f';
        const bool written = !data || (ftruncate(fd, 0) == 0 && write(fd, "x", 1) == 1);
        close(fd);
        if (!written)
            return false;
    }
    return true;
}

} // namespace edfuzz

#endif
