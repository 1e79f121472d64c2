// Removing what a clean offers, one entry per call, and why each entry
// that was kept was kept.
#ifndef EDCLEAN_TOOL_REMOVAL_H
#define EDCLEAN_TOOL_REMOVAL_H

#include <string>
#include <vector>

#include "clean_selection.h"
#include "journal.h"
#include "policy.h"

namespace edclean_tool {

// What became of one offered entry.
struct entry_result {
    const std::string *path;
    entry_kind kind;
    bool removed = false;
    std::string message; // why it was kept: the library's words or the journal's
    std::string reason;  // in a user's words
};

struct removal_report {
    std::vector<entry_result> entries;
    long long removed = 0;
    bool call_failed = false;
    bool interrupted = false; // entries after the one in hand were not reached
    std::string journal_error;
};

// What an entry that an interrupt kept the clean from reaching says.
inline constexpr const char *kNotReached = "the clean was interrupted before it";

removal_report remove_selection(const clean_selection &s, journal_writer *journal,
                                const root_plan &plan);

} // namespace edclean_tool

#endif
