// `edclean restore FILE`: recreates what a clean's journal lists.
#include <algorithm>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "journal.h"
#include "journal_internal.h"

namespace edclean_tool {

namespace {

// The entries of the journal text, in the order restore creates them:
// directories before files, and among directories parents before children
// (fewer names first; the journal's order among equals). False with a
// message on standard error for a line that cannot be read.
bool read_journal(const std::string &path, const std::string &text,
                  std::vector<journal_entry> &entries) {
    size_t line_number = 0;
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
        journal_entry entry;
        std::string error;
        if (!read_journal_line(line, entry, error)) {
            std::cerr << "edclean: " << path << ":" << line_number << ": " << error << "\n";
            return false;
        }
        entries.push_back(std::move(entry));
    }
    // Directories first, then by how many names a path has: a directory has
    // fewer than what it holds.
    struct keyed_entry {
        bool file;
        size_t depth;
        journal_entry entry;
    };
    std::vector<keyed_entry> keyed;
    keyed.reserve(entries.size());
    for (journal_entry &entry : entries)
        keyed.push_back(
            {entry.kind == entry_kind::file, path_names(entry.path).size(), std::move(entry)});
    std::stable_sort(keyed.begin(), keyed.end(), [](const keyed_entry &a, const keyed_entry &b) {
        return std::tie(a.file, a.depth) < std::tie(b.file, b.depth);
    });
    for (size_t i = 0; i < keyed.size(); ++i)
        entries[i] = std::move(keyed[i].entry);
    return true;
}

// Reports an entry that was not recreated as it was, or a note on one that
// was; true when it counts as recreated.
bool report(const journal_entry &entry, restore_status status, const std::string &detail) {
    switch (status) {
    case restore_status::recreated:
        if (!detail.empty())
            std::cerr << "edclean: recreated, " << detail << ": " << entry.path << "\n";
        return true;
    case restore_status::exists:
        std::cerr << "edclean: exists, left as it is: " << entry.path << "\n";
        break;
    case restore_status::parent_missing:
        std::cerr << "edclean: not recreated, the directory that would hold it is missing: "
                  << entry.path << "\n";
        break;
    case restore_status::blocked:
        std::cerr << "edclean: not recreated, " << detail
                  << " on the way is a link or not a directory: " << entry.path << "\n";
        break;
    case restore_status::failed:
        std::cerr << "edclean: not recreated (" << detail << "): " << entry.path << "\n";
        break;
    case restore_status::incomplete:
        std::cerr << "edclean: recreated, but " << detail << ": " << entry.path << "\n";
        break;
    }
    return false;
}

} // namespace

restore_counts restore_journal(const std::string &path) {
    restore_counts counts;
    std::string text;
    std::string error;
    if (!read_whole_file(path, text, error)) {
        std::cerr << "edclean: cannot read journal " << path << ": " << error << "\n";
        return counts;
    }
    // Every line is read before anything is created: a journal that is
    // damaged halfway recreates nothing rather than half a tree.
    std::vector<journal_entry> entries;
    if (!read_journal(path, text, entries))
        return counts;
    counts.readable = true;
    counts.total = static_cast<long long>(entries.size());

    // A directory gets its metadata once everything inside it exists:
    // creating an entry changes its parent's modification time, and a
    // directory that was read-only must still take its children. So the
    // directories made are finished deepest first, after all the files.
    std::vector<std::pair<const journal_entry *, created_identity>> made;
    for (const journal_entry &entry : entries) {
        std::string detail;
        if (entry.kind == entry_kind::dir) {
            created_identity id;
            const restore_status status = create_dir(entry, id, detail);
            if (status == restore_status::recreated)
                made.emplace_back(&entry, id);
            else
                report(entry, status, detail);
        } else {
            counts.restored += report(entry, create_file(entry, detail), detail);
        }
    }
    for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
        std::string detail;
        counts.restored +=
            report(*dir->first, set_dir_metadata(*dir->first, dir->second, detail), detail);
    }
    return counts;
}

} // namespace edclean_tool
