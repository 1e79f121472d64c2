#include "scan/ed_path_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>

bool ed_path_index::holds(const char *path, size_t hash) const {
    if (slots_.empty())
        return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i].text != nullptr; i = (i + 1) & mask)
        if (slots_[i].hash == hash && std::strcmp(slots_[i].text, path) == 0)
            return true;
    return false;
}

void ed_path_index::place(const char *text, size_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].text != nullptr)
        i = (i + 1) & mask;
    slots_[i] = slot{hash, text};
}

void ed_path_index::grow() {
    std::vector<slot> held(std::max<size_t>(64, slots_.size() * 2));
    held.swap(slots_); // the larger table is empty; `held` has what it held
    for (const slot &entry : held)
        if (entry.text != nullptr)
            place(entry.text, entry.hash);
}

void ed_path_index::append_unique(ed_strlist *list, const char *path) {
    const size_t hash = std::hash<std::string_view>{}(path);
    if (holds(path, hash))
        return;
    // Room first: once the path is in the list, nothing may fail.
    if ((used_ + 1) * 2 > slots_.size())
        grow();
    if (ed_strlist_push(list, path) != 0)
        throw std::bad_alloc(); // a result without this path would be wrong
    place(list->strs[list->n - 1], hash);
    ++used_;
}
