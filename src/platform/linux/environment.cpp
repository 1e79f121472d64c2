// Linux backend: name comparison, the user's home, the system directory and the
// per-call scope.
#include "platform/linux/internal.h"

int ed_names_equal(const char *a, size_t a_length, const char *b, size_t b_length) {
    return a_length == b_length && std::memcmp(a, b, a_length) == 0 ? 1 : 0;
}

char *ed_user_home_text() {
    const char *home = std::getenv("HOME");
    if (home == nullptr || *home == '\0')
        return nullptr;
    char *copy = ::strdup(home);
    if (copy == nullptr)
        throw std::bad_alloc();
    return copy;
}

char *ed_system_directory_canonical() { return nullptr; }

// POSIX shows every object as it is: nothing to set or restore.
ed_platform_call_scope::ed_platform_call_scope() noexcept {}
ed_platform_call_scope::~ed_platform_call_scope() {}
