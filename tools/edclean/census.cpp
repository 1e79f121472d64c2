#include "census.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "output.h"
#include "scan/ed_name_filter.h"

namespace edclean_tool {

namespace {

constexpr size_t kPathsKept = 3;

std::optional<std::string> utf8_name(const std::filesystem::path &name) {
    try {
        const std::u8string text = name.u8string();
        std::string bytes(text.begin(), text.end());
        if (!valid_utf8(bytes))
            return std::nullopt;
        return bytes;
    } catch (const std::exception &) { // a name the platform cannot give as UTF-8
        return std::nullopt;
    }
}

} // namespace

census take_census(const std::vector<std::string> &roots, const census_rules &rules) {
    census counts;
    // The library's own matcher, so the count agrees with what the scan left out.
    ed_name_filter excluded_names;
    for (const std::string &pattern : rules.exclude)
        excluded_names.add(pattern);
    std::vector<std::filesystem::path> pending;
    for (const std::string &root : roots)
        pending.emplace_back(std::u8string(root.begin(), root.end()));
    while (!pending.empty()) {
        const std::filesystem::path dir = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        std::filesystem::directory_iterator entries(dir, error);
        if (error) {
            ++counts.unreadable;
            if (counts.unreadable_paths.size() < kPathsKept)
                counts.unreadable_paths.push_back(utf8_name(dir).value_or(dir.string()));
            continue;
        }
        for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
            const std::optional<std::string> name = utf8_name(entries->path().filename());
            if (!name) {
                ++counts.invalid_name;
                continue;
            }
            if (!rules.include_hidden && !name->empty() && (*name)[0] == '.') {
                ++counts.hidden;
                continue;
            }
            if (excluded_names.matches(*name)) {
                ++counts.excluded;
                continue;
            }
            std::error_code status_error;
            if (entries->symlink_status(status_error).type() ==
                std::filesystem::file_type::directory)
                pending.push_back(entries->path());
        }
        if (error) { // the listing broke off
            ++counts.unreadable;
            if (counts.unreadable_paths.size() < kPathsKept)
                counts.unreadable_paths.push_back(utf8_name(dir).value_or(dir.string()));
        }
    }
    return counts;
}

} // namespace edclean_tool
