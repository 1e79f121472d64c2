// Paths in the library's spelling ('/' between names) as text: where one
// lies, its parent and depth, and its form for the file system calls.
#ifndef EDCLEAN_TOOL_PATHS_H
#define EDCLEAN_TOOL_PATHS_H

#include <cstddef>
#include <filesystem>
#include <string>

namespace edclean_tool {

// Whether `path` is `tree` or lies beneath it.
bool inside(const std::string &path, const std::string &tree);

std::filesystem::path fs_path(const std::string &utf8);

std::string parent_of(const std::string &path);

size_t depth(const std::string &path);

} // namespace edclean_tool

#endif
