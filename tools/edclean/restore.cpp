// `edclean restore FILE`: recreates what a clean's journal lists.
#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "journal.h"
#include "journal_internal.h"
#include "output.h"

namespace edclean_tool {

namespace {

// A journal as restore acts on it: the roots its first line records (none
// for a journal an earlier release wrote), and its lines that can be read,
// each with its number.
struct read_journal_result {
    bool has_header = false;
    std::vector<std::string> roots;
    std::vector<std::pair<size_t, journal_entry>> lines;
};

void report_line(const std::string &path, size_t number, const std::string &message) {
    std::cerr << "edclean: " << shown(path) << ":" << number << ": " << shown(message) << "\n";
}

// Splits the journal text into its lines and reads them; false when the
// journal as a whole cannot be trusted (a first line that says it is one and
// is damaged, or none that is JSON). Every other line that cannot be read is
// reported with its number and skipped.
bool read_journal(const std::string &path, const std::string &text, read_journal_result &out,
                  restore_counts &counts) {
    size_t line_number = 0;
    bool first = true;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') // a journal edited on Windows
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::string error;
        if (first) {
            first = false;
            switch (read_journal_header(line, out.roots, error)) {
            case header_status::header:
                out.has_header = true;
                continue;
            case header_status::damaged:
                report_line(path, line_number, "first line: " + error);
                return false;
            case header_status::not_header:
                if (!error.empty()) {
                    report_line(path, line_number, "not a journal: " + error);
                    return false;
                }
                break;
            }
            std::cerr << "edclean: warning: " << shown(path)
                      << " has no first line with the roots of its clean (an earlier release "
                         "wrote it): it is restored only into the directories that hold its "
                         "entries, which must exist\n";
        }
        journal_entry entry;
        if (!read_journal_line(line, entry, error)) {
            report_line(path, line_number, error);
            ++counts.skipped_lines;
            continue;
        }
        if (out.has_header &&
            std::none_of(out.roots.begin(), out.roots.end(), [&entry](const std::string &root) {
                return is_at_or_beneath(entry.path, root);
            })) {
            report_line(path, line_number,
                        "refused: not beneath a root the journal records: " + entry.path);
            ++counts.skipped_lines;
            continue;
        }
        out.lines.emplace_back(line_number, std::move(entry));
    }
    if (first) // nothing but blank lines: an empty journal, nothing to do
        return true;
    // A parent line sets back the times of an existing directory: only of one
    // that held an entry the journal lists, and only once.
    std::set<std::string> entry_paths;
    std::set<std::string> holders;
    for (const auto &[number, entry] : out.lines)
        if (entry.kind != entry_kind::parent) {
            entry_paths.insert(entry.path);
            holders.insert(parent_path(entry.path));
        }
    std::set<std::string> seen_parents;
    std::erase_if(out.lines, [&](const std::pair<size_t, journal_entry> &line) {
        const journal_entry &entry = line.second;
        if (entry.kind != entry_kind::parent)
            return false;
        if (entry_paths.count(entry.path) != 0) // removed too: its own line says it all
            return true;
        if (holders.count(entry.path) == 0 || !seen_parents.insert(entry.path).second) {
            report_line(path, line.first,
                        "refused: a parent line for no entry the journal lists, or a second "
                        "one: " +
                            entry.path);
            ++counts.skipped_lines;
            return true;
        }
        return false;
    });
    return true;
}

// Reports an entry that was not recreated as it was, or a note on one that
// was; true when it counts as recreated.
bool report(const journal_entry &entry, restore_status status, const std::string &detail) {
    switch (status) {
    case restore_status::recreated:
        if (!detail.empty())
            std::cerr << "edclean: recreated, " << shown(detail) << ": " << shown(entry.path)
                      << "\n";
        return true;
    case restore_status::exists:
        std::cerr << "edclean: exists, left as it is: " << shown(entry.path) << "\n";
        break;
    case restore_status::parent_missing:
        std::cerr << "edclean: not recreated, the directory that would hold it is missing: "
                  << shown(entry.path) << "\n";
        break;
    case restore_status::blocked:
        std::cerr << "edclean: not recreated, " << shown(detail)
                  << " on the way is a link or not a directory: " << shown(entry.path) << "\n";
        break;
    case restore_status::failed:
        std::cerr << "edclean: not recreated (" << shown(detail) << "): " << shown(entry.path)
                  << "\n";
        break;
    case restore_status::incomplete:
        std::cerr << "edclean: recreated, but " << shown(detail) << ": " << shown(entry.path)
                  << "\n";
        break;
    }
    return false;
}

} // namespace

restore_counts restore_journal(const std::string &path) {
    restore_counts counts;
    std::string text;
    std::string error;
    switch (read_journal_file(path, text, error)) {
    case journal_read_failure::none:
        break;
    case journal_read_failure::unreadable:
        std::cerr << "edclean: cannot read journal " << shown(path) << ": " << shown(error) << "\n";
        return counts;
    case journal_read_failure::untrusted:
        std::cerr << "edclean: journal " << shown(path)
                  << " cannot be trusted, nothing restored: " << shown(error) << "\n";
        return counts;
    }
    // Every line is read before anything is created, so that a parent line
    // is judged against all the entries.
    read_journal_result journal;
    if (!read_journal(path, text, journal, counts)) {
        std::cerr << "edclean: journal " << shown(path) << " cannot be trusted, nothing restored\n";
        return counts;
    }
    counts.readable = true;

    // Directories first, then files, then the parents' times; directories
    // and parents by how many names a path has: a directory has fewer than
    // what it holds. The journal's order among equals.
    std::vector<journal_entry> entries;
    std::vector<journal_entry> parents;
    for (auto &[number, entry] : journal.lines)
        (entry.kind == entry_kind::parent ? parents : entries).push_back(std::move(entry));
    const auto depth_order = [](const journal_entry &a, const journal_entry &b) {
        return std::make_tuple(a.kind == entry_kind::file, path_names(a.path).size()) <
               std::make_tuple(b.kind == entry_kind::file, path_names(b.path).size());
    };
    std::stable_sort(entries.begin(), entries.end(), depth_order);
    std::stable_sort(parents.begin(), parents.end(), depth_order);
    counts.total = static_cast<long long>(entries.size());

    // A directory gets its metadata once everything inside it exists:
    // creating an entry changes its parent's modification time, and a
    // directory that was read-only must still take its children. So the
    // directories made are finished deepest first, after all the files.
    // An entry inside a directory restore made goes only into that very one.
    std::vector<std::pair<const journal_entry *, object_identity>> made;
    std::map<std::string, object_identity> made_ids;
    for (const journal_entry &entry : entries) {
        std::string detail;
        const auto holder = made_ids.find(parent_path(entry.path));
        const object_identity *parent_id = holder == made_ids.end() ? nullptr : &holder->second;
        if (entry.kind == entry_kind::dir) {
            object_identity id;
            const restore_status status = create_dir(entry, parent_id, id, detail);
            if (status == restore_status::recreated) {
                made.emplace_back(&entry, id);
                made_ids.emplace(entry.path, id);
            } else {
                report(entry, status, detail);
            }
        } else {
            counts.restored += report(entry, create_file(entry, parent_id, detail), detail);
        }
    }
    for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
        std::string detail;
        counts.restored +=
            report(*dir->first, set_dir_metadata(*dir->first, dir->second, detail), detail);
    }
    // Last, deepest first, the directories that held what was removed and
    // stayed: everything restored inside them has moved their times.
    for (auto parent = parents.rbegin(); parent != parents.rend(); ++parent) {
        std::string detail;
        if (set_parent_times(*parent, detail) != restore_status::recreated) {
            std::cerr << "edclean: times not set back (" << shown(detail)
                      << "): " << shown(parent->path) << "\n";
            ++counts.skipped_lines;
        }
    }
    return counts;
}

} // namespace edclean_tool
