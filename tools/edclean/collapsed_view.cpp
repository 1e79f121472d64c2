#include "collapsed_view.h"

#include <algorithm>
#include <map>

#include "output.h"

namespace edclean_tool {

namespace {

// Orders paths so that everything beneath a directory comes right after
// it: '/' sorts before every other byte ("a", "a/b", "a-c"; byte order
// would put "a-c" between "a" and "a/b").
bool tree_order(const std::string &a, const std::string &b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto rank = [](char c) {
            return c == '/' ? 0 : static_cast<int>(static_cast<unsigned char>(c)) + 1;
        };
        return rank(x) < rank(y);
    });
}

bool beneath(const std::string &path, const std::string &dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           (dir.back() == '/' || path[dir.size()] == '/');
}

std::string counted(size_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

std::vector<std::string> collapsed_dirs(const std::vector<std::string> &dirs,
                                        const path_mark &mark) {
    std::vector<std::string> sorted = dirs;
    std::sort(sorted.begin(), sorted.end(), tree_order);
    std::vector<std::string> lines;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i + 1;
        while (j < sorted.size() && beneath(sorted[j], sorted[i]))
            ++j;
        std::string line = "  " + shown(sorted[i]) + (sorted[i].back() == '/' ? "" : "/");
        if (j - i > 1)
            line += " (" + counted(j - i, "empty folder", "empty folders") + ")";
        lines.push_back(line + mark(sorted[i]) + "\n");
        i = j;
    }
    return lines;
}

std::vector<std::string> grouped_files(const std::vector<std::string> &files) {
    std::vector<std::string> folders;
    std::map<std::string, std::vector<const std::string *>> in_folder;
    for (const std::string &file : files) {
        const std::string folder = parent_of(file);
        auto &held = in_folder[folder];
        if (held.empty())
            folders.push_back(folder);
        held.push_back(&file);
    }
    std::sort(folders.begin(), folders.end(), tree_order);
    std::vector<std::string> lines;
    for (const std::string &folder : folders) {
        const auto &held = in_folder[folder];
        if (held.size() == 1)
            lines.push_back("  " + shown(*held.front()) + "\n");
        else
            lines.push_back("  " + shown(folder) + (folder.back() == '/' ? "" : "/") + " (" +
                            counted(held.size(), "zero-byte file", "zero-byte files") + ")\n");
    }
    return lines;
}

void fit_to_rows(std::vector<view_section> &sections, size_t rows) {
    if (rows == 0 || sections.empty())
        return;
    size_t needed = 0;
    for (const view_section &section : sections)
        needed += 1 + section.lines.size();
    if (needed <= rows)
        return;
    // Each section's title, its "... more" line and at least one entry.
    const size_t room = rows > 3 * sections.size() ? rows - 2 * sections.size() : sections.size();
    std::vector<size_t> share(sections.size(), 0);
    std::vector<size_t> order(sections.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // The smallest first, so that what it does not need goes to the larger.
    std::sort(order.begin(), order.end(), [&sections](size_t a, size_t b) {
        return sections[a].lines.size() < sections[b].lines.size();
    });
    size_t left = room;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t even = std::max<size_t>(1, left / (order.size() - k));
        share[order[k]] = std::min(sections[order[k]].lines.size(), even);
        left -= std::min(left, share[order[k]]);
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        std::vector<std::string> &lines = sections[i].lines;
        if (lines.size() <= share[i] + 1)
            continue; // a "... 1 more" line takes the room of the line itself
        const size_t more = lines.size() - share[i];
        lines.resize(share[i]);
        lines.push_back("  ... " + std::to_string(more) + " more (--full lists all)\n");
    }
}

} // namespace edclean_tool
