#include "paths.h"

#include <algorithm>

#include "console.h"

namespace edclean_tool {

bool inside(const std::string &path, const std::string &tree) {
    if (tree.empty() || path.size() < tree.size() ||
        !edclean_tool::same_path(path.substr(0, tree.size()), tree))
        return false;
    return path.size() == tree.size() || tree.back() == '/' || path[tree.size()] == '/';
}

std::filesystem::path fs_path(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash == 0 ? 1 : slash);
}

size_t depth(const std::string &path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
}

} // namespace edclean_tool
