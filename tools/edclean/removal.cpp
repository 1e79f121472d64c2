#include "removal.h"

#include <atomic>
#include <utility>

#include "console.h"
#include "edclean.h"
#include "edclean_json_io.h"
#include "progress.h"

namespace edclean_tool {

namespace {

// Why `path` was kept, in words a user knows: the library's refusal
// translated, or the journal's own reason as it stands.
std::string reason_in_words(const std::string &message, const std::string &path,
                            const root_plan &plan) {
    for (const std::string &home : plan.homes)
        if (edclean_tool::same_path(path, home))
            return "your home folder is protected";
    static const std::pair<const char *, const char *> words[] = {
        {"refused: directory no longer empty (TOCTOU)", "gained an entry since the scan"},
        {"refused: file size != 0",
         "holds data now (written since the scan, or on Windows in a named stream)"},
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
    return message.empty() ? "not removed, for no reason given" : message;
}

} // namespace

removal_report remove_selection(const clean_selection &s, edclean_tool::journal_writer *journal,
                                const root_plan &plan) {
    removal_report report;
    for (const std::string &path : s.files)
        report.entries.push_back({&path, entry_kind::file, false, {}, {}});
    for (const std::string &path : s.dirs)
        report.entries.push_back({&path, entry_kind::dir, false, {}, {}});
    std::atomic<long long> done{0};
    edclean_tool::stop_at_interrupt();
    progress_line progress("removed", &done, static_cast<long long>(report.entries.size()));
    // Files first, then directories deepest first, one entry per call: the
    // count then says whether this very entry went, and the message why not.
    if (journal != nullptr) {
        edclean_tool::removal_outcome outcome;
        journal->remove({{s.files, entry_kind::file, edclean_delete_files},
                         {s.dirs, entry_kind::dir, edclean_delete_dirs}},
                        outcome, &done);
        report.call_failed = outcome.call_failed;
        report.interrupted = outcome.interrupted;
        report.journal_error = outcome.journal_error;
        report.removed = outcome.removed;
        // One outcome per entry, in the order of the lists: files, then
        // directories, as report.entries holds them.
        for (size_t i = 0; i < report.entries.size() && i < outcome.entries.size(); ++i) {
            entry_result &entry = report.entries[i];
            entry.removed = outcome.entries[i].count == 1;
            if (!entry.removed)
                entry.message = outcome.entries[i].message;
            if (outcome.entries[i].not_reached && outcome.interrupted)
                entry.message = kNotReached;
        }
        done = report.removed;
    } else {
        for (entry_result &entry : report.entries) {
            if (report.interrupted || edclean_tool::interrupt_requested()) {
                report.interrupted = true;
                entry.message = kNotReached;
                continue;
            }
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
            entry.reason = reason_in_words(entry.message, *entry.path, plan);
    return report;
}

} // namespace edclean_tool
