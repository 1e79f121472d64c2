// edclean: find and remove empty directories and zero-byte files from the
// command line, through the library's five exports only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "census.h"
#include "console.h"
#include "edclean.h"
#include "edclean_json_io.h"
#include "help_format.h"
#include "journal.h"
#include "output.h"

#ifndef EDCLEAN_VERSION
#define EDCLEAN_VERSION "unknown"
#endif

namespace {

using clock_type = std::chrono::steady_clock;

enum exit_status {
    exit_success = 0,
    exit_call_failed = 1,
    exit_usage = 2,
    exit_partial = 3,
};

struct result_deleter {
    void operator()(char *text) const noexcept { edclean_free_string(text); }
};
using result_text = std::unique_ptr<char, result_deleter>;

struct scan_result {
    std::string text; // the library's result, unchanged
    edclean_json_io::scan_lists lists;
    double seconds = 0;
};

// Long work shows that it is alive: after a second, a line on a terminal's
// standard error with what has been done and the time taken, erased when
// the work ends; never off a terminal. The library reports nothing while a
// scan runs, so a scan shows only its time; a removal counts its entries.
class progress_line {
  public:
    explicit progress_line(std::string label, const std::atomic<long long> *done = nullptr,
                           long long total = 0)
        : label_(std::move(label)), done_count_(done), total_(total) {
        if (!edclean_tool::stderr_is_terminal())
            return;
        worker_ = std::thread([this] { run(); });
    }
    ~progress_line() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (worker_.joinable())
            worker_.join();
    }
    progress_line(const progress_line &) = delete;
    progress_line &operator=(const progress_line &) = delete;

  private:
    void run() {
        const auto start = clock_type::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; }))
            return;
        int width = 0;
        while (!done_) {
            const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
            std::string line = label_;
            if (done_count_ != nullptr)
                line += " " + std::to_string(done_count_->load()) + " of " + std::to_string(total_);
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, ", %.0f s", elapsed);
            line += seconds;
            width = std::max(width, static_cast<int>(line.size()));
            std::fprintf(stderr, "\r%-*s", width, line.c_str());
            std::fflush(stderr);
            wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; });
        }
        std::fprintf(stderr, "\r%*s\r", width, "");
        std::fflush(stderr);
    }

    std::string label_;
    const std::atomic<long long> *done_count_;
    long long total_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
};

// What both commands may narrow a scan by, as the user gave it.
struct scan_filters {
    std::vector<std::string> exclude;
    std::string min_age; // a duration checked while parsing; empty when not given
    int threads = 0;
    bool no_default_excludes = false;
};

// Names whose emptiness is their meaning: removing one breaks what reads
// it. Both commands leave them alone unless --no-default-excludes is given.
struct default_exclude {
    const char *name;
    const char *why;
};
constexpr default_exclude kDefaultExcludes[] = {
    {"__init__.py", "makes its folder a Python package"},
    {"py.typed", "marks a Python package as typed (PEP 561)"},
    {".gitkeep", "keeps an otherwise empty folder in a Git repository"},
    {".keep", "the same, as Rails and other generators write it"},
    {".nomedia", "hides a folder from Android's media scanner"},
    {".nojekyll", "turns off Jekyll for a GitHub Pages site"},
    {".metadata_never_index", "keeps Spotlight from indexing a volume"},
};

constexpr const char *kDurationForm =
    "a whole number of seconds, or one followed by s, m, h or d (90s, 30m, 12h, 7d)";

// The seconds in a duration: digits, then optionally one unit (s, m, h, d);
// nothing for any other text or a span too long to count.
std::optional<long long> duration_seconds(const std::string &text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || text.size() - digits > 1)
        return std::nullopt;
    long long unit = 1;
    if (digits < text.size()) {
        switch (text[digits]) {
        case 's':
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            return std::nullopt;
        }
    }
    const long long limit = std::numeric_limits<long long>::max() / unit;
    long long count = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = text[i] - '0';
        if (count > (limit - digit) / 10)
            return std::nullopt;
        count = count * 10 + digit;
    }
    return count * unit;
}

// The patterns a scan leaves alone: the user's and the default ones.
std::vector<std::string> exclude_patterns(const scan_filters &filters) {
    std::vector<std::string> patterns = filters.exclude;
    if (!filters.no_default_excludes)
        for (const default_exclude &name : kDefaultExcludes)
            patterns.push_back(name.name);
    return patterns;
}

// The scan's options as the library reads them.
std::string options_text(bool include_hidden, bool zero_files, const scan_filters &filters) {
    edclean_json_io::scan_settings settings;
    settings.include_hidden = include_hidden;
    settings.include_zero_byte = zero_files;
    settings.exclude = exclude_patterns(filters);
    if (!filters.min_age.empty())
        settings.min_age_seconds = duration_seconds(filters.min_age);
    settings.threads = filters.threads;
    return edclean_json_io::scan_options(settings);
}

// The flags both commands share, with the defaults their help states.
void add_filter_flags(CLI::App *command, scan_filters &filters) {
    command
        ->add_option("--exclude", filters.exclude,
                     "Leave alone entries whose name matches the glob PATTERN (*, ?, [...]) as "
                     "hidden names are; repeatable")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    command
        ->add_option("--min-age", filters.min_age,
                     "Leave out empty directories and zero-byte files modified less than "
                     "DURATION before the scan: 90s, 30m, 12h, 7d or seconds")
        ->type_name("DURATION")
        ->check(CLI::Validator(
            [](std::string &text) {
                return duration_seconds(text) ? std::string()
                                              : "'" + edclean_tool::shown(text) +
                                                    "' is not a duration: give " + kDurationForm;
            },
            "", "duration"));
    command
        ->add_option("--threads", filters.threads,
                     "Threads the scan may use, 0 for as many as help")
        ->type_name("N")
        ->check(CLI::Validator(
            [](std::string &text) {
                const bool count = !text.empty() && text.size() <= 9 &&
                                   text.find_first_not_of("0123456789") == std::string::npos;
                return count ? std::string()
                             : "'" + edclean_tool::shown(text) +
                                   "' is not a number of threads from 0 to 999999999";
            },
            "", "threads"));
    std::string names;
    for (const default_exclude &name : kDefaultExcludes)
        names += std::string(names.empty() ? "" : ", ") + name.name;
    command->add_flag("--no-default-excludes", filters.no_default_excludes,
                      "Do not leave alone the names whose emptiness is their meaning: " + names);
}

using edclean_tool::entry_kind;
using edclean_tool::out;
using edclean_tool::shown;

// A message on standard error; every name in it has gone through shown().
void say(const std::string &text) { std::cerr << "edclean: " << text << "\n"; }

// "1 entry", "2 entries": the noun agrees with its count.
std::string counted(long long count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Whether `path` is `tree` or lies beneath it.
bool inside(const std::string &path, const std::string &tree) {
    if (tree.empty() || path.size() < tree.size() ||
        !edclean_tool::same_path(path.substr(0, tree.size()), tree))
        return false;
    return path.size() == tree.size() || tree.back() == '/' || path[tree.size()] == '/';
}

bool has_dotdot(const std::string &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The roots as the user named them and in the real form the library gets:
// its refusal of ".." and of a link as a root is answered here with the
// path to use, and the tool's own policy (home folders, system trees,
// roots it cannot read) is applied before anything is walked.
struct root_plan {
    std::vector<std::string> real;
    std::vector<std::string> homes;
};

struct root_policy {
    bool clean = false;
    bool allow_system = false;
};

std::optional<int> plan_roots(const std::vector<std::string> &given, root_policy policy,
                              root_plan &plan) {
    plan.homes = edclean_tool::protected_homes();
    const std::vector<std::string> system = policy.clean && !policy.allow_system
                                                ? edclean_tool::system_trees()
                                                : std::vector<std::string>();
    for (const std::string &root : given) {
        if (!edclean_tool::valid_utf8(root)) {
            say(shown(root) + ": the name is not valid UTF-8, and only UTF-8 paths can be "
                              "scanned; name a folder above or below it");
            return 1;
        }
        if (const std::optional<std::string> target = edclean_tool::link_target(root)) {
            std::string error;
            const std::optional<std::string> real = edclean_tool::real_path(root, error);
            say(shown(root) + " is a link to " + shown(*target) +
                "; a link is never followed as a root: name " + shown(real.value_or(*target)) +
                " to scan where it leads");
            return 1;
        }
        std::string error;
        const std::optional<std::string> real = edclean_tool::real_path(root, error);
        if (!real) {
            // The library names what is missing or wrong in its own words.
            plan.real.push_back(root);
            continue;
        }
        if (has_dotdot(root))
            say("note: " + shown(root) + " is " + shown(*real) + "; using that");
        for (const std::string &home : plan.homes)
            if (edclean_tool::same_path(*real, home)) {
                say(shown(root) + " is your home folder itself, which is protected; name "
                                  "folders inside it");
                return 1;
            }
        std::error_code status_error;
        if (std::filesystem::is_directory(
                std::filesystem::path(std::u8string(real->begin(), real->end())), status_error) &&
            !edclean_tool::directory_readable(*real, error)) {
            say("cannot read " + shown(root) + ": " + error);
            return 1;
        }
        for (const std::string &tree : system) {
            const bool within = inside(*real, tree);
            if (within || inside(tree, *real)) {
                say("refusing to clean " + shown(root) + ": it " + (within ? "is in" : "holds") +
                    " the system folder " + shown(tree) +
                    ", whose empty files and folders software relies on; give --allow-system "
                    "to clean it anyway");
                return 1;
            }
        }
        plan.real.push_back(*real);
    }
    return std::nullopt;
}

bool is_root(const std::string &path, const root_plan &plan) {
    for (const std::string &root : plan.real)
        if (edclean_tool::same_path(path, root))
            return true;
    return false;
}

bool run_scan(const std::vector<std::string> &roots, bool include_hidden, bool zero_files,
              const scan_filters &filters, scan_result &out) {
    const std::string dirs = edclean_json_io::path_array(roots);
    const std::string options = options_text(include_hidden, zero_files, filters);
    const auto start = clock_type::now();
    result_text text;
    {
        progress_line progress("scanning");
        text.reset(edclean_scan(dirs.c_str(), options.c_str()));
    }
    out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!text) {
        say(shown(edclean_last_error()));
        return false;
    }
    out.text = text.get();
    std::optional<edclean_json_io::scan_lists> lists =
        edclean_json_io::read_scan_result(text.get());
    if (!lists) {
        say("unreadable scan result");
        return false;
    }
    out.lists = std::move(*lists);
    return true;
}

// Where human-readable lines go: standard output, or standard error when
// standard output carries a machine format.
using line_sink = std::function<void(const std::string &)>;

void to_stdout(const std::string &text) { out(text); }
void to_stderr(const std::string &text) { std::cerr << text; }

// How a list of paths is shown to a person.
enum class list_view { full, collapsed, summary };

// Each top-most directory of `dirs` once, with how many of them lie within
// it (itself included): a tree of empty folders is one line.
void print_collapsed(const std::vector<std::string> &dirs, const line_sink &sink,
                     const std::function<std::string(const std::string &)> &mark) {
    std::vector<std::string> sorted = dirs;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i + 1;
        while (j < sorted.size() && inside(sorted[j], sorted[i]))
            ++j;
        std::string line = "  " + shown(sorted[i]) + "/";
        if (j - i > 1)
            line += " (" + counted(static_cast<long long>(j - i), "empty folder", "empty folders") +
                    ")";
        sink(line + mark(sorted[i]) + "\n");
        i = j;
    }
}

void print_list(const char *title, const std::vector<std::string> &paths, list_view view,
                const line_sink &sink,
                const std::function<std::string(const std::string &)> &mark) {
    sink(std::string(title) + " (" + std::to_string(paths.size()) + "):\n");
    if (view == list_view::collapsed)
        return print_collapsed(paths, sink, mark);
    for (const std::string &p : paths)
        sink("  " + shown(p) + mark(p) + "\n");
}

std::string no_mark(const std::string &) { return std::string(); }

// The view when none was asked for: the full list, unless standard output is
// a terminal the list would scroll off.
list_view chosen_view(bool summary, bool collapse, bool full, size_t lines) {
    if (summary)
        return list_view::summary;
    if (collapse)
        return list_view::collapsed;
    if (full || !edclean_tool::stdout_is_terminal())
        return list_view::full;
    const int rows = edclean_tool::terminal_rows();
    return rows > 0 && lines + 4 > static_cast<size_t>(rows) ? list_view::collapsed
                                                             : list_view::full;
}

std::string scan_summary(const scan_result &r, size_t dirs, size_t files) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", r.seconds);
    return counted(static_cast<long long>(dirs), "empty directory", "empty directories") + ", " +
           counted(static_cast<long long>(files), "zero-byte file", "zero-byte files") + ", " +
           counted(r.lists.scanned_dirs, "directory", "directories") + " scanned in " + seconds +
           " s\n";
}

// What the scan passed by, for a person: a line after the summary, and a
// warning on standard error for folders that could not be read.
void report_census(const std::vector<std::string> &roots, bool include_hidden,
                   const scan_filters &filters, const line_sink &sink) {
    edclean_tool::census_rules rules;
    rules.include_hidden = include_hidden;
    rules.exclude = exclude_patterns(filters);
    const edclean_tool::census c = edclean_tool::take_census(roots, rules);
    std::string parts;
    const auto add = [&parts](long long count, const std::string &what) {
        if (count > 0)
            parts += (parts.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    add(c.hidden, "hidden (--include-hidden to include)");
    add(c.excluded, "excluded by --exclude or the default excludes");
    add(c.invalid_name, "with a name that is not valid UTF-8");
    add(c.unreadable,
        c.unreadable == 1 ? "folder that could not be read" : "folders that could not be read");
    if (!parts.empty())
        sink("Left alone: " + parts + "\n");
    if (c.unreadable > 0) {
        std::string paths;
        for (const std::string &path : c.unreadable_paths)
            paths += (paths.empty() ? "" : ", ") + shown(path);
        if (c.unreadable > static_cast<long long>(c.unreadable_paths.size()))
            paths += ", ...";
        say("warning: " +
            counted(c.unreadable, "folder could not be read", "folders could not be read") +
            ", so nothing in " + (c.unreadable == 1 ? "it" : "them") + " was listed: " + paths);
    }
}

// The view flags both commands take.
struct view_flags {
    bool json = false;
    bool nul = false;
    bool summary = false;
    bool collapse = false;
    bool full = false;
};

struct scan_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool dirs_only = false;
    bool files_only = false;
    view_flags view;
    scan_filters filters;
};

int command_scan(const scan_options &o) {
    root_plan plan;
    if (const std::optional<int> refused = plan_roots(o.roots, {}, plan))
        return *refused;
    scan_result r;
    if (!run_scan(plan.real, o.include_hidden, !o.dirs_only, o.filters, r))
        return exit_call_failed;
    if (o.files_only)
        r.lists.empty_dirs.clear();
    if (o.view.json) {
        out(r.text);
        out("\n");
        return exit_success;
    }
    if (o.view.nul) {
        for (const auto *list : {&r.lists.empty_dirs, &r.lists.zero_files})
            for (const std::string &p : *list)
                out(std::string_view(p.c_str(), p.size() + 1));
        return exit_success;
    }
    out(scan_summary(r, r.lists.empty_dirs.size(), r.lists.zero_files.size()));
    report_census(plan.real, o.include_hidden, o.filters, to_stdout);
    const list_view view = chosen_view(o.view.summary, o.view.collapse, o.view.full,
                                       r.lists.empty_dirs.size() + r.lists.zero_files.size());
    if (view == list_view::summary)
        return exit_success;
    const auto root_mark = [&plan](const std::string &p) {
        return is_root(p, plan) ? std::string("  (root)") : std::string();
    };
    if (!o.files_only)
        print_list("Empty directories", r.lists.empty_dirs, view, to_stdout, root_mark);
    if (!o.dirs_only)
        print_list("Zero-byte files", r.lists.zero_files, list_view::full, to_stdout, no_mark);
    return exit_success;
}

struct clean_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool dirs_only = false;
    bool files_only = false;
    bool dry_run = false;
    bool yes = false;
    bool remove_roots = false;
    bool allow_system = false;
    view_flags view;
    scan_filters filters;
    std::string journal;
};

// What a clean removes: the scan's lists as --dirs-only or --files-only
// narrow them, less the roots and protected homes, plus every directory the
// removal of the rest leaves empty. Directories come deepest first, so that
// one entry per call removes each after its contents.
struct clean_selection {
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    std::set<std::string> emptied; // directories empty once their contents go
    size_t count() const { return dirs.size() + files.size(); }
};

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash == 0 ? 1 : slash);
}

size_t depth(const std::string &path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
}

// Whether a directory may be offered at all: never a root unless
// --remove-roots, never a protected home or a directory that holds one.
bool may_offer_dir(const std::string &dir, const root_plan &plan, bool remove_roots) {
    if (!remove_roots && is_root(dir, plan))
        return false;
    for (const std::string &home : plan.homes)
        if (inside(home, dir))
            return false;
    bool within_root = false;
    for (const std::string &root : plan.real)
        within_root = within_root || inside(dir, root);
    return within_root;
}

// Whether every entry of `dir` is already chosen: the directory is then
// empty once they go. The library judges it again before removing it.
bool emptied_by(const std::string &dir, const std::set<std::string> &chosen,
                std::optional<long long> min_age) {
    std::error_code error;
    const std::filesystem::path where = fs_path(dir);
    if (std::filesystem::symlink_status(where, error).type() !=
        std::filesystem::file_type::directory)
        return false;
    if (min_age) {
        // Removing its contents will make it young; its age is what it is now.
        const auto written = std::filesystem::last_write_time(where, error);
        if (error || written > std::filesystem::file_time_type::clock::now() -
                                   std::chrono::seconds(*min_age))
            return false;
    }
    std::filesystem::directory_iterator entries(where, error);
    if (error)
        return false;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::u8string name = entries->path().filename().u8string();
        std::string child = dir;
        if (child.back() != '/')
            child += '/';
        child.append(name.begin(), name.end());
        if (chosen.count(child) == 0)
            return false;
    }
    return !error;
}

clean_selection select_for_clean(const clean_options &o, const root_plan &plan,
                                 edclean_json_io::scan_lists &&lists) {
    clean_selection s;
    if (!o.files_only)
        for (std::string &dir : lists.empty_dirs)
            if (may_offer_dir(dir, plan, o.remove_roots))
                s.dirs.push_back(std::move(dir));
    if (!o.dirs_only)
        s.files = std::move(lists.zero_files);

    std::set<std::string> chosen(s.dirs.begin(), s.dirs.end());
    chosen.insert(s.files.begin(), s.files.end());
    std::optional<long long> min_age;
    if (!o.filters.min_age.empty())
        min_age = duration_seconds(o.filters.min_age);
    // The deepest candidate first: by the time a directory is judged, every
    // directory inside it that could be chosen has been.
    std::set<std::pair<size_t, std::string>, std::greater<>> candidates;
    const auto propose_parent = [&](const std::string &path) {
        const std::string parent = parent_of(path);
        if (!parent.empty() && parent != path && chosen.count(parent) == 0 &&
            may_offer_dir(parent, plan, o.remove_roots))
            candidates.emplace(depth(parent), parent);
    };
    for (const std::string &path : chosen)
        propose_parent(path);
    while (!candidates.empty()) {
        const std::string dir = candidates.begin()->second;
        candidates.erase(candidates.begin());
        if (chosen.count(dir) != 0 || !emptied_by(dir, chosen, min_age))
            continue;
        chosen.insert(dir);
        s.dirs.push_back(dir);
        s.emptied.insert(dir);
        propose_parent(dir);
    }
    std::stable_sort(s.dirs.begin(), s.dirs.end(), [](const std::string &a, const std::string &b) {
        return depth(a) > depth(b);
    });
    return s;
}

std::string selection_mark(const clean_selection &s, const root_plan &plan,
                           const std::string &path) {
    std::string mark;
    if (s.emptied.count(path) != 0)
        mark += "  (empty once its contents go)";
    if (is_root(path, plan))
        mark += "  (root)";
    return mark;
}

void print_selection(const clean_selection &s, const root_plan &plan, list_view view,
                     const line_sink &sink) {
    const auto mark = [&](const std::string &p) { return selection_mark(s, plan, p); };
    if (view == list_view::summary)
        return;
    if (!s.dirs.empty())
        print_list("Empty directories", s.dirs, view, sink, mark);
    if (!s.files.empty())
        print_list("Zero-byte files", s.files, list_view::full, sink, no_mark);
}

bool confirm(size_t count, const line_sink &sink, bool to_terminal_stdout) {
    sink(std::string("Remove ") + (count == 1 ? "this" : "these") + " " +
         counted(static_cast<long long>(count), "entry", "entries") + "? [y/N] ");
    if (to_terminal_stdout)
        std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

// The exit status when `wanted` entries may not be removed: without --yes
// only a terminal's user may agree. Nothing when removal goes ahead.
std::optional<int> removal_declined(const clean_options &o, size_t wanted, const line_sink &sink) {
    if (o.yes)
        return std::nullopt;
    if (!edclean_tool::stdin_is_terminal()) {
        say("refusing to remove without --yes when standard input is not a terminal");
        return exit_usage;
    }
    if (!confirm(wanted, sink, !o.view.json && !o.view.nul)) {
        sink("Nothing removed.\n");
        return exit_success;
    }
    return std::nullopt;
}

// What became of one offered entry.
struct entry_result {
    const std::string *path;
    entry_kind kind;
    bool removed = false;
    std::string message; // the library's, when it refused and said why
    std::string reason;  // in a user's words
};

// The library's refusal of `path` in words a user knows.
std::string reason_in_words(const std::string &message, const std::string &path, entry_kind kind,
                            const root_plan &plan) {
    for (const std::string &home : plan.homes)
        if (edclean_tool::same_path(path, home))
            return "your home folder is protected";
    static const std::pair<const char *, const char *> words[] = {
        {"refused: directory no longer empty (TOCTOU)", "gained an entry since the scan"},
        {"refused: file size != 0", "now holds data"},
        {"path not found", "no longer there"},
        {"refused: symlink", "now a link, or reached through one"},
        {"refused: not a directory", "no longer a folder"},
        {"refused: not a regular file", "no longer a plain file"},
        {"refused: system root", "a protected system folder"},
        {"refused: outside scanned roots", "outside the folders scanned"},
        {"refused: path contains ..", "its path has a '..' in it"},
        {"rmdir failed", "the system would not remove it"},
        {"unlink failed", "the system would not remove it"},
    };
    for (const auto &[library, user] : words)
        if (message == library)
            return user;
    if (!message.empty())
        return message;
    // No message of its own (an entry the journal could not note, or one
    // whose refusal a later one replaced): what the entry is now says why.
    std::error_code error;
    const std::filesystem::path where = fs_path(path);
    const auto status = std::filesystem::symlink_status(where, error);
    if (status.type() == std::filesystem::file_type::symlink)
        return "now a link, or reached through one";
    if (kind == entry_kind::file && status.type() == std::filesystem::file_type::regular &&
        std::filesystem::file_size(where, error) > 0)
        return "now holds data";
    if (kind == entry_kind::dir && status.type() == std::filesystem::file_type::directory &&
        !std::filesystem::is_empty(where, error))
        return "gained an entry since the scan";
    return "refused";
}

struct removal_report {
    std::vector<entry_result> entries;
    long long removed = 0;
    bool call_failed = false;
    std::string journal_error;
    std::string last_refusal; // through the journal, the library's last message only
};

removal_report remove_selection(const clean_selection &s, edclean_tool::journal_writer *journal,
                                const root_plan &plan) {
    removal_report report;
    for (const std::string &path : s.files)
        report.entries.push_back({&path, entry_kind::file, false, {}, {}});
    for (const std::string &path : s.dirs)
        report.entries.push_back({&path, entry_kind::dir, false, {}, {}});
    std::atomic<long long> done{0};
    progress_line progress("removing", &done, static_cast<long long>(report.entries.size()));
    // Files first, then directories deepest first, one entry per call: the
    // count then says whether this very entry went, and the message why not.
    if (journal != nullptr) {
        edclean_tool::removal_outcome outcome;
        journal->remove({{s.files, entry_kind::file, edclean_delete_files},
                         {s.dirs, entry_kind::dir, edclean_delete_dirs}},
                        outcome);
        report.call_failed = outcome.call_failed;
        report.journal_error = outcome.journal_error;
        report.last_refusal = outcome.last_refusal;
        // The journal reports a count: the count is the library's, and what
        // is still there was kept.
        report.removed = outcome.removed;
        for (entry_result &entry : report.entries) {
            std::error_code error;
            entry.removed = !std::filesystem::exists(
                std::filesystem::symlink_status(fs_path(*entry.path), error));
        }
    } else {
        for (entry_result &entry : report.entries) {
            const auto call =
                entry.kind == entry_kind::file ? edclean_delete_files : edclean_delete_dirs;
            const int32_t count = call(edclean_json_io::path_array({*entry.path}).c_str());
            entry.removed = count == 1;
            if (count < 0)
                report.call_failed = true;
            if (!entry.removed)
                entry.message = edclean_last_error();
            report.removed += entry.removed ? 1 : 0;
            ++done;
        }
    }
    for (entry_result &entry : report.entries)
        if (!entry.removed)
            entry.reason = reason_in_words(entry.message, *entry.path, entry.kind, plan);
    return report;
}

// One JSON line for an entry of a clean.
std::string entry_record(const std::string &path, entry_kind kind, const char *outcome,
                         bool emptied, const std::string &message, const std::string &reason) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("path");
    writer.String(path.c_str(), static_cast<rapidjson::SizeType>(path.size()));
    writer.Key("kind");
    writer.String(kind == entry_kind::dir ? "dir" : "file");
    writer.Key("outcome");
    writer.String(outcome);
    if (emptied) {
        writer.Key("emptied");
        writer.Bool(true);
    }
    if (!message.empty()) {
        writer.Key("message");
        writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    }
    if (!reason.empty()) {
        writer.Key("reason");
        writer.String(reason.c_str(), static_cast<rapidjson::SizeType>(reason.size()));
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

// Reports what removal did; its exit status.
int report_removal(const removal_report &report, const clean_selection &s, const view_flags &v) {
    const size_t wanted = report.entries.size();
    if (v.json || v.nul) {
        for (const entry_result &entry : report.entries) {
            if (v.nul) {
                if (entry.removed)
                    out(std::string_view(entry.path->c_str(), entry.path->size() + 1));
                continue;
            }
            out(entry_record(*entry.path, entry.kind, entry.removed ? "removed" : "kept",
                             s.emptied.count(*entry.path) != 0, entry.message, entry.reason));
        }
    } else {
        out("Removed " + std::to_string(report.removed) + " of " +
            counted(static_cast<long long>(wanted), "entry", "entries") + ".\n");
        const auto kept = std::count_if(report.entries.begin(), report.entries.end(),
                                        [](const entry_result &e) { return !e.removed; });
        if (kept > 0) {
            out("Kept (" + std::to_string(kept) + "):\n");
            for (const entry_result &entry : report.entries)
                if (!entry.removed)
                    out("  kept: " + entry.reason + ": " + shown(*entry.path) + "\n");
        }
    }
    if (!report.last_refusal.empty())
        say("the library's last refusal: " + shown(report.last_refusal));
    if (!report.journal_error.empty())
        say(shown(report.journal_error));
    if (report.call_failed || !report.journal_error.empty())
        return exit_call_failed;
    if (static_cast<size_t>(report.removed) == wanted)
        return exit_success;
    return report.removed > 0 ? exit_partial : exit_call_failed;
}

// Whether standard output has taken everything so far. A clean that could
// not show what it offers removes nothing.
bool output_intact() {
    std::string reason;
    bool closed = false;
    if (edclean_tool::flush_out(reason, closed))
        return true;
    if (!closed)
        say("cannot write standard output: " + reason + "; nothing was removed");
    return false;
}

int command_clean(const clean_options &o) {
    root_plan plan;
    if (const std::optional<int> refused = plan_roots(o.roots, {true, o.allow_system}, plan))
        return *refused;
    // Created before the scan, so that a journal that cannot be written
    // stops the clean before anything is listed, asked or removed.
    std::unique_ptr<edclean_tool::journal_writer> journal;
    if (!o.journal.empty() && !o.dry_run) {
        std::string error;
        journal = edclean_tool::journal_writer::create(o.journal, error);
        if (!journal) {
            say("journal " + shown(o.journal) + ": " + shown(error));
            return exit_call_failed;
        }
    }
    scan_result r;
    if (!run_scan(plan.real, o.include_hidden, !o.dirs_only, o.filters, r))
        return exit_call_failed;
    // The journal is never listed nor removed, and records the roots first.
    if (std::string error; journal && !journal->begin(plan.real, r.lists.zero_files, error)) {
        std::cerr << "edclean: " << shown(error) << "\n";
        return exit_call_failed;
    }
    const clean_selection selection = select_for_clean(o, plan, std::move(r.lists));
    const size_t wanted = selection.count();
    const bool machine = o.view.json || o.view.nul;
    // With a machine format on standard output, a person reads the offer
    // on standard error.
    const line_sink sink = machine ? line_sink(to_stderr) : line_sink(to_stdout);
    const bool asking = !o.yes && !o.dry_run && edclean_tool::stdin_is_terminal();
    const list_view view = chosen_view(o.view.summary, o.view.collapse, o.view.full, wanted);
    if (!machine || asking) {
        print_selection(selection, plan, view, sink);
        report_census(plan.real, o.include_hidden, o.filters, sink);
    }
    if (wanted == 0) {
        if (!machine)
            out("Nothing to remove.\n");
        return output_intact() ? exit_success : exit_call_failed;
    }
    if (o.dry_run) {
        if (machine) {
            for (const auto &[list, kind] : {std::pair{&selection.files, entry_kind::file},
                                             std::pair{&selection.dirs, entry_kind::dir}})
                for (const std::string &path : *list) {
                    if (o.view.nul)
                        out(std::string_view(path.c_str(), path.size() + 1));
                    else
                        out(entry_record(path, kind, "offered", selection.emptied.count(path) != 0,
                                         "", ""));
                }
        } else {
            out("Dry run: " + counted(static_cast<long long>(wanted), "entry", "entries") +
                " would be removed.\n");
        }
        return exit_success;
    }
    if (!output_intact())
        return exit_call_failed;
    if (const std::optional<int> declined = removal_declined(o, wanted, sink))
        return *declined;
    return report_removal(remove_selection(selection, journal.get(), plan), selection, o.view);
}

int command_restore(const std::string &journal) {
    const edclean_tool::restore_counts counts = edclean_tool::restore_journal(journal);
    if (!counts.readable)
        return exit_call_failed;
    out("Restored " + std::to_string(counts.restored) + " of " +
        counted(counts.total, "entry", "entries") + ".\n");
    return counts.complete() ? exit_success : exit_partial;
}

// The subcommand closest to a mistyped one, when one is close enough to
// be what was meant.
std::optional<std::string> closest_command(const std::string &typed,
                                           const std::vector<std::string> &commands) {
    std::optional<std::string> best;
    size_t best_distance = 3; // more edits than this is another word
    for (const std::string &command : commands) {
        std::vector<size_t> row(command.size() + 1);
        for (size_t j = 0; j <= command.size(); ++j)
            row[j] = j;
        for (size_t i = 1; i <= typed.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= command.size(); ++j) {
                const size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                                   diagonal + (typed[i - 1] == command[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row[command.size()] < best_distance) {
            best_distance = row[command.size()];
            best = command;
        }
    }
    return best;
}

// A pattern with a '/' never matches: patterns are matched against names.
void warn_about_paths_in_patterns(const std::vector<std::string> &patterns) {
    for (const std::string &pattern : patterns) {
        if (pattern.find('/') == std::string::npos)
            continue;
        std::string name = pattern;
        while (!name.empty() && name.back() == '/')
            name.pop_back();
        name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        std::string hint = name.empty() ? std::string()
                                        : "; to leave alone every entry named " + shown(name) +
                                              ", give --exclude " + shown(name);
        say("warning: --exclude " + shown(pattern) +
            " holds a '/', but patterns match names, not paths, so it matches nothing" + hint);
    }
}

} // namespace

// The flags of how results are shown, on either command.
void add_view_flags(CLI::App *command, view_flags &v, const char *json_help, const char *nul_help) {
    CLI::Option *json = command->add_flag("--json", v.json, json_help);
    CLI::Option *nul = command->add_flag("-0,--null", v.nul, nul_help);
    json->excludes(nul);
    CLI::Option *summary =
        command->add_flag("--summary", v.summary, "Show the counts only, not the entries");
    CLI::Option *collapse = command->add_flag(
        "--collapse", v.collapse,
        "Show each top-most empty directory once, with how many lie within it (the view on a "
        "terminal when the list would not fit)");
    CLI::Option *full = command->add_flag("--full", v.full, "Show every entry, also on a terminal");
    summary->excludes(collapse)->excludes(full);
    collapse->excludes(full);
}

int main(int argc, char **argv) {
    edclean_tool::prepare_console();
    CLI::App app{"Find and remove empty directories and zero-byte files.", "edclean"};
    // Every option's help shows its default; subcommands take both from here.
    app.formatter(std::make_shared<edclean_tool::help_formatter>());
    app.option_defaults()->always_capture_default();
    // Paths may begin with '/', which must never read as a Windows-style option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", EDCLEAN_VERSION);
    app.require_subcommand(1);

    scan_options scan;
    CLI::App *scan_cmd = app.add_subcommand("scan", "List empty directories and zero-byte files");
    scan_cmd->add_flag("--include-hidden", scan.include_hidden,
                       "Walk and list names beginning with '.'");
    CLI::Option *scan_dirs_only = scan_cmd->add_flag("--dirs-only,--no-zero-files", scan.dirs_only,
                                                     "List only empty directories");
    CLI::Option *scan_files_only =
        scan_cmd->add_flag("--files-only", scan.files_only, "List only zero-byte files");
    scan_dirs_only->excludes(scan_files_only);
    add_view_flags(scan_cmd, scan.view, "Print the library's JSON result unchanged",
                   "Print the paths NUL-separated, for xargs -0");
    add_filter_flags(scan_cmd, scan.filters);
    scan_cmd->add_option("ROOT", scan.roots, "Directories to scan")->required();

    clean_options clean;
    CLI::App *clean_cmd = app.add_subcommand("clean", "Scan, then remove what was found");
    clean_cmd->add_flag("--include-hidden", clean.include_hidden,
                        "Walk and remove names beginning with '.'");
    CLI::Option *dirs_only = clean_cmd->add_flag("--dirs-only,--no-zero-files", clean.dirs_only,
                                                 "Remove only empty directories");
    CLI::Option *files_only =
        clean_cmd->add_flag("--files-only", clean.files_only, "Remove only zero-byte files");
    dirs_only->excludes(files_only);
    clean_cmd->add_flag("--dry-run", clean.dry_run, "Show what would be removed, remove nothing");
    clean_cmd->add_flag("-y,--yes", clean.yes, "Remove without asking");
    clean_cmd->add_flag("--remove-roots", clean.remove_roots,
                        "Also remove a ROOT that is empty or left empty");
    clean_cmd->add_flag("--allow-system", clean.allow_system,
                        "Clean a ROOT in or above a folder the system relies on (listed below)");
    add_view_flags(clean_cmd, clean.view,
                   "Print one JSON line per entry: path, kind, outcome and the library's message",
                   "Print the paths removed NUL-separated, for xargs -0");
    add_filter_flags(clean_cmd, clean.filters);
    clean_cmd
        ->add_option("--journal", clean.journal,
                     "Record each entry removed in FILE, a new file, for restore")
        ->type_name("FILE");
    clean_cmd->add_option("ROOT", clean.roots, "Directories to clean")->required();

    std::string restore_file;
    CLI::App *restore_cmd = app.add_subcommand(
        "restore", "Recreate the entries a journal of clean lists, with their metadata");
    restore_cmd->add_option("FILE", restore_file, "Journal written by clean --journal")->required();

    std::string left_alone = "Left alone unless --no-default-excludes is given:\n";
    for (const default_exclude &name : kDefaultExcludes)
        left_alone += "  " + std::string(name.name) +
                      std::string(24 - std::strlen(name.name), ' ') + name.why + "\n";
    std::string system_list;
    std::vector<std::string> trees = edclean_tool::system_trees();
    std::sort(trees.begin(), trees.end());
    trees.erase(std::unique(trees.begin(), trees.end()), trees.end());
    size_t line_start = 0;
    for (const std::string &tree : trees) {
        if (!system_list.empty()) {
            system_list += ",";
            if (system_list.size() - line_start + tree.size() > 76) {
                system_list += "\n";
                line_start = system_list.size();
            }
        }
        system_list += (system_list.size() == line_start ? "  " : " ") + tree;
    }
    app.footer(left_alone +
               "\nclean refuses a ROOT in or above a folder the system relies on, unless\n"
               "--allow-system is given:\n" +
               system_list +
               "\n\n"
               "Exit status:\n"
               "  0  success\n"
               "  1  a refused or failed call, a root refused or unreadable, output that\n"
               "     cannot be written, or a journal that cannot be written or read\n"
               "  2  usage error\n"
               "  3  a clean that removed some entries but kept others, or a restore that\n"
               "     skipped entries");

    std::vector<std::string> arguments = edclean_tool::utf8_arguments(argc, argv);
    const std::vector<std::string> commands = {"scan", "clean", "restore"};
    if (arguments.size() > 1 && !arguments[1].empty() && arguments[1][0] != '-' &&
        std::find(commands.begin(), commands.end(), arguments[1]) == commands.end()) {
        const std::optional<std::string> meant = closest_command(arguments[1], commands);
        say("unknown command '" + shown(arguments[1]) + "'; " +
            (meant ? "did you mean '" + *meant + "'?" : "the commands are scan, clean, restore"));
        return exit_usage;
    }
    std::vector<char *> pointers;
    for (std::string &a : arguments)
        pointers.push_back(a.data());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::Success &e) { // help or version: printed, exit status 0
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return exit_usage;
    }
    int status;
    if (scan_cmd->parsed()) {
        warn_about_paths_in_patterns(scan.filters.exclude);
        status = command_scan(scan);
    } else if (restore_cmd->parsed()) {
        status = command_restore(restore_file);
    } else {
        warn_about_paths_in_patterns(clean.filters.exclude);
        status = command_clean(clean);
    }
    // Output that did not arrive is a failure; a reader that went away
    // (a closed pipe) ends the program quietly.
    std::string reason;
    bool closed = false;
    if (!edclean_tool::flush_out(reason, closed)) {
        if (!closed)
            say("cannot write standard output: " + reason);
        return status == exit_success ? exit_call_failed : status;
    }
    return status;
}
