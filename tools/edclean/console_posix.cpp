#include <dirent.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "console.h"

namespace edclean_tool {

std::string system_message(unsigned long code) { return std::strerror(static_cast<int>(code)); }

std::vector<std::string> utf8_arguments(int argc, char **argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() {}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

int terminal_rows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_row;
}

int terminal_columns(bool of_stderr) {
    winsize size{};
    if (ioctl(of_stderr ? STDERR_FILENO : STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

std::optional<std::string> real_path(const std::string &path, std::string &error) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    return std::string(real.get());
}

std::optional<std::string> link_target(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return std::nullopt;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0)
        return std::string("?");
    target.resize(static_cast<size_t>(length));
    return target;
}

bool directory_readable(const std::string &path, std::string &error) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    errno = 0;
    const bool read = readdir(dir) != nullptr || errno == 0;
    if (!read)
        error = std::strerror(errno);
    closedir(dir);
    return read;
}

std::vector<std::string> system_trees() {
    // The system's own trees (the Filesystem Hierarchy Standard's /etc,
    // /boot, /usr, /bin, /sbin, /lib*, /var/lib, /var/spool) and the kernel's
    // and run time's (/proc, /sys, /dev, /run): their empty files and
    // folders are markers, locks and package records.
    static const char *const trees[] = {
        "/etc",      "/boot",  "/usr",    "/bin",     "/sbin",      "/lib",
        "/lib32",    "/lib64", "/libx32", "/var/lib", "/var/spool", "/var/run",
        "/var/lock", "/proc",  "/sys",    "/dev",     "/run",       "/snap"};
    std::vector<std::string> result;
    for (const char *tree : trees) {
        std::string error;
        // Where the tree is a link (/bin -> usr/bin), its real form is
        // what a root resolves to.
        result.push_back(real_path(tree, error).value_or(tree));
    }
    return result;
}

std::vector<std::string> protected_homes() {
    std::vector<std::string> homes;
    std::string error;
    if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0')
        if (auto real = real_path(home, error))
            homes.push_back(*real);
    if (const char *user = std::getenv("SUDO_USER"); user != nullptr && *user != '\0')
        if (const passwd *entry = getpwnam(user); entry != nullptr && entry->pw_dir != nullptr)
            if (auto real = real_path(entry->pw_dir, error))
                homes.push_back(*real);
    return homes;
}

bool same_path(const std::string &a, const std::string &b) { return a == b; }

} // namespace edclean_tool
