#include "policy.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
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

// A folder the system relies on, or one above it, by path and by identity.
struct system_folder {
    std::string path;
    std::optional<folder_identity> id;
    std::string holds; // for a folder above one: the system folder beneath it
};

// The system folders and the folders above them, as they are when the
// clean starts.
struct system_folders {
    std::vector<system_folder> trees;
    std::vector<system_folder> above;
};

system_folders take_system_folders() {
    system_folders folders;
    for (const std::string &tree : system_trees()) {
        folders.trees.push_back({tree, identity_of(tree), {}});
        for (std::string up = parent_of(tree); !up.empty(); up = parent_of(up)) {
            folders.above.push_back({up, identity_of(up), tree});
            if (up == parent_of(up))
                break;
        }
    }
    return folders;
}

// Why a clean may not start at `real`: it is in or holds a system folder.
// Paths are compared first; then identities, for a second path to the same
// folders (a bind mount, the same file system mounted twice), which a
// comparison of paths cannot see: the root and every folder above it
// against each system folder, and the root against each folder above one.
std::optional<std::string> system_refusal(const std::string &real, const system_folders &system) {
    for (const system_folder &tree : system.trees) {
        const bool within = inside(real, tree.path);
        if (within || inside(tree.path, real))
            return std::string("it ") + (within ? "is in" : "holds") + " the system folder " +
                   shown(tree.path);
    }
    bool root = true;
    for (std::string at = real; !at.empty(); at = parent_of(at)) {
        if (const std::optional<folder_identity> id = identity_of(at)) {
            for (const system_folder &tree : system.trees)
                if (tree.id == id)
                    return (root ? "it is the system folder " : "it is in the system folder ") +
                           shown(tree.path) + ", reached by another path (" + shown(at) + " is " +
                           shown(tree.path) + ")";
            if (root)
                for (const system_folder &up : system.above)
                    if (up.id == id)
                        return "it holds the system folder " + shown(up.holds) +
                               ", reached by another path (" + shown(at) + " is " + shown(up.path) +
                               ")";
        }
        root = false;
        if (at == parent_of(at))
            break;
    }
    return std::nullopt;
}

#ifdef _WIN32
constexpr const char *kSeparators = "/\\";
// Windows compares names without regard to case: ".GIT" is ".git".
bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}
#else
constexpr const char *kSeparators = "/";
bool same_name(std::string_view a, std::string_view b) { return a == b; }
#endif

// The default-excluded name among the folders of a real path, if any: the
// path's own last name counts, as a root named ".git" is that folder.
const default_exclude *default_excluded_folder_of(const std::string &real) {
    size_t start = 0;
    while (start <= real.size()) {
        size_t end = real.find_first_of(kSeparators, start);
        if (end == std::string::npos)
            end = real.size();
        const std::string_view name(real.data() + start, end - start);
        for (const default_exclude &excluded : kDefaultExcludes)
            if (same_name(name, excluded.name))
                return &excluded;
        start = end + 1;
    }
    return nullptr;
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
    const system_folders system =
        policy.clean && !policy.allow_system ? take_system_folders() : system_folders();
    // The roots taken so far, as given, real and by identity: one folder
    // named twice is walked once.
    struct taken_root {
        const std::string &given;
        std::string real;
        std::optional<folder_identity> id;
    };
    std::vector<taken_root> taken;
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
        if (const std::optional<std::string> why = system_refusal(*real, system)) {
            say("refusing to clean " + shown(root) + ": " + *why +
                ", whose empty files and folders software relies on; give --allow-system to "
                "clean it anyway");
            return 1;
        }
        if (policy.clean && policy.default_excludes)
            if (const default_exclude *within = default_excluded_folder_of(*real)) {
                say("refusing to clean " + shown(root) + ": it is or lies inside " +
                    shown(std::string(within->name)) + " (" + within->why +
                    "), which is left alone by default; give --no-default-excludes to clean "
                    "it anyway");
                return 1;
            }
        const std::optional<folder_identity> id = identity_of(*real);
        const auto same = std::find_if(taken.begin(), taken.end(), [&](const taken_root &earlier) {
            return (id && earlier.id == id) || edclean_tool::same_path(*real, earlier.real);
        });
        if (same != taken.end()) {
            say("note: " +
                (same->given == root
                     ? shown(root) + " is given more than once"
                     : shown(root) + " is the same folder as " + shown(same->given)) +
                "; scanning it once");
            continue;
        }
        taken.push_back({root, *real, id});
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
