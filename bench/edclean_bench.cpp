// Benchmarks the library's scan and removal against a reference walker and
// the tools users would pick instead, on a generated tree, and checks that
// the library's lists equal the reference walker's.
//
//   edclean_bench [--entries N] [--runs R] [--seed S] [--work DIR] [--scale] [--no-removal]
//                 [--check]
//
// --check builds a small tree, runs once and fails on any difference: the
// test suite runs it so that every change is checked against the reference.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
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
    bool scale = false;
    bool check = false;
    bool removal = true;
};

struct child_run {
    double seconds = 0;
    long max_rss_kib = 0;
    int status = -1;
};

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
    run.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
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
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
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

struct library_scan {
    edbench::walk_result lists;
    size_t text_bytes = 0;
    double seconds = 0;
};

std::optional<library_scan> scan_with_library(const std::string &root) {
    const std::string dirs = edclean_json_io::path_array({root});
    const auto start = clock_type::now();
    char *text = edclean_scan(dirs.c_str(), nullptr);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
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

bool same_results(const edbench::walk_result &library, const edbench::walk_result &reference) {
    bool same = true;
    if (library.empty_dirs != reference.empty_dirs) {
        std::fprintf(stderr, "empty_dirs differ: library %zu, reference %zu\n",
                     library.empty_dirs.size(), reference.empty_dirs.size());
        same = false;
    }
    if (library.zero_files != reference.zero_files) {
        std::fprintf(stderr, "zero_files differ: library %zu, reference %zu\n",
                     library.zero_files.size(), reference.zero_files.size());
        same = false;
    }
    if (library.scanned_dirs != reference.scanned_dirs) {
        std::fprintf(stderr, "scanned_dirs differ: library %lld, reference %lld\n",
                     library.scanned_dirs, reference.scanned_dirs);
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

// Peak resident memory of a process that only scans, and its result size.
std::optional<std::pair<long, size_t>> scan_peak_memory(const char *self, const std::string &root,
                                                        const std::string &work) {
    const std::string out = work + "/scan-only.out";
    const child_run run = spawn({self, "scan-only", root, out});
    std::ifstream in(out);
    size_t bytes = 0;
    if (run.status != 0 || !(in >> bytes))
        return std::nullopt;
    std::remove(out.c_str());
    return std::make_pair(run.max_rss_kib, bytes);
}

int scan_only(const std::string &root, const std::string &out) {
    const std::string dirs = edclean_json_io::path_array({root});
    char *text = edclean_scan(dirs.c_str(), nullptr);
    if (text == nullptr)
        return 1;
    std::ofstream(out) << std::strlen(text) << "\n";
    edclean_free_string(text);
    return 0;
}

// Scans `root` (not timed) and removes everything listed, files then
// directories, in one call each: the removal alone, for strace and perf.
int remove_only(const std::string &root) {
    const auto listed = scan_with_library(root);
    if (!listed)
        return 1;
    const std::string files = edclean_json_io::path_array(listed->lists.zero_files);
    const std::string dirs = edclean_json_io::path_array(listed->lists.empty_dirs);
    const auto start = clock_type::now();
    const int32_t removed_files = edclean_delete_files(files.c_str());
    const int32_t removed_dirs = edclean_delete_dirs(dirs.c_str());
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    std::fprintf(stderr, "removed %d of %zu files, %d of %zu directories in %.3f s\n",
                 removed_files, listed->lists.zero_files.size(), removed_dirs,
                 listed->lists.empty_dirs.size(), seconds);
    return removed_files == static_cast<int32_t>(listed->lists.zero_files.size()) &&
                   removed_dirs == static_cast<int32_t>(listed->lists.empty_dirs.size())
               ? 0
               : 1;
}

struct scan_timings {
    double library = 0, reference = 0, find = 0, fd = 0;
    bool fd_ran = false;
    bool same = true;
    size_t text_bytes = 0;
    size_t listed = 0;
};

scan_timings time_scans(const std::string &root, int runs, bool peers) {
    scan_timings t;
    std::vector<double> library, reference, find, fd;
    const bool have_fd = peers && on_path("fdfind");
    for (int r = -1; r < runs; ++r) { // run -1 warms the cache and is not counted
        const auto lib = scan_with_library(root);
        if (!lib) {
            t.same = false;
            return t;
        }
        const auto start = clock_type::now();
        const edbench::walk_result ref = edbench::reference_walk(root);
        const double ref_seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        if (r < 0) {
            t.same = same_results(lib->lists, ref);
            t.text_bytes = lib->text_bytes;
            t.listed = lib->lists.empty_dirs.size() + lib->lists.zero_files.size();
        }
        if (peers) {
            const child_run f = spawn({"find", root, "-empty"});
            if (r >= 0)
                find.push_back(f.seconds);
            if (have_fd) {
                const child_run d = spawn({"fdfind", "-H", "-t", "e", ".", root});
                if (r >= 0)
                    fd.push_back(d.seconds);
            }
        }
        if (r >= 0) {
            library.push_back(lib->seconds);
            reference.push_back(ref_seconds);
        }
    }
    t.library = median(library);
    t.reference = median(reference);
    t.find = median(find);
    t.fd = median(fd);
    t.fd_ran = have_fd;
    return t;
}

struct removal_timings {
    double library = 0, find = 0;
    bool all_removed = true;
};

removal_timings time_removals(const std::string &root, const std::string &work, int runs) {
    removal_timings t;
    std::vector<double> library, find;
    for (int r = 0; r < runs; ++r) {
        const std::string copy = work + "/removal-copy";
        spawn({"rm", "-rf", copy});
        spawn({"cp", "-a", root, copy});
        const auto listed = scan_with_library(canonical(copy));
        if (!listed)
            return t;
        const std::string files = edclean_json_io::path_array(listed->lists.zero_files);
        const std::string dirs = edclean_json_io::path_array(listed->lists.empty_dirs);
        const auto start = clock_type::now();
        const int32_t removed_files = edclean_delete_files(files.c_str());
        const int32_t removed_dirs = edclean_delete_dirs(dirs.c_str());
        library.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
        if (removed_files != static_cast<int32_t>(listed->lists.zero_files.size()) ||
            removed_dirs != static_cast<int32_t>(listed->lists.empty_dirs.size())) {
            std::fprintf(stderr, "removal: %d of %zu files, %d of %zu directories (%s)\n",
                         removed_files, listed->lists.zero_files.size(), removed_dirs,
                         listed->lists.empty_dirs.size(), edclean_last_error());
            t.all_removed = false;
        }
        spawn({"rm", "-rf", copy});
        spawn({"cp", "-a", root, copy});
        find.push_back(spawn({"find", copy, "-depth", "-empty", "-delete"}).seconds);
        spawn({"rm", "-rf", copy});
    }
    t.library = median(library);
    t.find = median(find);
    return t;
}

std::string make_tree(const std::string &work, uint64_t entries, uint64_t seed) {
    const std::string root = work + "/tree-" + std::to_string(entries) + "-" + std::to_string(seed);
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
        else
            return false;
    }
    return o.runs > 0 && o.entries > 0;
}

const char *verdict(bool ok) { return ok ? "met" : "MISSED"; }

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "scan-only") == 0)
        return scan_only(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "reference-only") == 0) // for strace and perf
        return edbench::reference_walk(argv[2]).scanned_dirs > 0 ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "remove-only") == 0) // for strace and perf
        return remove_only(canonical(argv[2]));
    options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--entries N] [--runs R] [--seed S] [--work DIR] "
                     "[--scale] [--no-removal] [--check]\n",
                     argv[0]);
        return 2;
    }
    std::string temporary;
    if (o.work.empty()) {
        char pattern[] = "/tmp/edclean-bench.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        o.work = temporary = pattern;
    }

    if (o.check) {
        // A small tree, once: the library must list exactly what the
        // reference lists, and remove everything it listed.
        const std::string root = make_tree(o.work, 3000, o.seed);
        const scan_timings s = time_scans(root, 1, false);
        const removal_timings r = time_removals(root, o.work, 1);
        if (!temporary.empty())
            spawn({"rm", "-rf", temporary});
        std::printf("check: lists %s, removal %s\n", s.same ? "identical" : "DIFFER",
                    r.all_removed ? "complete" : "INCOMPLETE");
        return s.same && r.all_removed ? 0 : 1;
    }

    const std::string root = make_tree(o.work, o.entries, o.seed);
    const scan_timings s = time_scans(root, o.runs, true);
    const removal_timings r =
        o.removal ? time_removals(root, o.work, std::max(1, o.runs / 2)) : removal_timings{};
    const auto memory = scan_peak_memory(argv[0], root, o.work);

    std::printf("\n%llu entries, %zu listed, median of %d runs, warm cache\n\n",
                static_cast<unsigned long long>(o.entries), s.listed, o.runs);
    std::printf("| task | seconds | ratio to reference walker |\n|---|---:|---:|\n");
    std::printf("| scan: library (edclean_scan) | %.3f | %.2f |\n", s.library,
                s.library / s.reference);
    std::printf("| scan: reference walker | %.3f | 1.00 |\n", s.reference);
    std::printf("| scan: find ROOT -empty | %.3f | %.2f |\n", s.find, s.find / s.reference);
    if (s.fd_ran)
        std::printf("| scan: fdfind -H -t e . ROOT | %.3f | %.2f |\n", s.fd, s.fd / s.reference);
    if (o.removal) {
        std::printf("| removal of everything listed: library | %.3f | |\n", r.library);
        std::printf("| removal: find ROOT -depth -empty -delete | %.3f | |\n", r.find);
    }

    std::printf("\nresults identical to the reference walker: %s\n", s.same ? "yes" : "NO");
    std::printf("scan <= 1.10 x reference walker: %.2f, %s\n", s.library / s.reference,
                verdict(s.library <= 1.10 * s.reference));
    std::printf("scan >= 1.5 x faster than find -empty: %.2f x, %s\n", s.find / s.library,
                verdict(s.find >= 1.5 * s.library));
    if (o.removal)
        std::printf("removal <= 2 x find -depth -empty -delete: %.2f, %s\n", r.library / r.find,
                    verdict(r.library <= 2 * r.find));
    bool memory_ok = false;
    if (memory) {
        const double peak_mib = memory->first / 1024.0;
        const double budget_mib = 16 + 3.0 * static_cast<double>(memory->second) / (1024 * 1024);
        memory_ok = peak_mib <= budget_mib;
        std::printf(
            "scan peak memory %.1f MiB, budget 16 MiB + 3 x %.1f MiB result = %.1f MiB: %s\n",
            peak_mib, memory->second / (1024.0 * 1024), budget_mib, verdict(memory_ok));
    }

    bool scale_ok = true;
    if (o.scale) {
        const std::string small = make_tree(o.work, 30000, o.seed);
        const std::string large = make_tree(o.work, 3000000, o.seed);
        const scan_timings ts = time_scans(small, o.runs, false);
        const scan_timings tl = time_scans(large, std::max(1, o.runs / 2), false);
        const double per_small = ts.library / 30000 * 1e6;
        const double per_large = tl.library / 3000000 * 1e6;
        scale_ok = per_large <= 1.2 * per_small && ts.same && tl.same;
        std::printf("scaling: %.3f us/entry at 30,000, %.3f us/entry at 3,000,000 (%.2f): %s\n",
                    per_small, per_large, per_large / per_small, verdict(scale_ok));
    }
    if (!temporary.empty())
        spawn({"rm", "-rf", temporary});
    return s.same && r.all_removed ? 0 : 1;
}
