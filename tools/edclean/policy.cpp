#include "policy.h"

#include <filesystem>
#include <system_error>

#include "console.h"
#include "output.h"
#include "paths.h"

namespace edclean_tool {

namespace {

bool has_dotdot(const std::string &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::vector<std::string> exclude_patterns(const scan_filters &filters) {
    std::vector<std::string> patterns = filters.exclude;
    if (!filters.no_default_excludes)
        for (const default_exclude &name : kDefaultExcludes)
            patterns.push_back(name.name);
    return patterns;
}

std::optional<int> plan_roots(const std::vector<std::string> &given, root_policy policy,
                              root_plan &plan) {
    plan.homes = edclean_tool::protected_homes();
    const std::vector<std::string> system = policy.clean && !policy.allow_system
                                                ? edclean_tool::system_trees()
                                                : std::vector<std::string>();
    for (const std::string &root : given) {
        if (!edclean_tool::valid_utf8(root)) {
            say(shown(root) + ": the name is not valid UTF-8, and only UTF-8 paths can be "
                              "scanned; name a folder above or below it");
            return 1;
        }
        if (const std::optional<std::string> target = edclean_tool::link_target(root)) {
            std::string error;
            const std::optional<std::string> real = edclean_tool::real_path(root, error);
            say(shown(root) + " is a link to " + shown(*target) +
                "; a link is never followed as a root: name " + shown(real.value_or(*target)) +
                " to scan where it leads");
            return 1;
        }
        std::string error;
        const std::optional<std::string> real = edclean_tool::real_path(root, error);
        if (!real) {
            // The library names what is missing or wrong in its own words.
            plan.real.push_back(root);
            continue;
        }
        if (has_dotdot(root))
            say("note: " + shown(root) + " is " + shown(*real) + "; using that");
        for (const std::string &home : plan.homes)
            if (edclean_tool::same_path(*real, home)) {
                say(shown(root) + " is your home folder itself, which is protected; name "
                                  "folders inside it");
                return 1;
            }
        std::error_code status_error;
        if (std::filesystem::is_directory(
                std::filesystem::path(std::u8string(real->begin(), real->end())), status_error) &&
            !edclean_tool::directory_readable(*real, error)) {
            say("cannot read " + shown(root) + ": " + error);
            return 1;
        }
        for (const std::string &tree : system) {
            const bool within = inside(*real, tree);
            if (within || inside(tree, *real)) {
                say("refusing to clean " + shown(root) + ": it " + (within ? "is in" : "holds") +
                    " the system folder " + shown(tree) +
                    ", whose empty files and folders software relies on; give --allow-system "
                    "to clean it anyway");
                return 1;
            }
        }
        plan.real.push_back(*real);
    }
    return std::nullopt;
}

bool is_root(const std::string &path, const root_plan &plan) {
    for (const std::string &root : plan.real)
        if (edclean_tool::same_path(path, root))
            return true;
    return false;
}

bool may_offer_dir(const std::string &dir, const root_plan &plan, bool remove_roots) {
    if (!remove_roots && is_root(dir, plan))
        return false;
    for (const std::string &home : plan.homes)
        if (inside(home, dir))
            return false;
    bool within_root = false;
    for (const std::string &root : plan.real)
        within_root = within_root || inside(dir, root);
    return within_root;
}

} // namespace edclean_tool
