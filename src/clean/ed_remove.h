// The two removal workers. Each judges every path again against the
// registered roots and the file system as it is now, removes what is still
// safe to remove, and counts it. A refusal replaces the thread's message and
// the worker goes on with the next path.
#ifndef ED_CLEAN_REMOVE_H
#define ED_CLEAN_REMOVE_H

#include <cstdint>

#include "scan/ed_name_filter.h"

// Orders `paths` in place, deeper first (more '/'), then by descending bytes,
// and removes each path that is inside a scanned root, a directory and not a
// link, not protected, and still empty under `include_hidden` and the names
// `exclude` matches (null: none).
// The number removed, or -1 with "invalid dirs list" for a null array or a
// negative count.
//
// The scan's age guard plays no part in the re-check: removing a listed
// directory makes the directory that holds it as young as can be, so a
// parent listed with it would never go, and anything else the re-check can
// find inside is a directory that keeps the system from removing the
// directory in any case.
int32_t ed_delete_dirs_list(char **paths, int32_t count, int include_hidden,
                            const ed_name_filter *exclude = nullptr);

// Removes, in the order given, each path that is inside a scanned root and a
// zero-byte regular file, not a link. The number removed, or -1 with
// "invalid files list" for a null array or a negative count.
int32_t ed_delete_files_list(char *const *paths, int32_t count);

// For tests, on the calling thread only: `hook` is called with the index of
// each entry of a delete call before the entry is attempted (after the
// directories are ordered), so that a test can change the tree between two
// entries of one call. Null removes the hook.
using ed_entry_hook = void (*)(int32_t index, void *context);
void ed_set_entry_hook(ed_entry_hook hook, void *context);

#endif
