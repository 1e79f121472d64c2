#include "test_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#endif

#include <climits>
#include <ctime>
#endif

#include "edclean_json_io.h"

namespace edtest {

namespace {

std::string slashed(std::string text) {
    for (char &c : text)
        if (c == '\\')
            c = '/';
    return text;
}

// The test texts are UTF-8; a narrow path would be read in the ANSI code
// page on Windows.
fs::path native(const std::string &utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8_of(const fs::path &path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

std::string unique_name() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return numbered("edclean-test-", pid) + numbered("-", now) + "-" + std::to_string(counter++);
}

} // namespace

bool running_under_wine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::string numbered(const char *prefix, long long n) {
    std::string out(prefix);
    out += std::to_string(n);
    return out;
}

bool make_directory_in(const std::string &dir, const std::string &name) {
#if defined(_WIN32)
    std::error_code error;
    return fs::create_directory(native(dir + "/" + name), error);
#else
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool made = ::mkdirat(fd, name.c_str(), 0755) == 0;
    ::close(fd);
    return made;
#endif
}

bool set_modified_ago(const std::string &path, long long seconds) {
#if defined(_WIN32)
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const long long ticks =
        static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                               now.dwLowDateTime) -
        seconds * 10000000LL;
    const FILETIME when{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    const std::wstring wide = native(path).wstring();
    HANDLE h = CreateFileW(
        wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool set = SetFileTime(h, nullptr, nullptr, &when) != 0;
    CloseHandle(h);
    return set;
#else
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // the access time stays
    times[1].tv_sec = now.tv_sec - static_cast<time_t>(seconds);
    times[1].tv_nsec = now.tv_nsec;
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

std::string canonical_of(const std::string &path) {
#if defined(_WIN32)
    const std::wstring wide = native(path).wstring();
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    wchar_t buffer[4096];
    const DWORD n = GetFinalPathNameByHandleW(h, buffer, 4096, 0);
    CloseHandle(h);
    if (n == 0 || n >= 4096)
        throw std::runtime_error("no final path for " + path);
    char utf8[8192];
    if (WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0)
        throw std::runtime_error("no UTF-8 form for " + path);
    std::string text = slashed(utf8);
    if (text.rfind("//?/", 0) == 0)
        text.erase(0, 4);
    if (text.size() > 3 && text.back() == '/')
        text.pop_back();
    return text;
#else
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        throw std::runtime_error("cannot resolve " + path);
    std::string text(resolved);
    std::free(resolved);
    return text;
#endif
}

temp_tree::temp_tree() {
    const fs::path dir = fs::temp_directory_path() / unique_name();
    fs::create_directories(dir);
    root_ = slashed(utf8_of(dir));
    canonical_ = canonical_of(root_);
}

temp_tree::~temp_tree() {
    std::error_code ignored;
    // Make read-only files removable again before the tree goes. The walk
    // stops at its first error: an iterator that cannot step (a path too
    // long for the platform's calls) stays where it is, and would loop.
    std::error_code walk_error;
    for (auto it = fs::recursive_directory_iterator(native(root_), walk_error);
         !walk_error && it != fs::recursive_directory_iterator(); it.increment(walk_error))
        if (!it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(native(root_), ignored);
}

std::string temp_tree::path(const std::string &relative) const { return root_ + "/" + relative; }

std::string temp_tree::canonical_path(const std::string &relative) const {
    return canonical_ + "/" + relative;
}

std::string temp_tree::mkdir(const std::string &relative) const {
    fs::create_directories(native(path(relative)));
    return path(relative);
}

std::string temp_tree::file(const std::string &relative, std::uintmax_t size) const {
    const std::string p = path(relative);
    fs::create_directories(native(p).parent_path());
    { std::ofstream(native(p), std::ios::binary); }
    if (size != 0)
        fs::resize_file(native(p), size);
    return p;
}

std::string temp_tree::write(const std::string &relative, const std::string &bytes) const {
    const std::string p = path(relative);
    fs::create_directories(native(p).parent_path());
    std::ofstream(native(p), std::ios::binary) << bytes;
    return p;
}

bool temp_tree::symlink(const std::string &target, const std::string &relative,
                        bool to_directory) const {
    std::error_code error;
    const fs::path link = native(path(relative));
    if (to_directory)
        fs::create_directory_symlink(native(target), link, error);
    else
        fs::create_symlink(native(target), link, error);
    return !error && fs::is_symlink(fs::symlink_status(link, error));
}

bool temp_tree::exists(const std::string &relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(native(path(relative)), ignored));
}

scoped_env::scoped_env(const char *name, const std::optional<std::string> &value) : name_(name) {
    if (const char *old = std::getenv(name))
        saved_ = old;
#if defined(_WIN32)
    _putenv_s(name, value ? value->c_str() : "");
#else
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
#endif
}

scoped_env::~scoped_env() {
#if defined(_WIN32)
    _putenv_s(name_.c_str(), saved_ ? saved_->c_str() : "");
#else
    if (saved_)
        setenv(name_.c_str(), saved_->c_str(), 1);
    else
        unsetenv(name_.c_str());
#endif
}

std::string json_array(std::initializer_list<std::string> paths) {
    return json_array(std::vector<std::string>(paths));
}

std::string json_array(const std::vector<std::string> &paths) {
    return edclean_json_io::path_array(paths);
}

#if defined(__linux__)
loop_volume::loop_volume(const temp_tree &tree, const std::string &relative,
                         const std::string &mkfs, int megabytes)
    : top_(tree.mkdir(relative)) {
    // The tools live in the system's own folders, which a test's PATH may lack.
    const std::string path = "export PATH=\"$PATH:/usr/sbin:/sbin\"; ";
    const std::string image = tree.path(relative + ".image");
    if (std::system((path + "truncate -s " + std::to_string(megabytes) + "M '" + image + "' && " +
                     mkfs + " '" + image + "' >/dev/null 2>&1")
                        .c_str()) != 0) {
        skip_ = "no file system could be made with: " + mkfs;
        return;
    }
    if (std::system((path + "mount -o loop '" + image + "' '" + top_ + "' 2>/dev/null").c_str()) !=
        0) {
        skip_ = "this process may not mount a loop device";
        return;
    }
}

loop_volume::~loop_volume() {
    if (skip_.empty())
        umount2(top_.c_str(), MNT_DETACH);
}

namespace {

constexpr unsigned kPermissionOverride = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool thread_capabilities(__user_cap_data_struct (&data)[2], bool set) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

} // namespace

// Capabilities belong to each thread: only the calling thread loses them.
without_permission_override::without_permission_override() {
    __user_cap_data_struct data[2]{};
    if (!thread_capabilities(data, false) || (data[0].effective & kPermissionOverride) == 0)
        return;
    data[0].effective &= ~kPermissionOverride;
    dropped_ = thread_capabilities(data, true);
}

without_permission_override::~without_permission_override() {
    __user_cap_data_struct data[2]{};
    if (!dropped_ || !thread_capabilities(data, false))
        return;
    data[0].effective |= kPermissionOverride & data[0].permitted;
    thread_capabilities(data, true);
}
#endif

} // namespace edtest
