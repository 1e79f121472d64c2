#include "clean_selection.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>
#include <utility>

#include "paths.h"

namespace edclean_tool {

namespace {

// Whether every entry of `dir` is already chosen: the directory is then
// empty once they go. The library judges it again before removing it.
bool emptied_by(const std::string &dir, const std::set<std::string> &chosen,
                std::optional<long long> min_age) {
    std::error_code error;
    const std::filesystem::path where = fs_path(dir);
    if (std::filesystem::symlink_status(where, error).type() !=
        std::filesystem::file_type::directory)
        return false;
    if (min_age) {
        // Removing its contents will make it young; its age is what it is now.
        const auto written = std::filesystem::last_write_time(where, error);
        if (error || written > std::filesystem::file_time_type::clock::now() -
                                   std::chrono::seconds(*min_age))
            return false;
    }
    std::filesystem::directory_iterator entries(where, error);
    if (error)
        return false;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::u8string name = entries->path().filename().u8string();
        std::string child = dir;
        if (child.back() != '/')
            child += '/';
        child.append(name.begin(), name.end());
        if (chosen.count(child) == 0)
            return false;
    }
    return !error;
}

} // namespace

clean_selection select_for_clean(const clean_options &o, const root_plan &plan,
                                 edclean_json_io::scan_lists &&lists) {
    clean_selection s;
    if (!o.files_only)
        for (std::string &dir : lists.empty_dirs)
            if (may_offer_dir(dir, plan, o.remove_roots))
                s.dirs.push_back(std::move(dir));
    if (!o.dirs_only)
        s.files = std::move(lists.zero_files);

    std::set<std::string> chosen(s.dirs.begin(), s.dirs.end());
    chosen.insert(s.files.begin(), s.files.end());
    std::optional<long long> min_age;
    if (!o.filters.min_age.empty())
        min_age = duration_seconds(o.filters.min_age);
    // The deepest candidate first: by the time a directory is judged, every
    // directory inside it that could be chosen has been.
    std::set<std::pair<size_t, std::string>, std::greater<>> candidates;
    const auto propose_parent = [&](const std::string &path) {
        const std::string parent = parent_of(path);
        if (!parent.empty() && parent != path && chosen.count(parent) == 0 &&
            may_offer_dir(parent, plan, o.remove_roots))
            candidates.emplace(depth(parent), parent);
    };
    for (const std::string &path : chosen)
        propose_parent(path);
    while (!candidates.empty()) {
        const std::string dir = candidates.begin()->second;
        candidates.erase(candidates.begin());
        if (chosen.count(dir) != 0 || !emptied_by(dir, chosen, min_age))
            continue;
        chosen.insert(dir);
        s.dirs.push_back(dir);
        s.emptied.insert(dir);
        propose_parent(dir);
    }
    std::stable_sort(s.dirs.begin(), s.dirs.end(), [](const std::string &a, const std::string &b) {
        return depth(a) > depth(b);
    });
    return s;
}

} // namespace edclean_tool
