#include "views.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

#include "census.h"
#include "collapsed_view.h"
#include "console.h"
#include "output.h"
#include "paths.h"
#include "screen.h"

namespace edclean_tool {

void to_stdout(const std::string &text) { out(text); }
void to_stderr(const std::string &text) { std::cerr << text; }

namespace {

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

view_section list_section(const char *title, const std::vector<std::string> &paths, bool files,
                          list_view view, const path_mark &mark) {
    view_section section;
    section.title = std::string(title) + " (" + std::to_string(paths.size()) + "):\n";
    if (view == list_view::collapsed)
        section.lines = files ? grouped_files(paths) : collapsed_dirs(paths, mark);
    else
        for (const std::string &p : paths)
            section.lines.push_back("  " + shown(p) + mark(p) + "\n");
    return section;
}

void print_sections(std::vector<view_section> sections, list_view view, size_t other_lines,
                    const line_sink &sink) {
    if (view == list_view::collapsed && stdout_is_terminal()) {
        const int rows = terminal_rows();
        if (rows > 0)
            fit_to_rows(sections, static_cast<size_t>(rows) > other_lines + 4
                                      ? static_cast<size_t>(rows) - other_lines
                                      : 4);
    }
    for (const view_section &section : sections) {
        sink(section.title);
        for (const std::string &line : section.lines)
            sink(line);
    }
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

size_t left_out_rows(const std::optional<edclean_json_io::left_out_report> &left_out) {
    if (!left_out)
        return 0;
    const auto columns = static_cast<size_t>(std::max(0, terminal_columns()));
    const std::string line = left_alone_line(*left_out);
    const std::string warning = unreadable_warning(*left_out);
    return (line.empty() ? 0 : screen_rows(line, columns)) +
           (warning.empty() ? 0 : screen_rows("edclean: warning: " + warning, columns));
}

size_t report_left_out(const std::optional<edclean_json_io::left_out_report> &left_out,
                       const line_sink &sink) {
    if (!left_out)
        return 0;
    const std::string line = left_alone_line(*left_out);
    if (!line.empty())
        sink(line);
    const std::string warning = unreadable_warning(*left_out);
    if (!warning.empty())
        say("warning: " + warning);
    return left_out_rows(left_out);
}

void print_selection(const clean_selection &s, const root_plan &plan, list_view view,
                     size_t other_lines, const line_sink &sink) {
    const auto mark = [&](const std::string &p) { return selection_mark(s, plan, p); };
    if (view == list_view::summary)
        return;
    std::vector<view_section> sections;
    if (!s.dirs.empty())
        sections.push_back(list_section("Empty directories", s.dirs, false, view, mark));
    if (!s.files.empty())
        sections.push_back(list_section("Zero-byte files", s.files, true, view, no_mark));
    print_sections(std::move(sections), view, other_lines, sink);
}

} // namespace edclean_tool
