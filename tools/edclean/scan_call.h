// One call of the library's scan, with the options the user gave, and its
// result read into lists.
#ifndef EDCLEAN_TOOL_SCAN_CALL_H
#define EDCLEAN_TOOL_SCAN_CALL_H

#include <optional>
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

// The scan's options as the library reads them. With `left_out`, the result
// also tells what the scan passed by; with `progress`, the scan writes its
// counts there as it goes.
std::string options_text(bool include_hidden, bool zero_files, const scan_filters &filters,
                         bool left_out = false, std::optional<long long> progress = std::nullopt);

// Scans `roots`, showing its progress on a terminal. With `left_out`, the
// result also counts what the scan passed by, which changes the library's
// text: not for scan --json, which prints it unchanged.
bool run_scan(const std::vector<std::string> &roots, bool include_hidden, bool zero_files,
              const scan_filters &filters, bool left_out, scan_result &out);

} // namespace edclean_tool

#endif
