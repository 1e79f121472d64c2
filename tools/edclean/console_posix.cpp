#include <dirent.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
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

void keep_running_when_output_closes() { std::signal(SIGPIPE, SIG_IGN); }

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void note_interrupt(int) { g_interrupted = 1; }
} // namespace

void stop_at_interrupt() {
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

bool interrupt_requested() { return g_interrupted != 0; }

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

std::optional<folder_identity> identity_of(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return folder_identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::vector<std::string> system_trees() {
    // Each tree with what the Filesystem Hierarchy Standard (3.0, section
    // in brackets) says it holds; an empty file or folder in any of them is
    // a setting, a marker, a lock or a record that a program reads.
    static const char *const trees[] = {
        "/etc",         // host configuration [3.7]: /etc/subuid, /etc/environment
        "/boot",        // the boot loader's and the kernel's files [3.5]
        "/usr",         // installed programs, libraries and data [4]
        "/bin",         // essential commands [3.4]
        "/sbin",        // essential system commands [3.16]
        "/lib",         // essential libraries and kernel modules [3.9]
        "/lib32",       // essential libraries of another word size [3.10]
        "/lib64",       // the same
        "/libx32",      // the same
        "/opt",         // add-on packages, laid out as their makers ship them [3.13]
        "/var/lib",     // programs' state: package records such as dpkg's info files [5.8]
        "/var/cache",   // programs' caches, in folders their packages made [5.5]
        "/var/log",     // logs: an empty log or folder is where a service writes, and
                        // /var/log/journal being there makes the system log persistent [5.10]
        "/var/spool",   // work queued for printers, mail and cron [5.14]
        "/var/mail",    // mailboxes: an empty one is a user's empty mailbox [5.11]
        "/var/tmp",     // temporary files that programs keep across reboots, which the
                        // standard says must not be deleted when the system boots [5.15]
        "/var/opt",     // state of the packages in /opt [5.12]
        "/var/local",   // state of the programs in /usr/local [5.2]
        "/var/account", // process accounting logs, empty until accounting runs [5.4]
        "/var/crash",   // system crash dumps [5.6]
        "/var/games",   // games' state, such as score files [5.7]
        "/var/yp",      // the network information service's databases [5.16]
        "/var/run",     // run-time data: process ids, sockets [5.13]
        "/var/lock",    // lock files, empty by design [5.9]
        "/proc",        // the kernel's view of processes [6.1, the Linux annex]
        "/sys",         // the kernel's view of devices [6.1, the Linux annex]
        "/dev",         // device files [3.6]
        "/run",         // run-time data since boot [3.15]
        "/snap",        // where the snap package manager mounts its packages
    };
    // /tmp is not one: programs may not assume anything there is kept [3.18],
    // and it is where users and builds make scratch trees of their own, which
    // is what a clean is for.
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
