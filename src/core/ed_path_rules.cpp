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
    if (name == nullptr || name[0] != '.')
        return 0;
    if (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))
        return 0;
    return 1;
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

int ed_is_system_root(const char *path) {
    if (path == nullptr || *path == '\0')
        return 1;
    for (const char *literal : kProtectedLiterals)
        if (std::strcmp(path, literal) == 0)
            return 1;
    ed_heap_text canonical(ed_canonical_path(path));
    if (!canonical)
        return ed_is_user_home(path);
    if (std::strcmp(canonical.get(), "/") == 0 || std::strcmp(canonical.get(), "/usr") == 0)
        return 1;
    // The Windows directory in any spelling that resolves to it: the file
    // system ignores case, so the literals alone would protect it or not by
    // the letters the host chose.
    ed_heap_text system_directory(ed_system_directory_canonical());
    if (system_directory && std::strcmp(canonical.get(), system_directory.get()) == 0)
        return 1;
    return ed_is_user_home(canonical.get());
}

int ed_is_user_home(const char *path) {
    if (path == nullptr)
        return 0;
    ed_heap_text home(ed_user_home_text());
    if (!home)
        return 0;
    ed_heap_text canonical(ed_canonical_path(home.get()));
    const char *home_form = canonical ? canonical.get() : home.get();
    return std::strcmp(path, home_form) == 0 ? 1 : 0;
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
