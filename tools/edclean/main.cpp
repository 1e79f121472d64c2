// edclean: find and remove empty directories and zero-byte files from the
// command line, through the library's five exports only.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "console.h"
#include "help_format.h"
#include "journal.h"
#include "options.h"
#include "output.h"
#include "policy.h"

#ifndef EDCLEAN_VERSION
#define EDCLEAN_VERSION "unknown"
#endif

using namespace edclean_tool;

namespace {

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
                if (duration_seconds(text))
                    return std::string();
                return "'" + edclean_tool::shown(text) +
                       (has_duration_form(text)
                            ? "' is too large a duration"
                            : "' is not a duration: give " + std::string(kDurationForm));
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
        "Show each top-most empty directory once, with how many lie within it, and a "
        "folder's zero-byte files as one line; on a terminal, cut to fit the screen (the view "
        "on a terminal when the lists would not fit)");
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

    std::string left_alone = "Left alone unless --no-default-excludes is given (and clean "
                             "refuses a root inside a folder so named):\n";
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
               "\nclean refuses a ROOT in or above a folder the system relies on, also one\n"
               "reached by another path (a bind mount), unless --allow-system is given:\n" +
               system_list +
               "\n\n"
               "Roots and names:\n"
               "  A ROOT named twice, in any spelling, is scanned once. To name a folder\n"
               "  whose name starts with '-', put -- before it. A name is shown quoted, as\n"
               "  a shell reads it back, when it holds a control or invisible character, a\n"
               "  byte that is not UTF-8, a quote, or a space at its end.\n"
               "\n"
               "Exit status:\n"
               "  0  success\n"
               "  1  a refused or failed call, a root refused or unreadable, output that\n"
               "     cannot be written (after a removal, standard error still says how\n"
               "     many entries went), or a journal that cannot be written or read\n"
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
    if (arguments.size() == 1) {
        say("a command is required: scan ROOT... (list), clean ROOT... (remove what a scan "
            "lists, after asking) or restore FILE (undo a clean's journal); edclean --help "
            "shows them all");
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
        // An option no command knows is named as such, before whatever
        // else its absence from the parse made the parser say ("ROOT is
        // required" for `scan -dash`).
        for (const std::string &argument : app.remaining(true))
            if (argument.size() > 1 && argument[0] == '-') {
                const std::string option = argument.substr(0, argument.find('='));
                say("unknown option '" + shown(option) + "'; to name a folder starting with " +
                    "'-', write -- " + shown(argument) + " (or ./" + shown(argument) + ")");
                return exit_usage;
            }
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
        if (!closed && !out_failure_told())
            say("cannot write standard output: " + reason);
        return status == exit_success ? exit_call_failed : status;
    }
    return status;
}
