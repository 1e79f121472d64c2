// What a clean offers, worked out from the scan's lists.
#ifndef EDCLEAN_TOOL_CLEAN_SELECTION_H
#define EDCLEAN_TOOL_CLEAN_SELECTION_H

#include <set>
#include <string>
#include <vector>

#include "edclean_json_io.h"
#include "options.h"
#include "policy.h"

namespace edclean_tool {

// What a clean removes: the scan's lists as --dirs-only or --files-only
// narrow them, less the roots and protected homes, plus every directory the
// removal of the rest leaves empty. Directories come deepest first, so that
// one entry per call removes each after its contents.
struct clean_selection {
    std::vector<std::string> dirs;
    std::vector<std::string> files;
    std::set<std::string> emptied; // directories empty once their contents go
    size_t count() const { return dirs.size() + files.size(); }
};

clean_selection select_for_clean(const clean_options &o, const root_plan &plan,
                                 edclean_json_io::scan_lists &&lists);

} // namespace edclean_tool

#endif
