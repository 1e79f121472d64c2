// edclean: find and remove empty directories and zero-byte files from the
// command line, through the library's five exports only.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "console.h"
#include "edclean.h"
#include "edclean_json_io.h"
#include "help_format.h"
#include "journal.h"

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

// The library reports no progress, so while a scan takes longer than a
// moment the host shows that it is alive: an indeterminate line on a
// terminal's standard error, erased when the scan ends.
class progress_line {
  public:
    progress_line() {
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
        static const char spinner[] = {'|', '/', '-', '\\'};
        const auto start = clock_type::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::milliseconds(400), [this] { return done_; }))
            return;
        for (unsigned tick = 0; !done_; ++tick) {
            const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
            std::fprintf(stderr, "\rscanning %c %.1f s ", spinner[tick % 4], elapsed);
            std::fflush(stderr);
            wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; });
        }
        std::fprintf(stderr, "\r%30s\r", "");
        std::fflush(stderr);
    }

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

// The scan's options as the library reads them.
std::string options_text(bool include_hidden, bool zero_files, const scan_filters &filters) {
    edclean_json_io::scan_settings settings;
    settings.include_hidden = include_hidden;
    settings.include_zero_byte = zero_files;
    settings.exclude = filters.exclude;
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
                return duration_seconds(text)
                           ? std::string()
                           : "'" + text + "' is not a duration: give " + kDurationForm;
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
                             : "'" + text + "' is not a number of threads from 0 to 999999999";
            },
            "", "threads"));
}

bool run_scan(const std::vector<std::string> &roots, bool include_hidden, bool zero_files,
              const scan_filters &filters, scan_result &out) {
    const std::string dirs = edclean_json_io::path_array(roots);
    const std::string options = options_text(include_hidden, zero_files, filters);
    const auto start = clock_type::now();
    result_text text;
    {
        progress_line progress;
        text.reset(edclean_scan(dirs.c_str(), options.c_str()));
    }
    out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!text) {
        std::cerr << "edclean: " << edclean_last_error() << "\n";
        return false;
    }
    out.text = text.get();
    std::optional<edclean_json_io::scan_lists> lists =
        edclean_json_io::read_scan_result(text.get());
    if (!lists) {
        std::cerr << "edclean: unreadable scan result\n";
        return false;
    }
    out.lists = std::move(*lists);
    return true;
}

void print_list(const char *title, const std::vector<std::string> &paths) {
    std::printf("%s (%zu):\n", title, paths.size());
    for (const std::string &p : paths)
        std::printf("  %s\n", p.c_str());
}

// "1 entry", "2 entries": the noun agrees with its count.
std::string counted(long long count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void print_summary(const scan_result &r) {
    const auto n = [](size_t count) { return static_cast<long long>(count); };
    std::printf(
        "%s, %s, %s scanned in %.2f s\n",
        counted(n(r.lists.empty_dirs.size()), "empty directory", "empty directories").c_str(),
        counted(n(r.lists.zero_files.size()), "zero-byte file", "zero-byte files").c_str(),
        counted(r.lists.scanned_dirs, "directory", "directories").c_str(), r.seconds);
}

struct scan_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool no_zero_files = false;
    bool json = false;
    bool nul = false;
    scan_filters filters;
};

int command_scan(const scan_options &o) {
    scan_result r;
    if (!run_scan(o.roots, o.include_hidden, !o.no_zero_files, o.filters, r))
        return exit_call_failed;
    if (o.json) {
        std::printf("%s\n", r.text.c_str());
    } else if (o.nul) {
        for (const auto *list : {&r.lists.empty_dirs, &r.lists.zero_files})
            for (const std::string &p : *list)
                std::fwrite(p.c_str(), 1, p.size() + 1, stdout);
    } else {
        print_list("Empty directories", r.lists.empty_dirs);
        print_list("Zero-byte files", r.lists.zero_files);
        print_summary(r);
    }
    return exit_success;
}

struct clean_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool dirs_only = false;
    bool files_only = false;
    bool dry_run = false;
    bool yes = false;
    scan_filters filters;
    std::string journal;
};

bool confirm(size_t count) {
    std::printf("Remove %s %s? [y/N] ", count == 1 ? "this" : "these",
                counted(static_cast<long long>(count), "entry", "entries").c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

// What a clean removes: the scan's lists as --dirs-only or --files-only
// narrow them.
struct clean_selection {
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    size_t count() const { return dirs.size() + files.size(); }
};

clean_selection select_for_clean(const clean_options &o, edclean_json_io::scan_lists &&lists) {
    clean_selection s;
    if (!o.files_only)
        s.dirs = std::move(lists.empty_dirs);
    if (!o.dirs_only)
        s.files = std::move(lists.zero_files);
    return s;
}

// Lists each kind the selection holds any of.
void print_selection(const clean_selection &s) {
    if (!s.dirs.empty())
        print_list("Empty directories", s.dirs);
    if (!s.files.empty())
        print_list("Zero-byte files", s.files);
}

// The exit status when `wanted` entries may not be removed: without --yes
// only a terminal's user may agree. Nothing when removal goes ahead.
std::optional<int> removal_declined(const clean_options &o, size_t wanted) {
    if (o.yes)
        return std::nullopt;
    if (!edclean_tool::stdin_is_terminal()) {
        std::cerr << "edclean: refusing to remove without --yes when standard input is not a "
                     "terminal\n";
        return exit_usage;
    }
    if (!confirm(wanted)) {
        std::printf("Nothing removed.\n");
        return exit_success;
    }
    return std::nullopt;
}

using edclean_tool::delete_call;
using edclean_tool::entry_kind;
using edclean_tool::removal_outcome;

// Hands one list to its delete call and adds what it did to `outcome`.
void remove_list(const std::vector<std::string> &paths, delete_call call,
                 removal_outcome &outcome) {
    if (paths.empty())
        return;
    const int32_t count = call(edclean_json_io::path_array(paths).c_str());
    if (count < 0) {
        outcome.call_failed = true;
        outcome.last_refusal = edclean_last_error();
        return;
    }
    outcome.removed += count;
    if (*edclean_last_error() != '\0')
        outcome.last_refusal = edclean_last_error();
}

removal_outcome remove_selection(const clean_selection &s, edclean_tool::journal_writer *journal) {
    removal_outcome outcome;
    // Files first: the directories listed cannot hold them, but a host that
    // removes in this order never sees a listed file block a listed directory.
    if (journal != nullptr) {
        journal->remove({{s.files, entry_kind::file, edclean_delete_files},
                         {s.dirs, entry_kind::dir, edclean_delete_dirs}},
                        outcome);
        return outcome;
    }
    remove_list(s.files, edclean_delete_files, outcome);
    remove_list(s.dirs, edclean_delete_dirs, outcome);
    return outcome;
}

// Reports what removal did; its exit status.
int report_removal(const removal_outcome &outcome, size_t wanted) {
    std::printf("Removed %lld of %s.\n", outcome.removed,
                counted(static_cast<long long>(wanted), "entry", "entries").c_str());
    if (!outcome.last_refusal.empty())
        std::cerr << "edclean: last refusal: " << outcome.last_refusal << "\n";
    if (!outcome.journal_error.empty())
        std::cerr << "edclean: " << outcome.journal_error << "\n";
    if (outcome.call_failed || !outcome.journal_error.empty())
        return exit_call_failed;
    if (static_cast<size_t>(outcome.removed) == wanted)
        return exit_success;
    return outcome.removed > 0 ? exit_partial : exit_call_failed;
}

int command_clean(const clean_options &o) {
    // Created before the scan, so that a journal that cannot be written
    // stops the clean before anything is listed, asked or removed.
    std::unique_ptr<edclean_tool::journal_writer> journal;
    if (!o.journal.empty() && !o.dry_run) {
        std::string error;
        journal = edclean_tool::journal_writer::create(o.journal, error);
        if (!journal) {
            std::cerr << "edclean: journal " << o.journal << ": " << error << "\n";
            return exit_call_failed;
        }
    }
    scan_result r;
    if (!run_scan(o.roots, o.include_hidden, !o.dirs_only, o.filters, r))
        return exit_call_failed;
    // The journal is never listed nor removed, and records the roots first.
    if (std::string error; journal && !journal->begin(o.roots, r.lists.zero_files, error)) {
        std::cerr << "edclean: " << error << "\n";
        return exit_call_failed;
    }
    const clean_selection selection = select_for_clean(o, std::move(r.lists));
    print_selection(selection);
    const size_t wanted = selection.count();
    if (wanted == 0) {
        std::printf("Nothing to remove.\n");
        return exit_success;
    }
    if (o.dry_run) {
        std::printf("Dry run: %s would be removed.\n",
                    counted(static_cast<long long>(wanted), "entry", "entries").c_str());
        return exit_success;
    }
    if (const std::optional<int> declined = removal_declined(o, wanted))
        return *declined;
    return report_removal(remove_selection(selection, journal.get()), wanted);
}

int command_restore(const std::string &journal) {
    const edclean_tool::restore_counts counts = edclean_tool::restore_journal(journal);
    if (!counts.readable)
        return exit_call_failed;
    std::printf("Restored %lld of %s.\n", counts.restored,
                counted(counts.total, "entry", "entries").c_str());
    return counts.complete() ? exit_success : exit_partial;
}

} // namespace

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
    scan_cmd->add_flag("--no-zero-files", scan.no_zero_files, "Do not list zero-byte files");
    CLI::Option *json =
        scan_cmd->add_flag("--json", scan.json, "Print the library's JSON result unchanged");
    CLI::Option *nul =
        scan_cmd->add_flag("-0,--null", scan.nul, "Print the paths NUL-separated, for xargs -0");
    json->excludes(nul);
    add_filter_flags(scan_cmd, scan.filters);
    scan_cmd->add_option("ROOT", scan.roots, "Directories to scan")->required();

    clean_options clean;
    CLI::App *clean_cmd = app.add_subcommand("clean", "Scan, then remove what was found");
    clean_cmd->add_flag("--include-hidden", clean.include_hidden,
                        "Walk and remove names beginning with '.'");
    CLI::Option *dirs_only =
        clean_cmd->add_flag("--dirs-only", clean.dirs_only, "Remove only empty directories");
    CLI::Option *files_only =
        clean_cmd->add_flag("--files-only", clean.files_only, "Remove only zero-byte files");
    dirs_only->excludes(files_only);
    clean_cmd->add_flag("--dry-run", clean.dry_run, "Show what would be removed, remove nothing");
    clean_cmd->add_flag("-y,--yes", clean.yes, "Remove without asking");
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

    app.footer("Exit status:\n"
               "  0  success\n"
               "  1  a refused or failed call, or a journal that cannot be written or read\n"
               "  2  usage error\n"
               "  3  a clean that removed some entries but had refusals, or a restore that\n"
               "     skipped entries");

    std::vector<std::string> arguments = edclean_tool::utf8_arguments(argc, argv);
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
    if (scan_cmd->parsed())
        return command_scan(scan);
    if (restore_cmd->parsed())
        return command_restore(restore_file);
    return command_clean(clean);
}
