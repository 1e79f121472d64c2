#include "api/edclean_scan.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "api/edclean_json.h"
#include "clean/ed_registry.h"
#include "core/ed_error.h"
#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "core/ed_strlist.h"
#include "platform/ed_platform.h"
#include "scan/ed_walk.h"

namespace {

bool options_are_default(const char *options_json) {
    return options_json == nullptr || options_json[0] == '\0' ||
           std::strcmp(options_json, "{}") == 0;
}

// Checks one root text and appends its canonical path and identity to
// `canonical_roots` and `ids`. 0, or -1 with the message of the first check
// it fails. Kind, canonical path and identity all come from one opened
// object, so a root swapped for a link while it is checked is either seen
// as a link or changes nothing.
int accept_root(const char *root, ed_strlist *canonical_roots, std::vector<ed_file_id> *ids) {
    if (*root == '\0') {
        ed_set_error("empty path in dirs");
        return -1;
    }
    if (ed_path_has_dotdot(root)) {
        ed_set_error("refused: path contains ..");
        return -1;
    }
    if (ed_is_system_root(root)) {
        ed_set_error("refused: system root (%s)", root);
        return -1;
    }
    char *canonical_text = nullptr;
    ed_file_id id{};
    ed_root_kind kind;
    try {
        kind = ed_inspect_root(root, &canonical_text, &id);
    } catch (const ed_out_of_descriptors &) {
        // The root itself may be fine: say what stopped the look at it.
        ed_set_error("too many open files under %s", root);
        return -1;
    }
    ed_heap_text canonical(canonical_text);
    switch (kind) {
    case ED_ROOT_UNREACHABLE:
        ed_set_error("root not found: %s", root);
        return -1;
    case ED_ROOT_LINK:
        ed_set_error("refused: symlink root");
        return -1;
    case ED_ROOT_OTHER:
        ed_set_error("not a directory: %s", root);
        return -1;
    case ED_ROOT_UNNAMEABLE:
        ed_set_error("realpath failed: %s", root);
        return -1;
    case ED_ROOT_DEVICE_NAMESPACE:
        ed_set_error("refused: device namespace path: %s", root);
        return -1;
    case ED_ROOT_DIRECTORY:
        break;
    }
    // The canonical form is checked again: a protected location may be
    // reached through another spelling or a link.
    if (ed_is_system_root(canonical.get())) {
        ed_set_error("refused: system root (%s)", root);
        return -1;
    }
    if (ed_strlist_push(canonical_roots, canonical.get()) != 0)
        throw std::bad_alloc();
    ids->push_back(id);
    return 0;
}

} // namespace

char *ed_scan_call(const char *dirs_json, const char *options_json) {
    if (dirs_json == nullptr) {
        ed_set_error("NULL dirs_json");
        return nullptr;
    }
    ed_scan_opts opts{0, 1};
    if (!options_are_default(options_json) && ed_read_scan_options(options_json, &opts) != 0)
        return nullptr;
    // Recorded before the roots are looked at: directory removal re-checks
    // emptiness the way the latest scan judged it, even a scan that failed.
    ed_set_last_recheck_rules(ed_recheck_rules{opts.include_hidden, opts.exclude});
    if (opts.min_age_seconds > 0)
        opts.young_after = ed_age_threshold(ed_clock_now(), opts.min_age_seconds);

    ed_strlist_guard roots;
    if (parse_string_array(dirs_json, roots.get()) != 0)
        return nullptr;
    if (roots->n == 0) {
        ed_set_error("empty dirs list");
        return nullptr;
    }

    // Every root must pass before any is registered or walked.
    ed_strlist_guard canonical_roots;
    std::vector<ed_file_id> ids;
    for (int32_t i = 0; i < roots->n; ++i)
        if (accept_root(roots->strs[i], canonical_roots.get(), &ids) != 0)
            return nullptr;
    ed_register_scanned_roots(canonical_roots->strs, ids.data(), canonical_roots->n);

    // Lines of progress go out only while the walks run: a call refused
    // before them writes none.
    std::optional<ed_scan_progress> progress;
    if (opts.progress_target >= 0)
        opts.progress = &progress.emplace(opts.progress_target);

    ed_scan_result scanned;
    for (int32_t i = 0; i < canonical_roots->n; ++i) {
        const char *root = canonical_roots->strs[i];
        try {
            if (ed_scan_tree(root, &opts, &scanned, &ids[static_cast<size_t>(i)]) != 0) {
                ed_set_error("scan failed under %s", root);
                return nullptr;
            }
        } catch (const ed_out_of_descriptors &) {
            // What the walk could not open is unknown, not content: no list
            // without it is the whole answer.
            ed_set_error("too many open files under %s", root);
            return nullptr;
        }
    }

    if (progress)
        progress->finish(static_cast<uint64_t>(scanned.empty_dirs->n) +
                         static_cast<uint64_t>(scanned.zero_files->n));
    char *result = ed_write_scan_result(scanned.empty_dirs.get(), scanned.zero_files.get(),
                                        scanned.scanned_dirs,
                                        opts.report_left_out ? &scanned.left_out : nullptr);
    if (result == nullptr)
        ed_set_error("failed to build result JSON");
    return result;
}
