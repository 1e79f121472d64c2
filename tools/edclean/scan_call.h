// One call of the library's scan, with the options the user gave, and its
// result read into lists.
#ifndef EDCLEAN_TOOL_SCAN_CALL_H
#define EDCLEAN_TOOL_SCAN_CALL_H

#include <string>
#include <vector>

#include "edclean_json_io.h"
#include "options.h"

namespace edclean_tool {

struct scan_result {
    std::string text; // the library's result, unchanged
    edclean_json_io::scan_lists lists;
    double seconds = 0;
};

// The scan's options as the library reads them.
std::string options_text(bool include_hidden, bool zero_files, const scan_filters &filters);

bool run_scan(const std::vector<std::string> &roots, bool include_hidden, bool zero_files,
              const scan_filters &filters, scan_result &out);

} // namespace edclean_tool

#endif
