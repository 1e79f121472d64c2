// The five exports: thin shims over the library's internals. No exception
// ever leaves them; running out of memory anywhere inside becomes the
// call's failure result with "out of memory".
#include <cstdlib>
#include <new>

#include "api/edclean_json.h"
#include "api/edclean_scan.h"
#include "clean/ed_registry.h"
#include "clean/ed_remove.h"
#include "core/ed_error.h"
#include "core/ed_strlist.h"
#include "edclean.h"
#include "platform/ed_platform.h"

namespace {

// Runs the common frame of the two delete calls: empty the message, refuse a
// null argument, parse the array, refuse an empty one with the message of an
// invalid list (there is nothing to delete, which the host must hear about),
// hand the rest to the worker.
template <typename Worker>
int32_t run_delete(const char *json, const char *null_message, const char *empty_message,
                   Worker worker) noexcept {
    ed_clear_error();
    if (json == nullptr) {
        ed_set_error("%s", null_message);
        return -1;
    }
    try {
        ed_strlist_guard paths;
        if (parse_string_array(json, paths.get()) != 0)
            return -1;
        if (paths->n == 0) {
            ed_set_error("%s", empty_message);
            return -1;
        }
        return worker(paths.get());
    } catch (const std::bad_alloc &) {
        ed_set_error("out of memory");
    } catch (...) {
        ed_set_error("internal error");
    }
    return -1;
}

} // namespace

extern "C" {

EDCLEAN_API int32_t edclean_delete_dirs(const char *dirs_json) noexcept {
    const ed_platform_call_scope platform;
    return run_delete(dirs_json, "NULL dirs_json", "invalid dirs list", [](ed_strlist *paths) {
        const ed_recheck_rules rules = ed_last_recheck_rules();
        return ed_delete_dirs_list(paths->strs, paths->n, rules.include_hidden,
                                   rules.exclude.get());
    });
}

EDCLEAN_API int32_t edclean_delete_files(const char *files_json) noexcept {
    const ed_platform_call_scope platform;
    return run_delete(files_json, "NULL files_json", "invalid files list", [](ed_strlist *paths) {
        return ed_delete_files_list(paths->strs, paths->n);
    });
}

EDCLEAN_API void edclean_free_string(char *text) noexcept { std::free(text); }

EDCLEAN_API const char *edclean_last_error(void) noexcept {
    const char *message = ed_error_buffer();
    return message[0] != '\0' ? message : "";
}

EDCLEAN_API char *edclean_scan(const char *dirs_json, const char *options_json) noexcept {
    const ed_platform_call_scope platform;
    ed_clear_error();
    try {
        return ed_scan_call(dirs_json, options_json);
    } catch (const std::bad_alloc &) {
        ed_set_error("out of memory");
    } catch (...) {
        ed_set_error("internal error");
    }
    return nullptr;
}

} // extern "C"
