#include "census.h"

#include "output.h"
#include "paths.h"

namespace edclean_tool {

namespace {

// How many unreadable folders the library names at most.
constexpr size_t kNamedUnreadable = 5;

std::string unreadable_count(const edclean_json_io::left_out_report &report) {
    return std::to_string(report.unreadable_dirs) +
           (report.unreadable_maybe_more ? " or more" : "");
}

} // namespace

void count_unreadable_once(edclean_json_io::left_out_report &report,
                           const std::vector<std::string> &roots) {
    const auto named = static_cast<long long>(report.unreadable_paths.size());
    if (report.unreadable_dirs <= named)
        return;
    // Fewer names than the library gives at most: those are all there are.
    if (report.unreadable_paths.size() < kNamedUnreadable) {
        report.unreadable_dirs = named;
        return;
    }
    bool nested = false;
    for (size_t i = 0; i < roots.size() && !nested; ++i)
        for (size_t j = 0; j < roots.size() && !nested; ++j)
            nested = i != j && inside(roots[i], roots[j]);
    // Nested roots and a full list of names: how many more there are, if
    // any, cannot be told apart from folders counted twice.
    if (nested) {
        report.unreadable_dirs = named;
        report.unreadable_maybe_more = true;
    }
}

std::string left_alone_line(const edclean_json_io::left_out_report &report) {
    std::string parts;
    const auto add = [&parts](long long count, const std::string &what) {
        if (count > 0)
            parts += (parts.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    add(report.hidden, "hidden (--include-hidden to include)");
    add(report.excluded, "excluded by --exclude or the default excludes");
    add(report.young, "younger than --min-age");
    add(report.invalid_names, "with a name that is not valid UTF-8");
    if (report.unreadable_dirs > 0)
        parts += (parts.empty() ? "" : ", ") + unreadable_count(report) +
                 (report.unreadable_dirs == 1 && !report.unreadable_maybe_more
                      ? " folder that could not be read"
                      : " folders that could not be read");
    return parts.empty() ? std::string() : "Left alone: " + parts + "\n";
}

std::string unreadable_warning(const edclean_json_io::left_out_report &report) {
    if (report.unreadable_dirs <= 0)
        return std::string();
    std::string paths;
    for (const std::string &path : report.unreadable_paths)
        paths += (paths.empty() ? "" : ", ") + shown(path);
    if (report.unreadable_dirs > static_cast<long long>(report.unreadable_paths.size()))
        paths += ", ...";
    const bool one = report.unreadable_dirs == 1 && !report.unreadable_maybe_more;
    return unreadable_count(report) +
           (one ? " folder could not be read" : " folders could not be read") + ", so nothing in " +
           (one ? "it" : "them") + " was listed: " + paths;
}

} // namespace edclean_tool
