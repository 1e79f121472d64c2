// What the user asked of each command, as the arguments gave it, and the
// exit statuses the tool ends with.
#ifndef EDCLEAN_TOOL_OPTIONS_H
#define EDCLEAN_TOOL_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace edclean_tool {

enum exit_status {
    exit_success = 0,
    exit_call_failed = 1,
    exit_usage = 2,
    exit_partial = 3,
    exit_interrupted = 130, // as a shell reports a program Ctrl-C ended
};

// What both commands may narrow a scan by, as the user gave it.
struct scan_filters {
    std::vector<std::string> exclude;
    std::string min_age; // a duration checked while parsing; empty when not given
    int threads = 0;
    bool no_default_excludes = false;
};

// The view flags both commands take.
struct view_flags {
    bool json = false;
    bool nul = false;
    bool summary = false;
    bool collapse = false;
    bool full = false;
};

struct scan_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool dirs_only = false;
    bool files_only = false;
    view_flags view;
    scan_filters filters;
};

struct clean_options {
    std::vector<std::string> roots;
    bool include_hidden = false;
    bool dirs_only = false;
    bool files_only = false;
    bool dry_run = false;
    bool yes = false;
    bool remove_roots = false;
    bool allow_system = false;
    view_flags view;
    scan_filters filters;
    std::string journal;
};

inline constexpr const char *kDurationForm =
    "a whole number of seconds, or one followed by s, m, h or d (90s, 30m, 12h, 7d)";

// The seconds in a duration: digits, then optionally one unit (s, m, h, d);
// nothing for any other text or a span too long to count.
// Whether `text` has a duration's form (digits and at most one unit),
// whatever its size: a value too large is then told apart from a typo.
bool has_duration_form(const std::string &text);
std::optional<long long> duration_seconds(const std::string &text);

int command_scan(const scan_options &o);
int command_clean(const clean_options &o);

} // namespace edclean_tool

#endif
