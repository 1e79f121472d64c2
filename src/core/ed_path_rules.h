// Rules on UTF-8 path texts shared by the scan and the removal workers.
// '/' is the only separator these rules know; comparisons are byte-exact.
// Predicates return 1 or 0. Nothing here sets the error message.
#ifndef ED_CORE_PATH_RULES_H
#define ED_CORE_PATH_RULES_H

#include <cstddef>
#include <cstdint>

#include "core/ed_owners.h"
#include "platform/ed_platform.h"

// The walks join paths into buffers of this size, so a path they examine
// below a root has at most ED_PATH_LIMIT bytes (259 on Windows).
constexpr size_t ED_PATH_BUFFER = ED_PATH_LIMIT + 1;

// Writes dir + '/' + name into `out` (no '/' added when dir ends in '/').
// 0 when the whole text fits in `size` bytes with its terminator, -1 when it
// does not or an argument is null or `size` is 0.
int ed_join_path(char *out, uint64_t size, const char *dir, const char *name);

// 1 for a name that begins with '.' and is neither "." nor "..".
int ed_is_hidden_name(const char *name);

// 1 when some '/'-separated component is exactly "..", or the path is null.
int ed_path_has_dotdot(const char *path);

// 1 for a protected location ("/", "/usr", the Windows directory as listed),
// for a path whose canonical form is "/", "/usr" or (on Windows) that of the
// Windows directory, for the user's home in any form that resolves to it,
// and for a null or empty path.
int ed_is_system_root(const char *path);

// What a canonical path is compared with to tell whether it is protected,
// read on first use and kept for the rest of a delete call. The home is
// kept as its text, which is resolved again for every path.
struct ed_protected_forms {
    bool resolved = false;
    ed_heap_text home_text;        // see ed_user_home_text(); null for no home
    ed_heap_text system_directory; // see ed_system_directory_canonical()
};

// ed_is_system_root() for a path whose text is its own canonical path, with
// the forms it is compared with taken from `forms`.
int ed_is_system_root_canonical(const char *canonical, ed_protected_forms *forms);

// 1 when `path` is written as a canonical path is: absolute, '/' as the
// only separator, no empty, "." or ".." component, no trailing '/', and
// not longer than ED_PATH_LIMIT. Whether it is its object's canonical path
// is for the file system to say.
int ed_has_canonical_form(const char *path);

// 1 when `path` is byte-for-byte the canonical form of the user's home (HOME;
// on Windows USERPROFILE when HOME is unset or empty), or the home text itself
// when that cannot be resolved. 0 for a null path or when there is no home.
int ed_is_user_home(const char *path);

// 1 when `path` equals `root` or lies below it at a component boundary.
int ed_path_under_root(const char *path, const char *root);

#endif
