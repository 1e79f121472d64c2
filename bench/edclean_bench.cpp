// Benchmarks the library's scan and removal against a reference walker and
// the tools users would pick instead, on a generated tree, and checks that
// the library's lists equal the reference walker's.
//
//   edclean_bench [--entries N] [--runs R] [--seed S] [--work DIR] [--threads LIST]
//                 [--fd-jobs LIST] [--siblings N] [--scale] [--no-cold] [--no-removal]
//                 [--check]
//
// Every comparison runs its contenders one after the other within a round,
// round after round, and reports medians: a machine busy with other work
// slows all of them alike rather than whichever happened to run then.
//
// --check builds a small tree, runs once and fails on any difference: the
// test suite runs it so that every change is checked against the reference.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "edclean.h"
#include "edclean_json_io.h"
#include "reference_walker.h"
#include "tree_generator.h"

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
    uint64_t entries = 300000;
    int runs = 5;
    uint64_t seed = 20261210;
    std::string work;
    std::vector<int> threads{1, 0};        // the library's "threads" scan option
    std::vector<int> fd_jobs{1, 2, 4, 16}; // fdfind -j
    uint64_t siblings = 100000;
    bool scale = false;
    bool check = false;
    bool removal = true;
    bool cold = true;
};

// Wall-clock and processor seconds of one timed run.
struct timing {
    double seconds = 0;
    double cpu_seconds = 0;
};

struct child_run {
    timing time;
    long max_rss_kib = 0;
    int status = -1;
};

double cpu_of(const struct rusage &usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processor time of this process, every thread included.
double own_cpu_seconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return cpu_of(usage);
}

double since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Runs a program with its output discarded; time and peak memory from wait4.
child_run spawn(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    child_run run;
    const auto start = clock_type::now();
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    run.time.seconds = since(start);
    run.time.cpu_seconds = cpu_of(usage);
    run.max_rss_kib = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

bool on_path(const char *program) {
    const char *path = std::getenv("PATH");
    if (path == nullptr)
        return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        std::string candidate = dirs.substr(start, end - start);
        candidate.append("/").append(program);
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return in ? one + " " + five + " " + fifteen : std::string("unknown");
}

// The scan options for a number of threads.
std::string scan_options(int threads) {
    std::string json = "{\"threads\":";
    json.append(std::to_string(threads)).append("}");
    return json;
}

// How many threads the library walks with for a "threads" value: 0 takes
// four per core, at most 64 (the library's rule, repeated here for the
// memory budget).
int threads_used(int threads) {
    if (threads >= 1)
        return std::min(threads, 64);
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::clamp(cores * 4, 1, 64);
}

std::string threads_label(int threads) {
    std::string label = "threads ";
    label.append(std::to_string(threads));
    if (threads == 0)
        label.append(" (").append(std::to_string(threads_used(0))).append(")");
    return label;
}

// Empties the page cache, so that the next run reads the file system's
// metadata from the device. Only root may; the reason otherwise.
std::optional<std::string> cache_cannot_be_dropped() {
    if (geteuid() != 0)
        return std::string("not running as root");
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string("/proc/sys/vm/drop_caches is not writable");
    close(fd);
    return std::nullopt;
}

void drop_caches() {
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (write(fd, "3", 1) != 1)
        std::fprintf(stderr, "dropping the page cache failed\n");
    close(fd);
}

struct library_scan {
    edbench::walk_result lists;
    size_t text_bytes = 0;
    double seconds = 0;
};

std::optional<library_scan> scan_with_library(const std::string &root,
                                              const std::string &options_json = "") {
    const std::string dirs = edclean_json_io::path_array({root});
    const auto start = clock_type::now();
    char *text = edclean_scan(dirs.c_str(), options_json.empty() ? nullptr : options_json.c_str());
    const double seconds = since(start);
    if (text == nullptr) {
        std::fprintf(stderr, "scan failed: %s\n", edclean_last_error());
        return std::nullopt;
    }
    library_scan scan;
    scan.seconds = seconds;
    scan.text_bytes = std::strlen(text);
    std::optional<edclean_json_io::scan_lists> lists = edclean_json_io::read_scan_result(text);
    edclean_free_string(text);
    if (!lists) {
        std::fprintf(stderr, "scan result not readable\n");
        return std::nullopt;
    }
    scan.lists.empty_dirs = std::move(lists->empty_dirs);
    scan.lists.zero_files = std::move(lists->zero_files);
    scan.lists.scanned_dirs = lists->scanned_dirs;
    return scan;
}

bool same_results(const edbench::walk_result &library, const edbench::walk_result &reference,
                  const std::string &what) {
    bool same = true;
    if (library.empty_dirs != reference.empty_dirs) {
        std::fprintf(stderr, "%s: empty_dirs differ: library %zu, reference %zu\n", what.c_str(),
                     library.empty_dirs.size(), reference.empty_dirs.size());
        same = false;
    }
    if (library.zero_files != reference.zero_files) {
        std::fprintf(stderr, "%s: zero_files differ: library %zu, reference %zu\n", what.c_str(),
                     library.zero_files.size(), reference.zero_files.size());
        same = false;
    }
    if (library.scanned_dirs != reference.scanned_dirs) {
        std::fprintf(stderr, "%s: scanned_dirs differ: library %lld, reference %lld\n",
                     what.c_str(), library.scanned_dirs, reference.scanned_dirs);
        same = false;
    }
    return same;
}

std::string canonical(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    std::string text = resolved != nullptr ? resolved : path;
    std::free(resolved);
    return text;
}

// What a process that only scans used at its peak.
struct scan_peak {
    long memory_kib = 0;
    size_t result_bytes = 0;
    long descriptors = 0; // beyond those open before the scan, at the busiest sample
};

// The peak use of a process that only scans `root`.
std::optional<scan_peak> scan_peak_use(const char *self, const std::string &root,
                                       const std::string &work, int threads) {
    const std::string out = work + "/scan-only.out";
    const child_run run = spawn({self, "scan-only", root, out, scan_options(threads)});
    std::ifstream in(out);
    scan_peak peak;
    if (run.status != 0 || !(in >> peak.result_bytes >> peak.memory_kib >> peak.descriptors))
        return std::nullopt;
    std::remove(out.c_str());
    return peak;
}

// How many descriptors this process has open.
long open_descriptors() {
    long count = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr)
            ++count;
        closedir(fds);
        count -= 3; // ".", ".." and the one listing them
    }
    return count;
}

// The peak resident size of this process's own memory since it started the
// program, in KiB. Read from the process itself: the peak that wait4 reports
// also keeps what the child held between fork and exec, a copy of the
// benchmark's whole memory.
long own_peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Scans once and writes the result's size, the peak resident memory and
// the most descriptors seen open at once beyond those open before, counted
// by a thread that looks every 200 microseconds: a floor of the true peak.
int scan_only(const std::string &root, const std::string &out, const char *options_json) {
    const std::string dirs = edclean_json_io::path_array({root});
    const long before = open_descriptors();
    std::atomic<bool> done{false};
    std::atomic<long> most{0};
    std::thread counter([&] {
        while (!done.load()) {
            const long now = open_descriptors() - before;
            if (now > most.load())
                most = now;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    char *text = edclean_scan(dirs.c_str(), options_json);
    done = true;
    counter.join();
    if (text == nullptr) {
        std::fprintf(stderr, "scan failed: %s\n", edclean_last_error());
        return 1;
    }
    const size_t bytes = std::strlen(text);
    edclean_free_string(text);
    std::ofstream(out) << bytes << " " << own_peak_kib() << " " << most.load() << "\n";
    return 0;
}

// The two delete calls over everything a scan listed, files first, or only
// the directories other than `except` (the root of the siblings case).
struct removal_result {
    timing time;
    bool complete = false;
};

removal_result remove_listed(const library_scan &listed, const std::string &except = "") {
    std::vector<std::string> dirs;
    for (const std::string &dir : listed.lists.empty_dirs)
        if (dir != except)
            dirs.push_back(dir);
    const bool with_files = !listed.lists.zero_files.empty();
    const std::string files_json = edclean_json_io::path_array(listed.lists.zero_files);
    const std::string dirs_json = edclean_json_io::path_array(dirs);
    removal_result result;
    const double cpu_start = own_cpu_seconds();
    const auto start = clock_type::now();
    const int32_t removed_files = with_files ? edclean_delete_files(files_json.c_str()) : 0;
    const int32_t removed_dirs = edclean_delete_dirs(dirs_json.c_str());
    result.time.seconds = since(start);
    result.time.cpu_seconds = own_cpu_seconds() - cpu_start;
    result.complete = removed_files == static_cast<int32_t>(listed.lists.zero_files.size()) &&
                      removed_dirs == static_cast<int32_t>(dirs.size());
    if (!result.complete)
        std::fprintf(stderr, "removal: %d of %zu files, %d of %zu directories (%s)\n",
                     removed_files, listed.lists.zero_files.size(), removed_dirs, dirs.size(),
                     edclean_last_error());
    return result;
}

// Scans `root` (not timed) and removes everything listed, files then
// directories, in one call each: the removal alone, for strace and perf.
int remove_only(const std::string &root) {
    const auto listed = scan_with_library(root);
    if (!listed)
        return 1;
    const removal_result r = remove_listed(*listed);
    std::fprintf(stderr, "removed everything listed in %.3f s (%.3f s processor)\n", r.time.seconds,
                 r.time.cpu_seconds);
    return r.complete ? 0 : 1;
}

// One contender of a comparison: runs once and says how long it took, or
// nothing when it failed.
struct contender {
    contender(std::string n, std::function<std::optional<timing>()> r)
        : name(std::move(n)), run(std::move(r)) {}
    std::string name;
    std::function<std::optional<timing>()> run;
    std::vector<double> seconds;
    std::vector<double> cpu_seconds;
    double median_seconds() const { return median(seconds); }
    double median_cpu() const { return median(cpu_seconds); }
};

// Runs every contender once per round, in order, `runs` rounds (and first
// `warm_up` rounds that are not counted), calling `before_each` before every
// single run. False when a contender failed.
bool run_rounds(std::vector<contender> &contenders, int runs, int warm_up,
                const std::function<void()> &before_each) {
    for (int r = -warm_up; r < runs; ++r)
        for (contender &c : contenders) {
            if (before_each)
                before_each();
            const std::optional<timing> t = c.run();
            if (!t) {
                std::fprintf(stderr, "%s failed\n", c.name.c_str());
                return false;
            }
            if (r >= 0) {
                c.seconds.push_back(t->seconds);
                c.cpu_seconds.push_back(t->cpu_seconds);
            }
        }
    return true;
}

const contender *find_contender(const std::vector<contender> &all, const std::string &name) {
    for (const contender &c : all)
        if (c.name == name)
            return &c;
    return nullptr;
}

std::string library_name(int threads) {
    std::string name = "library, ";
    return name.append(threads_label(threads));
}

std::string fd_name(int jobs) {
    std::string name = "fdfind -H -t e -j ";
    return name.append(std::to_string(jobs));
}

// The scan contenders: the library at each thread setting, the reference
// walker, find and fdfind at each -j setting. The library's lists are
// checked against the reference walker's on their first run.
std::vector<contender> scan_contenders(const std::string &root, const options &o, bool peers,
                                       bool *same, size_t *text_bytes, size_t *listed) {
    std::vector<contender> all;
    for (const int threads : o.threads) {
        auto checked = std::make_shared<bool>(false);
        all.push_back({library_name(threads), [root, threads, checked, same, text_bytes, listed] {
                           const auto lib = scan_with_library(root, scan_options(threads));
                           if (!lib)
                               return std::optional<timing>();
                           if (!*checked) {
                               *checked = true;
                               *same = same_results(lib->lists, edbench::reference_walk(root),
                                                    library_name(threads)) &&
                                       *same;
                               *text_bytes = lib->text_bytes;
                               *listed =
                                   lib->lists.empty_dirs.size() + lib->lists.zero_files.size();
                           }
                           return std::optional<timing>(timing{lib->seconds, 0});
                       }});
    }
    all.push_back({"reference walker", [root] {
                       const auto start = clock_type::now();
                       const edbench::walk_result ref = edbench::reference_walk(root);
                       return ref.scanned_dirs > 0 ? std::optional<timing>(timing{since(start), 0})
                                                   : std::nullopt;
                   }});
    if (!peers)
        return all;
    all.push_back({"find ROOT -empty", [root] {
                       const child_run f = spawn({"find", root, "-empty"});
                       return f.status == 0 ? std::optional<timing>(f.time) : std::nullopt;
                   }});
    if (on_path("fdfind"))
        for (const int jobs : o.fd_jobs)
            all.push_back({fd_name(jobs), [root, jobs] {
                               const child_run d = spawn({"fdfind", "-H", "-t", "e", "-j",
                                                          std::to_string(jobs), ".", root});
                               return d.status == 0 ? std::optional<timing>(d.time) : std::nullopt;
                           }});
    return all;
}

void print_scan_table(const std::vector<contender> &all, const char *title) {
    const contender *ref = find_contender(all, "reference walker");
    const double base = ref != nullptr ? ref->median_seconds() : 0;
    std::printf("\n%s\n\n| scan | seconds | ratio to reference walker |\n|---|---:|---:|\n", title);
    for (const contender &c : all)
        std::printf("| %s | %.3f | %.2f |\n", c.name.c_str(), c.median_seconds(),
                    base > 0 ? c.median_seconds() / base : 0);
}

const char *verdict(bool ok) { return ok ? "met" : "MISSED"; }

std::string make_tree(const std::string &work, uint64_t entries, uint64_t seed) {
    std::string root = work;
    root.append("/tree-").append(std::to_string(entries)).append("-").append(std::to_string(seed));
    struct stat st;
    if (stat((root + "/.complete").c_str(), &st) == 0)
        return canonical(root);
    spawn({"rm", "-rf", root});
    edbench::tree_shape shape;
    shape.entries = entries;
    shape.seed = seed;
    std::fprintf(stderr, "generating %llu entries in %s ...\n",
                 static_cast<unsigned long long>(entries), root.c_str());
    edbench::generate_tree(root, shape);
    // A marker the walks list as a zero-byte hidden file only with
    // include_hidden, which the benchmark leaves off.
    std::ofstream(root + "/.complete");
    return canonical(root);
}

// Eight chains of nested empty directories named "d", each down to the
// 4,095-byte limit of a path: some 16,000 directories, each chain about
// twice as deep as the usual limit of 1,024 descriptors.
std::string make_deep_tree(const std::string &work) {
    const std::string root = work + "/deep-8-chains";
    struct stat st;
    if (stat((root + "/.complete").c_str(), &st) == 0)
        return canonical(root);
    spawn({"rm", "-rf", root});
    mkdir(root.c_str(), 0755);
    const std::string canonical_root = canonical(root);
    std::fprintf(stderr, "generating 8 deep chains in %s ...\n", root.c_str());
    for (int chain = 0; chain < 8; ++chain) {
        const std::string top = canonical_root + "/c" + std::to_string(chain);
        mkdir(top.c_str(), 0755);
        int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (size_t length = top.size(); fd >= 0 && length + 2 <= 4095; length += 2) {
            const int next = mkdirat(fd, "d", 0755) == 0
                                 ? openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                 : -1;
            close(fd);
            fd = next;
        }
        if (fd >= 0)
            close(fd);
    }
    std::ofstream(root + "/.complete");
    return canonical_root;
}

// The descriptors a scan may hold at once by the library's stated bound:
// four for the root's checks, and for each thread the levels it keeps open
// (32, or 256 shared among the threads, at least 4) and three more.
long descriptor_budget(int threads) {
    const int used = threads_used(threads);
    const int levels = std::clamp(256 / used, 4, 32);
    return 4 + static_cast<long>(used) * (levels + 3);
}

// `count` empty directories side by side in a new directory `dir`.
bool make_siblings(const std::string &dir, uint64_t count) {
    if (mkdir(dir.c_str(), 0755) != 0)
        return false;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool made = true;
    char name[32];
    for (uint64_t i = 0; i < count && made; ++i) {
        std::snprintf(name, sizeof name, "e%llu", static_cast<unsigned long long>(i));
        made = mkdirat(fd, name, 0755) == 0;
    }
    close(fd);
    return made;
}

// A fresh copy of `root` at `copy`, written out, for one removal run.
bool fresh_copy(const std::string &root, const std::string &copy) {
    spawn({"rm", "-rf", copy});
    const bool copied = spawn({"cp", "-a", root, copy}).status == 0;
    sync();
    return copied;
}

bool fresh_siblings(const std::string &dir, uint64_t count) {
    spawn({"rm", "-rf", dir});
    const bool made = make_siblings(dir, count);
    sync();
    return made;
}

// The removal comparisons, each on fresh material for every run: a full
// clean of a copy of the tree against find -depth -empty -delete on another
// copy, and `siblings` empty directories side by side against find
// DIR -mindepth 1 -delete.
struct removal_timings {
    std::vector<contender> full_clean;
    std::vector<contender> siblings;
    bool all_removed = true;
};

removal_timings time_removals(const std::string &root, const std::string &work, int runs,
                              uint64_t siblings) {
    removal_timings t;
    const std::string copy = work + "/removal-copy";
    bool *all_removed = &t.all_removed;
    t.full_clean.push_back({"library: delete every listed file, then every listed directory",
                            [root, copy, all_removed] {
                                if (!fresh_copy(root, copy))
                                    return std::optional<timing>();
                                const auto listed = scan_with_library(canonical(copy));
                                if (!listed)
                                    return std::optional<timing>();
                                const removal_result r = remove_listed(*listed);
                                *all_removed = r.complete && *all_removed;
                                return std::optional<timing>(r.time);
                            }});
    t.full_clean.push_back(
        {"find COPY -depth -empty -delete", [root, copy] {
             if (!fresh_copy(root, copy))
                 return std::optional<timing>();
             const child_run f = spawn({"find", copy, "-depth", "-empty", "-delete"});
             return f.status == 0 ? std::optional<timing>(f.time) : std::nullopt;
         }});
    if (siblings > 0) {
        const std::string dir = work + "/siblings";
        t.siblings.push_back(
            {"library: delete_dirs of every sibling", [dir, siblings, all_removed] {
                 if (!fresh_siblings(dir, siblings))
                     return std::optional<timing>();
                 const std::string canonical_dir = canonical(dir);
                 const auto listed = scan_with_library(canonical_dir);
                 if (!listed)
                     return std::optional<timing>();
                 const removal_result r = remove_listed(*listed, canonical_dir);
                 *all_removed = r.complete && *all_removed;
                 return std::optional<timing>(r.time);
             }});
        t.siblings.push_back(
            {"find DIR -mindepth 1 -delete", [dir, siblings] {
                 if (!fresh_siblings(dir, siblings))
                     return std::optional<timing>();
                 const child_run f = spawn({"find", dir, "-mindepth", "1", "-delete"});
                 return f.status == 0 ? std::optional<timing>(f.time) : std::nullopt;
             }});
    }
    if (!run_rounds(t.full_clean, runs, 0, nullptr) ||
        (siblings > 0 && !run_rounds(t.siblings, runs, 0, nullptr)))
        t.all_removed = false;
    spawn({"rm", "-rf", copy});
    spawn({"rm", "-rf", work + "/siblings"});
    return t;
}

void print_removal_table(const std::vector<contender> &pair, const char *title) {
    if (pair.size() != 2)
        return;
    std::printf("\n%s\n\n| removal | seconds | processor seconds |\n|---|---:|---:|\n", title);
    for (const contender &c : pair)
        std::printf("| %s | %.3f | %.3f |\n", c.name.c_str(), c.median_seconds(), c.median_cpu());
    std::printf("| ratio library / find | %.2f | %.2f |\n",
                pair[0].median_seconds() / pair[1].median_seconds(),
                pair[0].median_cpu() / pair[1].median_cpu());
}

std::vector<int> int_list(const char *text) {
    std::vector<int> values;
    for (const char *p = text; *p != '\0';) {
        char *end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end == p || v < 0)
            return {};
        values.push_back(static_cast<int>(v));
        p = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0')
            return {};
    }
    return values;
}

bool parse_options(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scale") {
            o.scale = true;
            continue;
        }
        if (a == "--no-removal") {
            o.removal = false;
            continue;
        }
        if (a == "--no-cold") {
            o.cold = false;
            continue;
        }
        if (a == "--check") {
            o.check = true;
            continue;
        }
        // The rest take a value.
        if (i + 1 >= argc)
            return false;
        const char *v = argv[++i];
        if (a == "--entries")
            o.entries = std::strtoull(v, nullptr, 10);
        else if (a == "--runs")
            o.runs = std::atoi(v);
        else if (a == "--seed")
            o.seed = std::strtoull(v, nullptr, 10);
        else if (a == "--work")
            o.work = v;
        else if (a == "--threads")
            o.threads = int_list(v);
        else if (a == "--fd-jobs")
            o.fd_jobs = int_list(v);
        else if (a == "--siblings")
            o.siblings = std::strtoull(v, nullptr, 10);
        else
            return false;
    }
    return o.runs > 0 && o.entries > 0 && !o.threads.empty() && !o.fd_jobs.empty();
}

// Seconds per entry of the library's scan, at each thread setting, on a
// tree of `entries`; false when its lists differ from the reference's.
bool scale_point(const std::string &work, uint64_t entries, const options &o, int runs,
                 std::vector<double> *per_entry) {
    const std::string root = make_tree(work, entries, o.seed);
    bool same = true;
    size_t bytes = 0, listed = 0;
    std::vector<contender> all = scan_contenders(root, o, false, &same, &bytes, &listed);
    if (!run_rounds(all, runs, 1, nullptr))
        return false;
    per_entry->clear();
    for (const int threads : o.threads)
        per_entry->push_back(find_contender(all, library_name(threads))->median_seconds() /
                             static_cast<double>(entries));
    return same;
}

} // namespace

int main(int argc, char **argv) {
    // The reference walker holds a descriptor for each level of a deep
    // tree; the library's scan, alone in a child, gets the usual 1,024.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        const bool scan_alone = argc >= 2 && std::strcmp(argv[1], "scan-only") == 0;
        files.rlim_cur = scan_alone ? std::min<rlim_t>(1024, files.rlim_max) : files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (argc >= 4 && argc <= 5 && std::strcmp(argv[1], "scan-only") == 0)
        return scan_only(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (argc == 3 && std::strcmp(argv[1], "reference-only") == 0) // for strace and perf
        return edbench::reference_walk(argv[2]).scanned_dirs > 0 ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "remove-only") == 0) // for strace and perf
        return remove_only(canonical(argv[2]));
    options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--entries N] [--runs R] [--seed S] [--work DIR] [--threads LIST]\n"
                     "          [--fd-jobs LIST] [--siblings N] [--scale] [--no-cold] "
                     "[--no-removal] [--check]\n",
                     argv[0]);
        return 2;
    }
    std::string temporary;
    if (o.work.empty()) {
        char pattern[] = "/tmp/edclean-bench.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        o.work = temporary = pattern;
    } else {
        mkdir(o.work.c_str(), 0755); // where it is not there yet
    }

    if (o.check) {
        // A small tree, once: the library must list exactly what the
        // reference lists at every thread setting, and remove everything it
        // listed.
        const std::string root = make_tree(o.work, 3000, o.seed);
        bool same = true;
        size_t bytes = 0, listed = 0;
        std::vector<contender> scans = scan_contenders(root, o, false, &same, &bytes, &listed);
        const bool ran = run_rounds(scans, 1, 0, nullptr);
        const removal_timings r = time_removals(root, o.work, 1, 300);
        if (!temporary.empty())
            spawn({"rm", "-rf", temporary});
        std::printf("check: lists %s, removal %s\n", ran && same ? "identical" : "DIFFER",
                    r.all_removed ? "complete" : "INCOMPLETE");
        return ran && same && r.all_removed ? 0 : 1;
    }

    const std::string load_before = load_average();
    const std::string root = make_tree(o.work, o.entries, o.seed);

    // Warm: one round that is not counted, then R rounds.
    bool same = true;
    size_t text_bytes = 0, listed = 0;
    std::vector<contender> warm = scan_contenders(root, o, true, &same, &text_bytes, &listed);
    if (!run_rounds(warm, o.runs, 1, nullptr))
        return 1;

    // Cold: the page cache dropped before every single run.
    std::vector<contender> cold;
    std::optional<std::string> no_cold =
        o.cold ? cache_cannot_be_dropped() : std::optional<std::string>("--no-cold");
    if (!no_cold) {
        bool cold_same = true;
        size_t unused_bytes = 0, unused_listed = 0;
        cold = scan_contenders(root, o, true, &cold_same, &unused_bytes, &unused_listed);
        if (!run_rounds(cold, o.runs, 0, drop_caches))
            return 1;
        same = same && cold_same;
    }

    removal_timings r;
    if (o.removal)
        r = time_removals(root, o.work, o.runs, o.siblings);

    // Peak memory and descriptors on this wide tree and on a deep one, and
    // on the deep one the library's lists against the reference walker's
    // and its time.
    const std::string deep_root = make_deep_tree(o.work);
    bool deep_same = true;
    size_t deep_bytes = 0, deep_listed = 0;
    std::vector<contender> deep =
        scan_contenders(deep_root, o, false, &deep_same, &deep_bytes, &deep_listed);
    if (!run_rounds(deep, o.runs, 1, nullptr))
        return 1;
    struct peak_row {
        const char *tree;
        int threads;
        std::optional<scan_peak> peak;
    };
    std::vector<peak_row> peaks;
    for (const int threads : o.threads) {
        peaks.push_back({"wide", threads, scan_peak_use(argv[0], root, o.work, threads)});
        peaks.push_back({"deep", threads, scan_peak_use(argv[0], deep_root, o.work, threads)});
    }

    std::vector<double> per_small, per_large;
    bool scale_same = true;
    if (o.scale)
        scale_same = scale_point(o.work, 30000, o, o.runs, &per_small) &&
                     scale_point(o.work, 3000000, o, std::max(1, o.runs / 2), &per_large);

    std::printf("\n%llu entries, %zu listed, median of %d rounds; load average %s before, "
                "%s after\n",
                static_cast<unsigned long long>(o.entries), listed, o.runs, load_before.c_str(),
                load_average().c_str());
    print_scan_table(warm, "Scan, warm cache");
    if (no_cold)
        std::printf("\nCold rounds skipped: %s.\n", no_cold->c_str());
    else
        print_scan_table(cold, "Scan, cold cache (page cache dropped before every run)");
    if (o.removal) {
        print_removal_table(r.full_clean, "Full clean, on a fresh copy each run");
        char title[96];
        std::snprintf(title, sizeof title, "%llu sibling empty directories, made afresh each run",
                      static_cast<unsigned long long>(o.siblings));
        print_removal_table(r.siblings, title);
    }

    std::printf("\nresults identical to the reference walker: %s\n", same ? "yes" : "NO");
    const contender *ref = find_contender(warm, "reference walker");
    const contender *one = find_contender(warm, library_name(1));
    const contender *all_cores = find_contender(warm, library_name(0));
    if (ref != nullptr && one != nullptr)
        std::printf("warm: threads 1 <= 1.05 x reference walker: %.2f, %s\n",
                    one->median_seconds() / ref->median_seconds(),
                    verdict(one->median_seconds() <= 1.05 * ref->median_seconds()));
    if (ref != nullptr && all_cores != nullptr)
        std::printf("warm: threads 0 <= 0.65 x reference walker: %.2f, %s\n",
                    all_cores->median_seconds() / ref->median_seconds(),
                    verdict(all_cores->median_seconds() <= 0.65 * ref->median_seconds()));
    if (!no_cold) {
        const contender *fastest_fd = nullptr;
        for (const int jobs : o.fd_jobs) {
            const contender *fd = find_contender(cold, fd_name(jobs));
            if (fd != nullptr &&
                (fastest_fd == nullptr || fd->median_seconds() < fastest_fd->median_seconds()))
                fastest_fd = fd;
        }
        const contender *cold_all = find_contender(cold, library_name(0));
        if (fastest_fd != nullptr && cold_all != nullptr)
            std::printf("cold: threads 0 <= 0.85 x fastest fdfind (%s): %.2f, %s\n",
                        fastest_fd->name.c_str(),
                        cold_all->median_seconds() / fastest_fd->median_seconds(),
                        verdict(cold_all->median_seconds() <= 0.85 * fastest_fd->median_seconds()));
    }
    if (o.removal) {
        if (r.full_clean.size() == 2) {
            const double ratio =
                r.full_clean[0].median_seconds() / r.full_clean[1].median_seconds();
            std::printf("full clean <= 1.0 x find -depth -empty -delete: %.2f, %s\n", ratio,
                        verdict(ratio <= 1.0));
        }
        if (r.siblings.size() == 2) {
            const double ratio = r.siblings[0].median_seconds() / r.siblings[1].median_seconds();
            std::printf("siblings <= 1.0 x find -mindepth 1 -delete: %.2f, %s\n", ratio,
                        verdict(ratio <= 1.0));
        }
        std::printf("removal complete: %s\n", r.all_removed ? "yes" : "NO");
    }
    print_scan_table(deep, "Scan of 8 chains down to the 4,095-byte path limit, warm cache");
    std::printf("\ndeep tree: %zu listed, results identical to the reference walker: %s\n",
                deep_listed, deep_same ? "yes" : "NO");
    std::printf("\n| tree | threads | peak memory | memory budget | peak descriptors (sampled) "
                "| descriptor budget |\n|---|---|---:|---:|---:|---:|\n");
    bool peaks_met = true;
    for (const peak_row &row : peaks) {
        if (!row.peak) {
            std::printf("| %s | %s | not measured | | | |\n", row.tree,
                        threads_label(row.threads).c_str());
            peaks_met = false;
            continue;
        }
        const double peak_mib = static_cast<double>(row.peak->memory_kib) / 1024.0;
        const double result_mib = static_cast<double>(row.peak->result_bytes) / (1024 * 1024);
        const double budget_mib = 16 + 3.0 * result_mib + threads_used(row.threads);
        const long fd_budget = descriptor_budget(row.threads);
        const bool met = peak_mib <= budget_mib && row.peak->descriptors <= fd_budget;
        peaks_met = peaks_met && met;
        std::printf("| %s | %s | %.1f MiB | 16 + 3 x %.1f + %d = %.1f MiB | %ld | %ld | %s\n",
                    row.tree, threads_label(row.threads).c_str(), peak_mib, result_mib,
                    threads_used(row.threads), budget_mib, row.peak->descriptors, fd_budget,
                    verdict(met));
    }
    if (o.scale) {
        for (size_t i = 0; i < o.threads.size() && i < per_small.size() && i < per_large.size();
             ++i) {
            const double small_us = per_small[i] * 1e6;
            const double large_us = per_large[i] * 1e6;
            std::printf("scaling, %s: %.3f us/entry at 30,000, %.3f us/entry at 3,000,000 "
                        "(%.2f): %s\n",
                        threads_label(o.threads[i]).c_str(), small_us, large_us,
                        large_us / small_us, verdict(large_us <= 1.2 * small_us && scale_same));
        }
    }
    if (!temporary.empty())
        spawn({"rm", "-rf", temporary});
    return same && deep_same && peaks_met && r.all_removed && scale_same ? 0 : 1;
}
