// How lists and counts are shown to a person.
#ifndef EDCLEAN_TOOL_VIEWS_H
#define EDCLEAN_TOOL_VIEWS_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clean_selection.h"
#include "collapsed_view.h"
#include "options.h"
#include "policy.h"
#include "scan_call.h"

namespace edclean_tool {

// Where human-readable lines go: standard output, or standard error when
// standard output carries a machine format.
using line_sink = std::function<void(const std::string &)>;

void to_stdout(const std::string &text);
void to_stderr(const std::string &text);

// How a list of paths is shown to a person.
enum class list_view { full, collapsed, summary };

// One list under its title: every path in the full view; collapsed, the
// directories under their top-most one and the zero-byte files under their
// folder.
view_section list_section(const char *title, const std::vector<std::string> &paths, bool files,
                          list_view view, const path_mark &mark);

// Prints the lists. Collapsed on a terminal, they are cut to the rows left
// once `other_lines` (the summary above, the question or the shell's prompt
// below) are counted, so that the whole stays on the screen.
void print_sections(std::vector<view_section> sections, list_view view, size_t other_lines,
                    const line_sink &sink);

std::string no_mark(const std::string &);

// The view when none was asked for: the full list, unless standard output is
// a terminal the list would scroll off.
list_view chosen_view(bool summary, bool collapse, bool full, size_t lines);

std::string scan_summary(const scan_result &r, size_t dirs, size_t files);

// The terminal rows report_left_out() takes, its long lines wrapped.
size_t left_out_rows(const std::optional<edclean_json_io::left_out_report> &left_out);

// What the scan passed by, as the library counted it, for a person: a line
// after the summary, and a warning on standard error for folders that could
// not be read. The terminal rows it took; none without a report.
size_t report_left_out(const std::optional<edclean_json_io::left_out_report> &left_out,
                       const line_sink &sink);

// The offer of a clean; `other_lines` as for print_sections().
void print_selection(const clean_selection &s, const root_plan &plan, list_view view,
                     size_t other_lines, const line_sink &sink);

} // namespace edclean_tool

#endif
