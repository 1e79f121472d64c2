// The registry of scanned roots: the canonical path and the identity of
// every root a scan has accepted, kept for the life of the process. The
// delete calls accept only what lies at or below one of them, and only while
// the directory at that path is still the one that was scanned.
//
// Registration and lookups are guarded by a reader-writer lock, so a host
// that scans while deletes run on other threads still gets consistent
// answers. The registry owns copies of its roots; callers keep their texts.
#ifndef ED_CLEAN_REGISTRY_H
#define ED_CLEAN_REGISTRY_H

#include <cstdint>
#include <memory>

#include "core/ed_owners.h"
#include "platform/ed_platform.h"
#include "scan/ed_name_filter.h"

// Registers copies of the `count` canonical roots, each with the identity of
// the directory the scan checked. A root already registered takes the new
// identity: the latest scan decides what the path stands for. Null entries
// are passed over. When the array cannot grow, the rest of the call stays
// unregistered.
void ed_register_scanned_roots(const char *const *roots, const ed_file_id *ids, int32_t count);

// ed_register_scanned_roots() with each root identified by what is at its
// path now, for callers that hold only canonical texts.
void ed_register_roots(const char *const *roots, int32_t count);

// 1 when the object that `path` reaches lies at or below a registered root
// that is still the directory that was scanned, judged by its canonical path
// (or, for a missing object, its canonical parent and leaf). 0 for a null or
// empty path, a ".." component, or anything that cannot be canonicalised.
int ed_is_under_scanned_root(const char *path);

// Where a path that lies inside the registry was found: the canonical path
// of the object it reaches (a missing object: canonical parent and leaf),
// the part of it below the root, and the root itself, held open.
struct ed_scanned_location {
    ed_heap_text object;
    const char *relative = nullptr; // inside `object`: "" for the root itself
    ed_root_pin root;
    ed_file_id root_id{};
};

// ed_is_under_scanned_root() that also tells where, for removal to reach the
// object again from its root without resolving the host's text a second time.
int ed_locate_under_scanned_root(const char *path, ed_scanned_location *where);

// For a path whose text is written as a canonical path is: the object
// reached along that very text (ed_target_reach) beneath the first
// registered root that holds the text below it and is still the directory
// that was scanned, the same root ed_locate_under_scanned_root() picks for
// a canonical path. Null when no root holds it, or when the object cannot
// be reached that way; nothing has been changed then.
ed_target *ed_reach_under_scanned_root(ed_removal_session *session, const char *path,
                                       bool directory);

// Forgets every registered root. No export reaches it.
void ed_clear_roots();

// What the latest scan that got past its options counted as content, for
// directory removal's re-check: its include_hidden setting (0 before any
// scan) and its excluded names (null: none). Set and read as one, under a
// lock, so a delete call running beside a scan gets one scan's rules whole;
// the filter it holds stays valid for as long as it keeps the copy.
struct ed_recheck_rules {
    int32_t include_hidden = 0;
    std::shared_ptr<const ed_name_filter> exclude;
};
ed_recheck_rules ed_last_recheck_rules();
void ed_set_last_recheck_rules(ed_recheck_rules rules);

#endif
