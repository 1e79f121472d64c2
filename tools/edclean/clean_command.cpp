// The clean command: scan, offer, ask, remove, report.
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "census.h"
#include "clean_selection.h"
#include "console.h"
#include "journal.h"
#include "options.h"
#include "output.h"
#include "policy.h"
#include "removal.h"
#include "scan_call.h"
#include "views.h"

namespace edclean_tool {

namespace {

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
        // What an interrupt kept the clean from reaching is counted, not
        // listed: it is everything after the entry in hand.
        const auto reached_but_kept = [](const entry_result &e) {
            return !e.removed && e.message != kNotReached;
        };
        const auto kept =
            std::count_if(report.entries.begin(), report.entries.end(), reached_but_kept);
        if (kept > 0) {
            out("Kept (" + std::to_string(kept) + "):\n");
            for (const entry_result &entry : report.entries)
                if (reached_but_kept(entry))
                    out("  kept: " + entry.reason + ": " + shown(*entry.path) + "\n");
        }
        const auto not_reached =
            std::count_if(report.entries.begin(), report.entries.end(), [](const entry_result &e) {
                return !e.removed && e.message == kNotReached;
            });
        if (not_reached > 0)
            out("Not reached (" + std::to_string(not_reached) + "): the clean was interrupted.\n");
    }
    if (!report.journal_error.empty())
        say(shown(report.journal_error));
    if (report.call_failed || !report.journal_error.empty())
        return exit_call_failed;
    if (report.interrupted)
        return exit_interrupted;
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
    mark_out_failure_told();
    return false;
}

// "N of M entries were removed", as a line on standard error says it.
std::string removed_of_offered(const removal_report &report) {
    return std::to_string(report.removed) + " of " +
           counted(static_cast<long long>(report.entries.size()), "entry", "entries") +
           (report.removed == 1 ? " was" : " were") + " removed";
}

// After a removal, a report that did not arrive still leaves the user told
// on standard error what was removed, and where it is recorded: a reader
// that went away (a closed pipe) included, since entries are gone.
int removal_told(int status, const removal_report &report, const std::string &journal) {
    std::string reason;
    bool closed = false;
    if (edclean_tool::flush_out(reason, closed))
        return status;
    std::string done = removed_of_offered(report);
    if (!journal.empty() && report.removed > 0)
        done += ", recorded in the journal " + shown(journal);
    say((closed ? std::string("standard output was closed")
                : "cannot write standard output: " + reason) +
        "; " + done);
    mark_out_failure_told();
    return exit_call_failed;
}

} // namespace

int command_clean(const clean_options &o) {
    root_plan plan;
    if (const std::optional<int> refused =
            plan_roots(o.roots, {true, o.allow_system, !o.filters.no_default_excludes}, plan))
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
    if (!run_scan(plan.real, o.include_hidden, !o.dirs_only, o.filters, true, r))
        return exit_call_failed;
    const std::optional<edclean_json_io::left_out_report> left_out = r.lists.left_out;
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
        // What was left alone (a line, and a warning of unreadable folders),
        // the question and the line it is answered on.
        const size_t below = 2 + left_out_rows(left_out);
        print_selection(selection, plan, view, below, sink);
        report_left_out(left_out, sink);
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
    // From here entries go: a reader that goes away must not end the
    // program before it has said what it removed.
    edclean_tool::keep_running_when_output_closes();
    const removal_report report = remove_selection(selection, journal.get(), plan);
    const int status = removal_told(report_removal(report, selection, o.view), report, o.journal);
    if (report.interrupted) {
        std::string done = "interrupted: " + removed_of_offered(report);
        if (!o.journal.empty() && report.removed > 0 && report.journal_error.empty())
            done += ", all recorded in the journal " + shown(o.journal);
        say(done);
    }
    return status;
}

} // namespace edclean_tool
