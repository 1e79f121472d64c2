#include "clean/ed_remove.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "clean/ed_registry.h"
#include "core/ed_error.h"
#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"
#include "scan/ed_walk.h"

namespace {

size_t depth_of(const char *path) {
    size_t depth = 0;
    for (; *path != '\0'; ++path)
        depth += *path == '/';
    return depth;
}

// A path with its depth, counted once rather than at every comparison.
struct ordered_path {
    size_t depth;
    char *text;
};

// Deeper paths first, so listed subdirectories go before their parents;
// equal depths in descending byte order, which keeps equal paths together.
bool removed_before(const ordered_path &a, const ordered_path &b) {
    if (a.depth != b.depth)
        return a.depth > b.depth;
    return std::strcmp(a.text != nullptr ? a.text : "", b.text != nullptr ? b.text : "") > 0;
}

void sort_for_removal(char **paths, int32_t count) {
    std::vector<ordered_path> order(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        order[static_cast<size_t>(i)] = {paths[i] != nullptr ? depth_of(paths[i]) : 0, paths[i]};
    std::sort(order.begin(), order.end(), removed_before);
    for (int32_t i = 0; i < count; ++i)
        paths[i] = order[static_cast<size_t>(i)].text;
}

// What one delete call keeps from one entry to the next: the platform's way
// to objects by their canonical paths, and the protected forms.
struct call_state {
    ed_session_owner session{ed_removal_session_open()};
    ed_protected_forms protected_forms;
};

bool is_separator(char c) { return c == '/' || (ed_backslash_separates && c == '\\'); }

// A component of a path text: where it begins in the text, and its bytes.
struct component {
    size_t offset;
    std::string_view name;
};

// The length of a drive designator that starts `path` ("C:" of "C:d/e" or
// "C:/d"): a prefix that says which drive the rest is on, no name. 0 where
// there is none, and on platforms without drives.
size_t drive_prefix(const char *path) {
    const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    return ed_backslash_separates && letter && path[1] == ':' ? 2 : 0;
}

// The components of `path`, with empty and "." ones left out: they name
// nothing of their own; nor does the drive designator of a host's text.
std::vector<component> components_of(const char *path, size_t start = 0) {
    std::vector<component> parts;
    const std::string_view text(path);
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && !is_separator(text[end]))
            ++end;
        const std::string_view name = text.substr(start, end - start);
        if (!name.empty() && name != ".")
            parts.push_back(component{start, name});
        start = end + 1;
    }
    return parts;
}

// True when the host's text reaches its object without a link at or below
// the root. Its last components must be, name for name, the last of the
// object's canonical components below the root, and what comes before them
// must lead to the directory that holds those components: to the root
// itself, or, for a text relative to a current directory inside the tree,
// to that directory. A link below the root shows as a name that is not the
// canonical one ("R/S/." for a link S to R/T is canonically "R/T"), or,
// where the names happen to agree, as a leading part that leads elsewhere.
// Links above the root, in the part that leads to it, are the host's
// business.
bool spelled_without_links(const char *path, const ed_scanned_location &where) {
    const std::vector<component> host = components_of(path, drive_prefix(path));
    const std::vector<component> object = components_of(where.relative);
    size_t matched = 0;
    while (matched < host.size() && matched < object.size()) {
        const std::string_view a = host[host.size() - 1 - matched].name;
        const std::string_view b = object[object.size() - 1 - matched].name;
        if (!ed_names_equal(a.data(), a.size(), b.data(), b.size()))
            break;
        ++matched;
    }
    const size_t leading_length =
        matched == 0 ? std::strlen(path) : host[host.size() - matched].offset;
    const std::string leading(path, leading_length);

    ed_file_id reached;
    if (matched == object.size()) {
        // Nothing before them: a text relative to the current directory,
        // which must then be the root.
        const char *start = leading_length == 0 ? "." : leading.c_str();
        return ed_identify(start, &reached) == 0 && ed_same_file(reached, where.root_id);
    }
    // Fewer names than the object has below the root: only a text relative
    // to a current directory inside the tree, with nothing before its names
    // (but a drive designator: "C:e" is relative to that drive's current
    // directory).
    const size_t drive = drive_prefix(path);
    if (matched < host.size() ||
        (drive != 0 && drive < leading.size() && is_separator(leading[drive])) ||
        leading.find_first_not_of(ed_backslash_separates ? "./\\" : "./", drive) !=
            std::string::npos)
        return false;
    // The canonical path of the directory that holds the matched names; a
    // text without any name (".", "./") names that directory itself.
    const size_t root_length = static_cast<size_t>(where.relative - where.object.get());
    const std::string holder(where.object.get(),
                             matched == 0 ? std::strlen(where.object.get())
                                          : root_length + object[object.size() - matched].offset);
    ed_file_id expected;
    const std::string current = std::string(path, drive) + ".";
    return ed_identify(current.c_str(), &reached) == 0 &&
           ed_identify(holder.c_str(), &expected) == 0 && ed_same_file(reached, expected);
}

// The tests both workers run first, by the host's text: 0 when `path`
// passed them and is of the kind `kind` (an ED_S_IF* value), with its status
// and identity, and where the registry found it; else -1 with the message of
// the test it failed (`wrong_kind` for another kind).
int judge_common(const char *path, uint16_t kind, const char *wrong_kind, ed_stat *st,
                 ed_file_id *id, ed_scanned_location *where) {
    if (ed_path_has_dotdot(path)) {
        ed_set_error("refused: path contains ..");
        return -1;
    }
    if (!ed_locate_under_scanned_root(path, where)) {
        ed_set_error("refused: outside scanned roots");
        return -1;
    }
    if (ed_fill_stat_id(path, st, id) != 0) {
        ed_set_error("path not found");
        return -1;
    }
    if ((st->st_mode & ED_S_IFMT) == ED_S_IFLNK || !spelled_without_links(path, *where)) {
        ed_set_error("refused: symlink");
        return -1;
    }
    if ((st->st_mode & ED_S_IFMT) != kind) {
        ed_set_error("%s", wrong_kind);
        return -1;
    }
    return 0;
}

// The last tests, run again on the object removal opened, with the message a
// failure would have had when the path was judged by name.
bool report_target(ed_target_status status, const char *wrong_kind, const char *not_empty,
                   const char *failed) {
    switch (status) {
    case ED_TARGET_OK:
        return true;
    case ED_TARGET_LINK:
        ed_set_error("refused: symlink");
        return false;
    case ED_TARGET_WRONG_KIND:
        ed_set_error("%s", wrong_kind);
        return false;
    case ED_TARGET_NOT_EMPTY:
        ed_set_error("%s", not_empty);
        return false;
    case ED_TARGET_FAILED:
        break;
    }
    ed_set_error("%s", failed);
    return false;
}

constexpr const char *kNoLongerEmpty = "refused: directory no longer empty (TOCTOU)";
constexpr const char *kOutOfDescriptors = "too many open files";

// What became of a path on the way by its canonical text.
enum class direct_outcome {
    removed,
    not_taken, // not removed: judge the path by the host's text
};

// The way for a host's text that is already the canonical path of its
// object, as the scan lists them. The checks by the host's text, run one
// after the other, resolve the text with its links (the canonical path),
// re-reach the root without links, query the text's object, tie its
// spelling to the root, and reach the object again beneath the root without
// links to compare identities: for such a text they all come down to one
// walk along the text itself, without a link from the root's top down to
// the object, which is what this way makes (the root re-reached and
// identity-checked, each component opened without following a link, never
// onto another file system). The object's kind, emptiness or size,
// identity and place are then checked as on the other way, and it is moved
// aside and removed the same way. Whatever does not pass is judged by the
// host's text from the start, so every refusal keeps its message; so is an
// object whose removal failed (what is at the name now may have changed,
// and its refusal says what it is).
direct_outcome remove_dir_direct(const char *path, int include_hidden,
                                 const ed_name_filter *exclude, call_state &call) {
    if (!call.session || !ed_has_canonical_form(path) ||
        ed_is_system_root_canonical(path, &call.protected_forms))
        return direct_outcome::not_taken;
    ed_target_owner target(ed_reach_under_scanned_root(call.session.get(), path, true));
    if (!target)
        return direct_outcome::not_taken;
    {
        ed_dir_stream entries(ed_target_opendir(target.get()));
        if (!entries || !ed_stream_still_empty(entries.get(), path, include_hidden, exclude))
            return direct_outcome::not_taken;
    }
    return ed_target_remove_dir(target.get()) == 0 ? direct_outcome::removed
                                                   : direct_outcome::not_taken;
}

direct_outcome remove_file_direct(const char *path, call_state &call) {
    if (!call.session || !ed_has_canonical_form(path))
        return direct_outcome::not_taken;
    ed_target_owner target(ed_reach_under_scanned_root(call.session.get(), path, false));
    if (!target)
        return direct_outcome::not_taken;
    return ed_target_remove_file(target.get()) == 0 ? direct_outcome::removed
                                                    : direct_outcome::not_taken;
}

bool remove_dir(const char *path, int include_hidden, const ed_name_filter *exclude,
                call_state &call) {
    switch (remove_dir_direct(path, include_hidden, exclude, call)) {
    case direct_outcome::removed:
        return true;
    case direct_outcome::not_taken:
        break;
    }
    // A host short of descriptors may be what turned the path away: the
    // checks by its text must have every descriptor the call can give back.
    ed_removal_session_settle(call.session.get());
    ed_stat st;
    ed_file_id id;
    ed_scanned_location where;
    if (judge_common(path, ED_S_IFDIR, "refused: not a directory", &st, &id, &where) != 0)
        return false;
    if (ed_is_system_root(path)) {
        ed_set_error("refused: system root");
        return false;
    }
    // A text without a name (".", "./") asks to remove the current directory
    // through ".", which the system refuses whatever the directory holds; so
    // does the call, rather than remove it by a name the host did not give.
    if (components_of(path).empty()) {
        ed_set_error("rmdir failed");
        return false;
    }
    // Reach the directory again from its pinned root, never through a
    // link, and judge what was opened: the name may have been swapped since.
    ed_target_status status;
    ed_target_owner target(ed_target_open_dir(where.root.get(), where.relative, &id, &status));
    if (!report_target(status, "refused: not a directory", kNoLongerEmpty, "rmdir failed"))
        return false;
    {
        // The stream is closed before the removal: nothing of ours may hold
        // the directory but the target itself.
        errno = 0;
        ed_dir_stream entries(ed_target_opendir(target.get()));
        if (!entries || !ed_stream_still_empty(entries.get(), path, include_hidden, exclude)) {
            // A subdirectory the re-check could not open for want of a
            // descriptor is not content that was found.
            const bool out_of_descriptors = errno == EMFILE || errno == ENFILE;
            ed_set_error("%s", out_of_descriptors ? kOutOfDescriptors : kNoLongerEmpty);
            return false;
        }
    }
    // Anything created since the re-check makes the platform refuse.
    if (ed_target_remove_dir(target.get()) != 0) {
        ed_set_error("rmdir failed");
        return false;
    }
    return true;
}

bool remove_file(const char *path, call_state &call) {
    switch (remove_file_direct(path, call)) {
    case direct_outcome::removed:
        return true;
    case direct_outcome::not_taken:
        break;
    }
    ed_stat st;
    ed_file_id id;
    ed_scanned_location where;
    if (judge_common(path, ED_S_IFREG, "refused: not a regular file", &st, &id, &where) != 0)
        return false;
    if (st.st_size != 0) {
        ed_set_error("refused: file size != 0");
        return false;
    }
    return report_target(ed_remove_file_beneath(where.root.get(), where.relative, &id),
                         "refused: not a regular file", "refused: file size != 0", "unlink failed");
}

// The test's hook, called before each entry of a delete call.
thread_local ed_entry_hook g_entry_hook = nullptr;
thread_local void *g_entry_hook_context = nullptr;

void entry_reached(int32_t index) {
    if (g_entry_hook != nullptr)
        g_entry_hook(index, g_entry_hook_context);
}

// Runs one path through a worker. Running out of memory on the way is that
// path's refusal: what went before stays counted, and the call goes on.
template <typename Remove> bool attempt(const char *path, Remove remove) noexcept {
    try {
        return remove(path);
    } catch (const std::bad_alloc &) {
        ed_set_error("out of memory");
        return false;
    } catch (const ed_out_of_descriptors &) {
        ed_set_error("%s", kOutOfDescriptors);
        return false;
    } catch (...) {
        // Nothing else is thrown on purpose (a lock that the system could not
        // take, say); the path is refused and the host's process lives on.
        ed_set_error("internal error");
        return false;
    }
}

// Runs each path of one delete call, in order, through `remove` (given the
// path and the call's state) and counts those it removed.
template <typename Remove> int32_t remove_each(char *const *paths, int32_t count, Remove remove) {
    call_state call;
    int32_t removed = 0;
    for (int32_t i = 0; i < count; ++i) {
        entry_reached(i);
        if (paths[i] != nullptr && paths[i][0] != '\0' &&
            attempt(paths[i], [&remove, &call](const char *p) { return remove(p, call); }))
            ++removed;
    }
    return removed;
}

} // namespace

int32_t ed_delete_dirs_list(char **paths, int32_t count, int include_hidden,
                            const ed_name_filter *exclude) {
    if (paths == nullptr || count < 0) {
        ed_set_error("invalid dirs list");
        return -1;
    }
    sort_for_removal(paths, count);
    return remove_each(paths, count, [include_hidden, exclude](const char *p, call_state &call) {
        return remove_dir(p, include_hidden, exclude, call);
    });
}

int32_t ed_delete_files_list(char *const *paths, int32_t count) {
    if (paths == nullptr || count < 0) {
        ed_set_error("invalid files list");
        return -1;
    }
    return remove_each(paths, count, remove_file);
}

void ed_set_entry_hook(ed_entry_hook hook, void *context) {
    g_entry_hook = hook;
    g_entry_hook_context = context;
}
