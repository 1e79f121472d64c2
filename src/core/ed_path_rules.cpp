#include "core/ed_path_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ed_owners.h"
#include "platform/ed_platform.h"

namespace {

// Compared with the path exactly as given, before anything is resolved.
constexpr const char *kProtectedLiterals[] = {
    "/", "/usr", "/usr/", "C:\\Windows", "C:/Windows", "c:\\windows", "c:/windows",
};

} // namespace

int ed_join_path(char *out, uint64_t size, const char *dir, const char *name) {
    if (out == nullptr || dir == nullptr || name == nullptr || size == 0)
        return -1;
    const size_t dir_length = std::strlen(dir);
    const char *format = dir_length > 0 && dir[dir_length - 1] == '/' ? "%s%s" : "%s/%s";
    const int length = std::snprintf(out, static_cast<size_t>(size), format, dir, name);
    if (length < 0 || static_cast<uint64_t>(length) >= size)
        return -1;
    return 0;
}

int ed_is_hidden_name(const char *name) {
    return name != nullptr && name[0] == '.' && !ed_is_dot_or_dotdot(name) ? 1 : 0;
}

int ed_path_has_dotdot(const char *path) {
    if (path == nullptr)
        return 1;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        const bool starts_component = i == 0 || path[i - 1] == '/';
        if (starts_component && path[i] == '.' && path[i + 1] == '.' &&
            (path[i + 2] == '\0' || path[i + 2] == '/'))
            return 1;
    }
    return 0;
}

namespace {

bool is_protected_literal(const char *path) {
    for (const char *literal : kProtectedLiterals)
        if (std::strcmp(path, literal) == 0)
            return true;
    return false;
}

// The home's canonical form, or its text when it has none; null for no home.
ed_heap_text user_home_form() {
    ed_heap_text home(ed_user_home_text());
    if (!home)
        return nullptr;
    ed_heap_text canonical(ed_canonical_path(home.get()));
    return canonical ? std::move(canonical) : std::move(home);
}

// The tests on a canonical path, given the forms it is compared with.
bool is_protected_canonical(const char *canonical, const char *system_directory,
                            const char *home_form) {
    if (std::strcmp(canonical, "/") == 0 || std::strcmp(canonical, "/usr") == 0)
        return true;
    // The Windows directory in any spelling that resolves to it: the file
    // system ignores case, so the literals alone would protect it or not by
    // the letters the host chose.
    if (system_directory != nullptr && std::strcmp(canonical, system_directory) == 0)
        return true;
    return home_form != nullptr && std::strcmp(canonical, home_form) == 0;
}

} // namespace

int ed_is_system_root(const char *path) {
    if (path == nullptr || *path == '\0')
        return 1;
    if (is_protected_literal(path))
        return 1;
    ed_heap_text canonical(ed_canonical_path(path));
    if (!canonical)
        return ed_is_user_home(path);
    const ed_heap_text system_directory(ed_system_directory_canonical());
    const ed_heap_text home_form(user_home_form());
    return is_protected_canonical(canonical.get(), system_directory.get(), home_form.get()) ? 1 : 0;
}

int ed_is_system_root_canonical(const char *canonical, ed_protected_forms *forms) {
    if (canonical == nullptr || *canonical == '\0' || forms == nullptr)
        return 1;
    if (is_protected_literal(canonical))
        return 1;
    if (!forms->resolved) {
        forms->system_directory.reset(ed_system_directory_canonical());
        forms->home_text.reset(ed_user_home_text());
        forms->resolved = true;
    }
    // The home's text is the call's, but what it resolves to is read for
    // every path: a link in it may lead elsewhere by the next path.
    const ed_heap_text home_canonical(forms->home_text ? ed_canonical_path(forms->home_text.get())
                                                       : nullptr);
    const char *home_form = home_canonical ? home_canonical.get() : forms->home_text.get();
    return is_protected_canonical(canonical, forms->system_directory.get(), home_form) ? 1 : 0;
}

int ed_has_canonical_form(const char *path) {
    if (path == nullptr || path[0] != '/')
        return 0;
    size_t length = 0;
    for (const char *component = path; *component == '/';) {
        const char *end = component + 1;
        while (*end != '\0' && *end != '/' && !(ed_backslash_separates && *end == '\\'))
            ++end;
        const size_t name_length = static_cast<size_t>(end - component - 1);
        if (name_length == 0 || (name_length == 1 && component[1] == '.') ||
            (name_length == 2 && component[1] == '.' && component[2] == '.'))
            return 0;
        length = static_cast<size_t>(end - path);
        component = end;
    }
    return path[length] == '\0' && length <= ED_PATH_LIMIT ? 1 : 0;
}

int ed_is_user_home(const char *path) {
    if (path == nullptr)
        return 0;
    const ed_heap_text home_form(user_home_form());
    return home_form && std::strcmp(path, home_form.get()) == 0 ? 1 : 0;
}

int ed_path_under_root(const char *path, const char *root) {
    if (path == nullptr || root == nullptr || *root == '\0')
        return 0;
    const size_t root_length = std::strlen(root);
    if (std::strncmp(path, root, root_length) != 0)
        return 0;
    const char next = path[root_length];
    return next == '\0' || next == '/' || root[root_length - 1] == '/' ? 1 : 0;
}
