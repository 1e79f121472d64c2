// Lines of progress a scan writes to a descriptor (a handle on Windows) the
// host names: whole lines with the final counts, and never a wait on, or a
// signal from, a reader that is slow or gone.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "edclean.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace {

std::string scan_text(const std::string &dirs, const std::string &options) {
    char *text = edclean_scan(dirs.c_str(), options.c_str());
    if (text == nullptr)
        return std::string("error: ") + edclean_last_error();
    std::string copy = text;
    edclean_free_string(text);
    return copy;
}

// a/x, a, b and c are listed; a, b, c and x are the entries seen.
void small_tree(const edtest::temp_tree &tree) {
    tree.mkdir("r/a/x");
    tree.mkdir("r/b");
    tree.file("r/c");
}

#if !defined(_WIN32)

struct pipe_ends {
    int read = -1;
    int write = -1;
    pipe_ends() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            read = ends[0];
            write = ends[1];
        }
    }
    ~pipe_ends() {
        if (read >= 0)
            close(read);
        if (write >= 0)
            close(write);
    }
    pipe_ends(const pipe_ends &) = delete;
    pipe_ends &operator=(const pipe_ends &) = delete;

    std::string drain() const {
        fcntl(read, F_SETFL, fcntl(read, F_GETFL) | O_NONBLOCK);
        std::string text;
        char chunk[65536];
        ssize_t got;
        while ((got = ::read(read, chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<size_t>(got));
        return text;
    }
};

std::string progress_options(int fd, const char *more = "") {
    return "{\"progress_fd\":" + std::to_string(fd) + more + "}";
}

TEST(ScanProgress, EndsWithALineOfTheFinalCountsWhateverTheThreads) {
    edtest::temp_tree tree;
    small_tree(tree);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string plain = scan_text(dirs, "{}");
    for (const char *threads : {"", ",\"threads\":8"}) {
        pipe_ends ends;
        ASSERT_GE(ends.read, 0);
        // The lines go beside the result, never into it.
        EXPECT_EQ(scan_text(dirs, progress_options(ends.write, threads)), plain) << threads;
        const std::string lines = ends.drain();
        ASSERT_FALSE(lines.empty()) << threads;
        EXPECT_EQ(lines.back(), '\n');
        const size_t last = lines.rfind('\n', lines.size() - 2);
        EXPECT_EQ(lines.substr(last == std::string::npos ? 0 : last + 1),
                  "{\"seen\":4,\"listed\":4}\n")
            << lines;
    }
}

TEST(ScanProgress, AFullPipeIsNeverWaitedOn) {
    edtest::temp_tree tree;
    small_tree(tree);
    pipe_ends ends;
    ASSERT_GE(ends.read, 0);
    // Filled to the brim, then back in blocking mode: a plain write would
    // wait until someone reads.
    fcntl(ends.write, F_SETFL, fcntl(ends.write, F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(ends.write, block.data(), block.size()) > 0) {
    }
    while (write(ends.write, block.data(), 1) > 0) {
    }
    fcntl(ends.write, F_SETFL, fcntl(ends.write, F_GETFL) & ~O_NONBLOCK);
    const std::string dirs = edtest::json_array({tree.path("r")});
    std::future<std::string> scan = std::async(
        std::launch::async, [&] { return scan_text(dirs, progress_options(ends.write)); });
    const bool finished = scan.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!finished)
        ends.drain(); // lets the stuck write go, so that the test can end
    EXPECT_TRUE(finished) << "the scan waited on a full pipe";
    EXPECT_EQ(scan.get().rfind("{\"empty_dirs\"", 0), 0u);
}

TEST(ScanProgress, AReaderGoneOrABadDescriptorNeverFailsTheScan) {
    edtest::temp_tree tree;
    small_tree(tree);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string plain = scan_text(dirs, "{}");
    pipe_ends ends;
    ASSERT_GE(ends.read, 0);
    close(ends.read);
    ends.read = -1;
    // SIGPIPE at its default would end this process: the library keeps it
    // from the host, and leaves none pending.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fallback, &previous);
    EXPECT_EQ(scan_text(dirs, progress_options(ends.write)), plain);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigaction(SIGPIPE, &previous, nullptr);
    for (int fd : {1000000, 2147483647})
        EXPECT_EQ(scan_text(dirs, progress_options(fd)), plain) << fd;
    const int directory = open(tree.path("r").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(scan_text(dirs, progress_options(directory)), plain);
    close(directory);
}

// A host in a background job of a terminal set to stop background jobs that
// write (stty tostop): writing a line there would stop the whole host.
TEST(ScanProgress, ATerminalNeverStopsAHostInABackgroundJob) {
    edtest::temp_tree tree;
    small_tree(tree);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const pid_t session = fork();
    ASSERT_GE(session, 0);
    if (session == 0) {
        // A session of its own with the terminal as its controlling one, the
        // way a shell runs jobs on it.
        setsid();
        const int tty = open(terminal.c_str(), O_RDWR);
        termios settings{};
        if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0 || tcgetattr(tty, &settings) != 0)
            _exit(10);
        settings.c_lflag |= TOSTOP;
        if (tcsetattr(tty, TCSANOW, &settings) != 0)
            _exit(11);
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            signal(SIGTTOU, SIG_DFL);
            char *text = edclean_scan(dirs.c_str(), progress_options(tty).c_str());
            _exit(text != nullptr ? 0 : 12);
        }
        setpgid(job, job);
        int status = 0;
        for (int tries = 0; tries < 2000; ++tries) {
            const pid_t done = waitpid(job, &status, WUNTRACED | WNOHANG);
            if (done == job && WIFSTOPPED(status)) {
                kill(job, SIGKILL);
                waitpid(job, &status, 0);
                _exit(20);
            }
            if (done == job)
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 21);
            usleep(10000);
        }
        kill(job, SIGKILL);
        _exit(22);
    }
    int status = 0;
    ASSERT_EQ(waitpid(session, &status, 0), session);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 20) << "the scan's job was stopped by its terminal";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#else

TEST(ScanProgress, APipeInNonBlockingModeGetsTheFinalCountsAndABlockingOneNone) {
    edtest::temp_tree tree;
    small_tree(tree);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string plain = scan_text(dirs, "{}");
    for (const bool nowait : {true, false}) {
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
        DWORD mode = PIPE_READMODE_BYTE | (nowait ? PIPE_NOWAIT : PIPE_WAIT);
        if (!SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr)) {
            CloseHandle(read_end);
            CloseHandle(write_end);
            GTEST_SKIP() << "this system does not set a pipe's mode";
        }
        const std::string options =
            "{\"progress_fd\":" + std::to_string(reinterpret_cast<intptr_t>(write_end)) + "}";
        EXPECT_EQ(scan_text(dirs, options), plain);
        DWORD available = 0;
        ASSERT_TRUE(PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr));
        std::string lines(available, '\0');
        DWORD got = 0;
        if (available > 0) {
            ASSERT_TRUE(ReadFile(read_end, lines.data(), available, &got, nullptr));
        }
        CloseHandle(read_end);
        CloseHandle(write_end);
        if (nowait) {
            ASSERT_GE(lines.size(), 2u);
            const size_t last = lines.rfind('\n', lines.size() - 2);
            EXPECT_EQ(lines.substr(last == std::string::npos ? 0 : last + 1),
                      "{\"seen\":4,\"listed\":4}\n");
        } else {
            EXPECT_EQ(lines, "") << "a blocking pipe could make the scan wait";
        }
    }
}

TEST(ScanProgress, AFileGetsTheFinalCountsUnlessItsHandleIsForOverlappedWrites) {
    edtest::temp_tree tree;
    small_tree(tree);
    const std::string dirs = edtest::json_array({tree.path("r")});
    const std::string plain = scan_text(dirs, "{}");
    for (const bool overlapped : {false, true}) {
        const std::wstring path =
            edtest::fs::path(tree.path(overlapped ? "overlapped" : "plain")).wstring();
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ, 0, nullptr,
                                  CREATE_NEW, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const std::string options =
            "{\"progress_fd\":" + std::to_string(reinterpret_cast<intptr_t>(file)) + "}";
        EXPECT_EQ(scan_text(dirs, options), plain);
        LARGE_INTEGER size{};
        EXPECT_TRUE(GetFileSizeEx(file, &size));
        CloseHandle(file);
        if (overlapped)
            EXPECT_EQ(size.QuadPart, 0) << "written without the OVERLAPPED such a handle needs";
        else
            EXPECT_GE(size.QuadPart,
                      static_cast<LONGLONG>(sizeof "{\"seen\":4,\"listed\":4}\n" - 1));
    }
}

#endif

} // namespace
