// The tool's own policy, on top of the library's rules: the names it leaves
// alone, the roots it refuses (home folders, system trees, roots it cannot
// read) and the directories it may offer.
#ifndef EDCLEAN_TOOL_POLICY_H
#define EDCLEAN_TOOL_POLICY_H

#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace edclean_tool {

// Names whose emptiness is their meaning: removing one breaks what reads
// it. Both commands leave them alone unless --no-default-excludes is given.
// A folder left alone is content: the folder that holds it is not empty.
struct default_exclude {
    const char *name;
    const char *why;
};
inline constexpr default_exclude kDefaultExcludes[] = {
    {"__init__.py", "makes its folder a Python package"},
    {"py.typed", "marks a Python package as typed (PEP 561)"},
    {".gitkeep", "keeps an otherwise empty folder in a Git repository"},
    {".keep", "the same, as Rails and other generators write it"},
    {".nomedia", "hides a folder from Android's media scanner"},
    {".nojekyll", "turns off Jekyll for a GitHub Pages site"},
    {".metadata_never_index", "keeps Spotlight from indexing a volume"},
    // Version-control metadata, the folders archivers leave out of a
    // source tree as such: a new repository's folders are empty until used,
    // and the tool that owns them fails without them.
    {".git", "Git's repository; a new one has empty folders"},
    {".hg", "Mercurial's repository"},
    {".svn", "Subversion's working copy; needs its empty tmp/"},
    {".bzr", "Bazaar's branch; its lock folders are empty"},
    {"_darcs", "Darcs' repository"},
    {"CVS", "CVS's records; an empty Entries.Static is a setting"},
    // Made ahead of need by the file system's maker and checker, so that a
    // check can recover files without having to allocate room.
    {"lost+found", "where a file system check puts what it recovers"},
};

// The patterns a scan leaves alone: the user's and the default ones.
std::vector<std::string> exclude_patterns(const scan_filters &filters);

// The roots as the user named them and in the real form the library gets:
// its refusal of ".." and of a link as a root is answered here with the
// path to use, and the tool's own policy (home folders, system trees,
// roots it cannot read) is applied before anything is walked.
struct root_plan {
    std::vector<std::string> real;
    std::vector<std::string> homes;
};

struct root_policy {
    bool clean = false;
    bool allow_system = false;
    // A clean root that is, or lies inside, a folder the default names
    // leave alone (a repository's .git, say) is refused: below such a
    // folder the defaults no longer stand between its empty folders and
    // their removal.
    bool default_excludes = true;
};

std::optional<int> plan_roots(const std::vector<std::string> &given, root_policy policy,
                              root_plan &plan);

bool is_root(const std::string &path, const root_plan &plan);

// Whether a directory may be offered at all: never a root unless
// --remove-roots, never a protected home or a directory that holds one.
bool may_offer_dir(const std::string &dir, const root_plan &plan, bool remove_roots);

} // namespace edclean_tool

#endif
