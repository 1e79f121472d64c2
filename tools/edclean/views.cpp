#include "views.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "census.h"
#include "console.h"
#include "output.h"
#include "paths.h"

namespace edclean_tool {

void to_stdout(const std::string &text) { out(text); }
void to_stderr(const std::string &text) { std::cerr << text; }

namespace {

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

std::string selection_mark(const clean_selection &s, const root_plan &plan,
                           const std::string &path) {
    std::string mark;
    if (s.emptied.count(path) != 0)
        mark += "  (empty once its contents go)";
    if (is_root(path, plan))
        mark += "  (root)";
    return mark;
}

} // namespace

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

} // namespace edclean_tool
