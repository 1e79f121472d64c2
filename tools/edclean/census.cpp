#include "census.h"

#include "output.h"

namespace edclean_tool {

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
    add(report.unreadable_dirs, report.unreadable_dirs == 1 ? "folder that could not be read"
                                                            : "folders that could not be read");
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
    const bool one = report.unreadable_dirs == 1;
    return std::to_string(report.unreadable_dirs) +
           (one ? " folder could not be read" : " folders could not be read") + ", so nothing in " +
           (one ? "it" : "them") + " was listed: " + paths;
}

} // namespace edclean_tool
