// Win32 backend: roots pinned, objects reached again beneath them and removed with
// a delete disposition once judged unchanged.
#include "platform/win32/internal.h"

namespace ed_win32 {

thread_local ed_test_hook t_test_hook = nullptr;
thread_local void *t_test_context = nullptr;

unsigned long at_test_moment(ed_test_moment moment) {
    return t_test_hook != nullptr ? t_test_hook(moment, t_test_context) : 0;
}

} // namespace ed_win32

using namespace ed_win32;

namespace {

// The pin's handle, opened again when a removal of the root itself let it go.
HANDLE held_root(ed_pinned_root *root) {
    if (!root->handle)
        root->handle =
            open_registered_root(root->canonical.c_str(), &root->id, kHoldAccess, kShareHold);
    return root->handle.get();
}

// The directories from the pinned root down to the parent of the object
// `relative` names, each held without sharing delete until the removal is
// done: nothing on the chain can be renamed meanwhile.
struct chain_beneath {
    std::vector<unique_hfile> held;
    std::wstring leaf;

    HANDLE parent(HANDLE root) const { return held.empty() ? root : held.back().get(); }
};

// True when the final path of the object `handle` holds is the pinned
// root's canonical text followed by the first `units` UTF-16 units of
// `relative` (all of them when npos; none for the root itself). Opening
// beneath a held directory never follows a reparse point on Windows, but a
// link made by another system may still open as its target (see "Reparse
// points" at the head of internal.h); its final path then names the target,
// and this refuses it.
bool final_path_is(HANDLE handle, const ed_pinned_root *root, const std::wstring &relative,
                   size_t units) {
    std::wstring expected = wide_of(root->canonical.c_str());
    if (expected.empty())
        return false;
    const std::wstring_view below = std::wstring_view(relative).substr(0, units);
    if (!below.empty()) {
        if (expected.back() != L'/') // a drive root ends in one already
            expected.push_back(L'/');
        expected.append(below);
    }
    char *reached = nullptr;
    if (canonical_of_handle(handle, &reached) != ED_FINAL_RESOLVED)
        return false;
    const ed_heap_text reached_text(reached);
    return wide_of(reached) == expected;
}

// Walks `relative` ('/'-separated canonical components) below the pinned
// root one component at a time; false when a component is not a faithful
// name, cannot be opened, is not a plain directory (a reparse point is never
// followed) or is not where the root's canonical path and `relative` say.
bool reach_parent(ed_pinned_root *pinned, const char *relative, chain_beneath *chain) {
    const HANDLE root = held_root(pinned);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring wide = wide_of(relative);
    if (wide.empty())
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = wide.find(L'/', start);
        const bool last = end == std::wstring::npos;
        if (last)
            end = wide.size();
        const std::wstring_view name(wide.data() + start, end - start);
        if (win32_alters_name(name.data(), name.size()))
            return false;
        if (last) {
            chain->leaf.assign(name);
            return true;
        }
        unique_hfile next =
            open_beneath(chain->parent(root), name, kHoldAccess, kShareHold, FILE_DIRECTORY_FILE);
        if (!next || !is_plain_directory(attributes_of(next.get())) ||
            !final_path_is(next.get(), pinned, wide, end))
            return false;
        chain->held.push_back(std::move(next));
        start = end + 1;
    }
}

// The tests removal runs on the object it opened, in order; the status read
// on that same handle in `st`.
ed_target_status judge_opened(HANDLE object, const ed_file_id *examined, bool want_directory,
                              ed_stat *st) {
    ed_file_id reached;
    if (!stat_of_handle(object, st) || !identity_of(object, &reached) ||
        !ed_same_file(reached, *examined))
        return ED_TARGET_FAILED;
    if (st->st_mode == ED_S_IFLNK)
        return ED_TARGET_LINK;
    return (st->st_mode == ED_S_IFDIR) == want_directory ? ED_TARGET_OK : ED_TARGET_WRONG_KIND;
}

// How a delete disposition was set, so that it is cleared the same way.
enum class disposition { none, posix, classic };

// Marks `object` for deletion: with POSIX semantics where the system takes
// them (the name goes when this handle closes, even while others hold the
// object), else the classic way. Never ignoring the read-only attribute.
disposition set_delete_disposition(HANDLE object) {
    FILE_DISPOSITION_INFO_EX posix{};
    posix.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
    if (SetFileInformationByHandle(object, kFileDispositionInfoEx, &posix, sizeof posix))
        return disposition::posix;
    const DWORD error = GetLastError();
    // Only a system or file system without the extended class gets the
    // classic one; any other refusal stands.
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION)
        return disposition::none;
    FILE_DISPOSITION_INFO classic{};
    classic.DeleteFile = TRUE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &classic, sizeof classic)
               ? disposition::classic
               : disposition::none;
}

bool clear_delete_disposition(HANDLE object, disposition how) {
    if (how == disposition::posix) {
        FILE_DISPOSITION_INFO_EX keep{};
        keep.Flags = FILE_DISPOSITION_FLAG_DO_NOT_DELETE;
        return SetFileInformationByHandle(object, kFileDispositionInfoEx, &keep, sizeof keep) != 0;
    }
    FILE_DISPOSITION_INFO keep{};
    keep.DeleteFile = FALSE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &keep, sizeof keep) != 0;
}

// What the object `object` is now, as removal requires it: no link and no
// placeholder, of the kind wanted, and without data (for a file: an empty
// unnamed stream; for both: no named stream).
ed_target_status still_removable(HANDLE object, bool want_directory) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof tag))
        return ED_TARGET_FAILED;
    if (is_link_like(tag.FileAttributes))
        return ED_TARGET_LINK;
    if (((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != want_directory)
        return ED_TARGET_WRONG_KIND;
    if (!want_directory) {
        FILE_STANDARD_INFO standard;
        if (!GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof standard))
            return ED_TARGET_FAILED;
        if (standard.EndOfFile.QuadPart != 0)
            return ED_TARGET_NOT_EMPTY;
    }
    return streams_of(object) == streams_verdict::plain ? ED_TARGET_OK : ED_TARGET_NOT_EMPTY;
}

// Deletes the judged object through its handle if it still passes the
// tests right before the disposition is set and again right after (a
// reparse point set through another handle, a stream written through a
// handle opened before ours, ...): otherwise the disposition is cleared and
// the object stays. ED_TARGET_OK when it goes as the handle closes.
ed_target_status delete_if_unchanged(HANDLE object, bool want_directory) {
    ed_target_status status = still_removable(object, want_directory);
    if (status != ED_TARGET_OK)
        return status;
    // The platform refuses a read-only file and a directory that is not empty.
    const disposition how = set_delete_disposition(object);
    if (how == disposition::none)
        return ED_TARGET_FAILED;
    at_test_moment(ED_TEST_DISPOSITION_SET);
    status = still_removable(object, want_directory);
    if (status != ED_TARGET_OK && !clear_delete_disposition(object, how))
        return ED_TARGET_FAILED;
    return status;
}

// Where the last component of a canonical text begins ("C:/a/b": at "b").
size_t root_leaf_offset(const std::string &canonical) {
    const size_t slash = canonical.rfind('/');
    return slash == std::string::npos ? canonical.size() : slash + 1;
}

// The parent of the registered root `canonical`, held like the directories
// of a chain, if it is reached by its canonical path as itself (its final
// path is that text). Empty for a root without a parent (a drive root or a
// share) or a parent reached elsewhere.
unique_hfile open_root_parent(const std::string &canonical) {
    const size_t leaf = root_leaf_offset(canonical);
    if (leaf == 0 || leaf >= canonical.size())
        return unique_hfile();
    std::string parent(canonical, 0, leaf - 1);
    if (parent.size() == 2 && parent[1] == ':')
        parent.push_back('/'); // "C:" alone is a drive's current directory
    const std::wstring extended = extended_form(parent.c_str());
    if (extended.empty())
        return unique_hfile();
    unique_hfile held(CreateFileW(extended.c_str(), kHoldAccess | SYNCHRONIZE, kShareHold, nullptr,
                                  OPEN_EXISTING, kHostOpenFlags | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    if (!held || GetFileType(held.get()) != FILE_TYPE_DISK ||
        !is_plain_directory(attributes_of(held.get())))
        return unique_hfile();
    char *final_text = nullptr;
    if (canonical_of_handle(held.get(), &final_text) != ED_FINAL_RESOLVED)
        return unique_hfile();
    const bool same_path = std::strcmp(final_text, parent.c_str()) == 0;
    std::free(final_text);
    return same_path ? std::move(held) : unique_hfile();
}

} // namespace

ed_pinned_root *ed_pin_root(const char *canonical, const ed_file_id *id) {
    unique_hfile handle = open_registered_root(canonical, id, kHoldAccess, kShareHold);
    if (!handle)
        return nullptr;
    return new ed_pinned_root{canonical, *id, std::move(handle)};
}

void ed_unpin_root(ed_pinned_root *root) { delete root; }

// A directory about to be removed: its own handle (DELETE access, shares no
// delete) and the chain that leads to it from the root.
struct ed_target {
    chain_beneath chain;
    unique_hfile handle;
};

ed_target *ed_target_open_dir(ed_pinned_root *root, const char *relative,
                              const ed_file_id *examined, ed_target_status *status) {
    *status = ED_TARGET_FAILED;
    if (root == nullptr || relative == nullptr || examined == nullptr)
        return nullptr;
    auto target = std::make_unique<ed_target>();
    constexpr ACCESS_MASK kAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
    if (*relative == '\0') {
        // The root itself. Its parent is held first (reached by its
        // canonical path, which it must still have, so no junction on the
        // way led elsewhere), then the pin, which shares no delete, lets go,
        // and the root is opened by its name beneath the held parent, as
        // every other object is: without backup intent, never through a
        // reparse point, and judged by identity below, so a directory
        // swapped in meanwhile is refused.
        unique_hfile parent = open_root_parent(root->canonical);
        if (!parent)
            return nullptr;
        const std::wstring leaf =
            wide_of(root->canonical.c_str() + root_leaf_offset(root->canonical));
        if (leaf.empty() || win32_alters_name(leaf.data(), leaf.size()))
            return nullptr;
        root->handle.reset();
        target->handle = open_beneath(parent.get(), leaf, kAccess, kShareHold, FILE_DIRECTORY_FILE);
        target->chain.held.push_back(std::move(parent));
    } else {
        if (!reach_parent(root, relative, &target->chain))
            return nullptr;
        target->handle = open_beneath(target->chain.parent(held_root(root)), target->chain.leaf,
                                      kAccess, kShareHold, 0);
    }
    if (!target->handle)
        return nullptr;
    ed_stat st;
    *status = judge_opened(target->handle.get(), examined, true, &st);
    if (*status != ED_TARGET_OK)
        return nullptr;
    // The identity above was taken the way this open went; the final path
    // tells whether that way led where the canonical path says.
    if (!final_path_is(target->handle.get(), root, wide_of(relative), std::wstring::npos)) {
        *status = ED_TARGET_FAILED;
        return nullptr;
    }
    return target.release();
}

ed_dir *ed_target_opendir(ed_target *target) {
    // The re-check lists through the target's own handle (from the start,
    // whatever was listed before), so no second handle holds the directory.
    return target != nullptr && target->handle ? stream_on(target->handle.get(), false) : nullptr;
}

int ed_target_remove_dir(ed_target *target) {
    if (target == nullptr || !target->handle)
        return -1;
    // The platform refuses to mark a directory that is not empty; a named
    // stream it would let go with the directory is checked here.
    if (delete_if_unchanged(target->handle.get(), true) != ED_TARGET_OK)
        return -1;
    // The last handle goes now, and with it the directory.
    target->handle.reset();
    target->chain.held.clear();
    return 0;
}

void ed_target_close(ed_target *target) { delete target; }

ed_target_status ed_remove_file_beneath(ed_pinned_root *root, const char *relative,
                                        const ed_file_id *examined) {
    if (root == nullptr || relative == nullptr || *relative == '\0' || examined == nullptr)
        return ED_TARGET_FAILED;
    chain_beneath chain;
    if (!reach_parent(root, relative, &chain))
        return ED_TARGET_FAILED;
    // One handle for the tests and the removal. It shares neither write nor
    // delete, so no writer can open the file between the size test and the
    // delete and nobody can rename it out of the tree meanwhile; opening
    // fails while someone has it open for writing or with delete access.
    unique_hfile file = open_beneath(chain.parent(held_root(root)), chain.leaf,
                                     DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, 0);
    if (!file)
        return ED_TARGET_FAILED;
    ed_stat st;
    const ed_target_status status = judge_opened(file.get(), examined, false, &st);
    if (status != ED_TARGET_OK)
        return status;
    if (!final_path_is(file.get(), root, wide_of(relative), std::wstring::npos))
        return ED_TARGET_FAILED;
    if (st.st_size != 0)
        return ED_TARGET_NOT_EMPTY;
    // A read-only file is refused here by the platform.
    return delete_if_unchanged(file.get(), false);
}

// Every path is judged by the host's text here: each object is reached
// beneath its pinned root through handles that hold the chain that leads to
// it, which the checks by the host's text already do.
ed_removal_session *ed_removal_session_open() { return nullptr; }

void ed_removal_session_close(ed_removal_session *) {}

void ed_removal_session_settle(ed_removal_session *) {}

ed_target *ed_target_reach(ed_removal_session *, const char *, const ed_file_id *, const char *,
                           bool, bool *root_reached) {
    *root_reached = false;
    return nullptr;
}

int ed_target_remove_file(ed_target *) { return -1; }

void ed_set_test_hook(ed_test_hook hook, void *context) {
    t_test_hook = hook;
    t_test_context = context;
}
