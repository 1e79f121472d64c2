// What a scan left out, told to a person. The library counts it on the walk
// that lists (the scan option "report_left_out"), so the account and the
// lists describe the same tree at the same moment.
#ifndef EDCLEAN_TOOL_CENSUS_H
#define EDCLEAN_TOOL_CENSUS_H

#include <string>
#include <vector>

#include "edclean_json_io.h"

namespace edclean_tool {

// "Left alone: 2 hidden (--include-hidden to include), ..." and a line
// break, or nothing when nothing was left alone.
std::string left_alone_line(const edclean_json_io::left_out_report &report);

// Makes the report count each unreadable folder once for a scan of `roots`.
// The library names the first few each once but counts a folder once per
// root that reaches it, so where roots nest the count alone can say two for
// one.
void count_unreadable_once(edclean_json_io::left_out_report &report,
                           const std::vector<std::string> &roots);

// "3 folders could not be read, so nothing in them was listed: PATH, ...",
// without a line break, or nothing when every folder could be read. Paths
// go through shown().
std::string unreadable_warning(const edclean_json_io::left_out_report &report);

} // namespace edclean_tool

#endif
