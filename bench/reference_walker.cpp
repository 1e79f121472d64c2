#include "reference_walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace edbench {

namespace {

// The library's path limit on Linux: the system's own, PATH_MAX less its NUL.
constexpr size_t kPathLimit = 4095;

struct walker {
    bool include_hidden;
    walk_result &out;
    std::string path;

    // 1 empty, 0 not empty, -1 cannot be opened; takes over `fd`.
    int walk(int fd) {
        DIR *dir = fdopendir(fd);
        if (dir == nullptr) {
            close(fd);
            return -1;
        }
        int result = 1;
        const size_t length = path.size();
        while (const dirent *entry = readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (!include_hidden && name[0] == '.') {
                result = 0;
                continue;
            }
            const size_t joined = length + 1 + std::strlen(name);
            if (joined > kPathLimit) {
                result = 0;
                continue;
            }
            unsigned char type = entry->d_type;
            struct stat st;
            if (type == DT_UNKNOWN || type == DT_REG) {
                if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    result = 0;
                    continue;
                }
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
            }
            path.append("/").append(name);
            if (type == DT_DIR) {
                ++out.scanned_dirs;
                const int child =
                    openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0 && walk(child) == 1)
                    out.empty_dirs.push_back(path);
                else
                    result = 0;
            } else {
                result = 0;
                if (type == DT_REG && st.st_size == 0)
                    out.zero_files.push_back(path);
            }
            path.resize(length);
        }
        closedir(dir);
        return result;
    }
};

} // namespace

walk_result reference_walk(const std::string &root, bool include_hidden) {
    walk_result out;
    walker w{include_hidden, out, root};
    ++out.scanned_dirs;
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && w.walk(fd) == 1)
        out.empty_dirs.push_back(root);
    return out;
}

} // namespace edbench
