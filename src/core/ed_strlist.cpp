#include "core/ed_strlist.h"

#include <cstdlib>
#include <cstring>

namespace {
// Slot counts stay representable as signed 32-bit counts with room to index.
constexpr int32_t kFirstCapacity = 16;
constexpr int32_t kMaxCapacity = int32_t{1} << 30;
} // namespace

void ed_strlist_init(ed_strlist *list) {
    list->strs = nullptr;
    list->n = 0;
    list->cap = 0;
}

int ed_strlist_push(ed_strlist *list, const char *text) {
    if (list == nullptr || text == nullptr)
        return -1;
    if (list->n >= list->cap) {
        if (list->cap >= kMaxCapacity)
            return -1;
        const int32_t grown = list->cap == 0 ? kFirstCapacity : list->cap * 2;
        void *array = std::realloc(list->strs, sizeof(char *) * static_cast<size_t>(grown));
        if (array == nullptr)
            return -1;
        list->strs = static_cast<char **>(array);
        list->cap = grown;
    }
    char *copy = ed_strdup(text);
    if (copy == nullptr)
        return -1;
    list->strs[list->n++] = copy;
    return 0;
}

int ed_strlist_contains(const ed_strlist *list, const char *text) {
    if (list == nullptr || text == nullptr || list->n <= 0)
        return 0;
    for (int32_t i = 0; i < list->n; ++i) {
        if (list->strs[i] != nullptr && std::strcmp(list->strs[i], text) == 0)
            return 1;
    }
    return 0;
}

void ed_strlist_free(ed_strlist *list) {
    if (list == nullptr)
        return;
    for (int32_t i = 0; i < list->n; ++i)
        std::free(list->strs[i]);
    std::free(list->strs);
    ed_strlist_init(list);
}

char *ed_strdup(const char *text) {
    if (text == nullptr)
        return nullptr;
    const size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr)
        std::memcpy(copy, text, size);
    return copy;
}
