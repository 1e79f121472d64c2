// How lists and counts are shown to a person.
#ifndef EDCLEAN_TOOL_VIEWS_H
#define EDCLEAN_TOOL_VIEWS_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "clean_selection.h"
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

void print_list(const char *title, const std::vector<std::string> &paths, list_view view,
                const line_sink &sink, const std::function<std::string(const std::string &)> &mark);

std::string no_mark(const std::string &);

// The view when none was asked for: the full list, unless standard output is
// a terminal the list would scroll off.
list_view chosen_view(bool summary, bool collapse, bool full, size_t lines);

std::string scan_summary(const scan_result &r, size_t dirs, size_t files);

// What the scan passed by, for a person: a line after the summary, and a
// warning on standard error for folders that could not be read.
void report_census(const std::vector<std::string> &roots, bool include_hidden,
                   const scan_filters &filters, const line_sink &sink);

void print_selection(const clean_selection &s, const root_plan &plan, list_view view,
                     const line_sink &sink);

} // namespace edclean_tool

#endif
