// The library's one container: a growable list of owned UTF-8 strings.
//
// Ownership: every string a list holds is the list's own heap copy (malloc);
// the caller keeps the text it pushes. A list that nothing was ever added to
// has a null `strs`.
#ifndef ED_CORE_STRLIST_H
#define ED_CORE_STRLIST_H

#include <cstdint>

struct ed_strlist {
    char **strs; // `cap` slots; 0..n-1 hold the strings in the order added
    int32_t n;   // strings held
    int32_t cap; // slots allocated: 0 or 16 * 2^k, never above 2^30
};

// Sets the list to the empty state (null array, no slots).
void ed_strlist_init(ed_strlist *list);

// Appends a copy of `text`. 0 on success, -1 when the list or the text is null
// or memory is short. When the copy fails after the array grew, `cap` keeps
// the new size and `n` is unchanged.
int ed_strlist_push(ed_strlist *list, const char *text);

// 1 when some held string equals `text` byte for byte, else 0. Linear.
int ed_strlist_contains(const ed_strlist *list, const char *text);

// Frees every held string and the array; the list is empty and usable again.
// A null list is ignored.
void ed_strlist_free(ed_strlist *list);

// A new heap copy of `text` that the caller frees, or null (null text, or
// memory short).
char *ed_strdup(const char *text);

// Owns one list for a scope, so that every return path releases it.
class ed_strlist_guard {
  public:
    ed_strlist_guard() noexcept { ed_strlist_init(&list_); }
    ~ed_strlist_guard() { ed_strlist_free(&list_); }
    ed_strlist_guard(const ed_strlist_guard &) = delete;
    ed_strlist_guard &operator=(const ed_strlist_guard &) = delete;

    ed_strlist *get() noexcept { return &list_; }
    const ed_strlist *get() const noexcept { return &list_; }
    ed_strlist *operator->() noexcept { return &list_; }

  private:
    ed_strlist list_;
};

#endif
