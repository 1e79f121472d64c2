// What a scan leaves out without a word, counted by the tool itself: the
// library lists what it found and nothing of what it passed by.
#ifndef EDCLEAN_TOOL_CENSUS_H
#define EDCLEAN_TOOL_CENSUS_H

#include <string>
#include <string_view>
#include <vector>

namespace edclean_tool {

struct census_rules {
    bool include_hidden = false;
    std::vector<std::string> exclude; // the patterns the scan was given
};

struct census {
    long long hidden = 0;       // names beginning with '.', left alone
    long long excluded = 0;     // names an exclude pattern matched
    long long invalid_name = 0; // names that are not valid UTF-8 (or, on Windows, UTF-16)
    long long unreadable = 0;   // folders whose entries could not be listed
    std::vector<std::string> unreadable_paths; // the first few of them
};

// Walks the trees beneath `roots` as a scan does (never through a link,
// never into what the rules leave alone) and counts what the scan passes by.
// It reads only; what it counts is an account for the user, never a basis
// for removing anything.
census take_census(const std::vector<std::string> &roots, const census_rules &rules);

} // namespace edclean_tool

#endif
