// The collapsed view of long lists: a tree of empty folders as one line, the
// zero-byte files of a folder as one, and lists cut to fit a screen.
#ifndef EDCLEAN_TOOL_COLLAPSED_VIEW_H
#define EDCLEAN_TOOL_COLLAPSED_VIEW_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace edclean_tool {

// What is shown after a path: "  (root)" and the like, or nothing.
using path_mark = std::function<std::string(const std::string &)>;

// One list under its title: "Empty directories (N):" and its lines, each
// ending in a line break.
struct view_section {
    std::string title;
    std::vector<std::string> lines;
};

// Each top-most directory of `dirs` once, with how many of them lie within
// it, itself included: "  build/ (35 empty folders)". A tree of empty
// folders is one line.
std::vector<std::string> collapsed_dirs(const std::vector<std::string> &dirs,
                                        const path_mark &mark);

// The zero-byte files of one folder as one line, "  dir/ (12 zero-byte
// files)", folders in the order of their paths; a folder's only file as its
// own path.
std::vector<std::string> grouped_files(const std::vector<std::string> &files);

// Cuts the sections' lines so that all of them take at most `rows` lines,
// titles included; a section cut short ends with "  ... N more (--full lists
// all)", N its lines left out. Each section keeps an even share, and what
// one does not need goes to the others. With `rows` 0, nothing is cut.
void fit_to_rows(std::vector<view_section> &sections, size_t rows);

} // namespace edclean_tool

#endif
