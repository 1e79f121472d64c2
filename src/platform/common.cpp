// Logic of the adapter that is the same on every platform.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/ed_platform.h"

namespace {

// 511 bytes: fits the 512-byte name buffer of a stream, is longer than any
// name a file system gives (255), and is not a hidden name.
constexpr size_t kUnnameableLength = ED_NAME_BUFFER_BYTES - 1;

struct unnameable_text {
    char text[kUnnameableLength + 1];
    constexpr unnameable_text() : text{} {
        for (size_t i = 0; i < kUnnameableLength; ++i)
            text[i] = '?';
    }
};
constexpr unnameable_text kUnnameable{};

bool is_drive_prefix(const char *text, size_t length) {
    return length == 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

// Where backslashes separate, "//server/share" (or "//?/C:") is the least a
// "//" text can be cut down to: one component less is no place at all, and
// a lone "/" would be read as the root of the current drive.
bool cut_leaves_a_place(const char *text, const char *cut) {
    if (!ed_backslash_separates || std::strncmp(text, "//", 2) != 0)
        return true;
    const char *server_end = std::strchr(text + 2, '/');
    return server_end != nullptr && cut > server_end + 1;
}

} // namespace

const char *ed_readdir(ed_dir *dir) {
    ed_entry_hint ignored;
    return ed_readdir_hint(dir, &ignored);
}

const char *const ed_unnameable_entry = kUnnameable.text;

int ed_is_unnameable_entry(const char *name) {
    return name != nullptr && name[0] == '?' && std::strcmp(name, ed_unnameable_entry) == 0 ? 1 : 0;
}

char *ed_canonical_path(const char *path) {
    if (path == nullptr || *path == '\0')
        return nullptr;
    ed_heap_text ancestor; // the text being tried, once the first try failed
    const char *current = path;
    for (;;) {
        char *canonical = nullptr;
        switch (ed_final_path(current, &canonical)) {
        case ED_FINAL_RESOLVED:
            return canonical;
        case ED_FINAL_UNNAMEABLE:
            // The object may well exist: an ancestor in its place would
            // judge, or register, a wider tree than was named.
            return nullptr;
        case ED_FINAL_MISSING:
            break;
        }

        // Judge the nearest ancestor by text: drop the last component.
        ed_heap_text copy(static_cast<char *>(std::malloc(std::strlen(current) + 1)));
        if (!copy)
            throw std::bad_alloc();
        std::strcpy(copy.get(), current);
        if (ed_backslash_separates) {
            for (char *c = copy.get(); *c != '\0'; ++c)
                if (*c == '\\')
                    *c = '/';
        }
        char *last = std::strrchr(copy.get(), '/');
        if (last == nullptr || last == copy.get() || !cut_leaves_a_place(copy.get(), last))
            return nullptr;
        *last = '\0';
        // An object missing right below a drive root belongs to that root,
        // not to the drive's current directory that "C:" alone would name.
        if (is_drive_prefix(copy.get(), static_cast<size_t>(last - copy.get()))) {
            last[0] = '/';
            last[1] = '\0';
            if (std::strcmp(copy.get(), current) == 0)
                return nullptr; // the drive root itself did not resolve
        }
        ancestor = std::move(copy);
        current = ancestor.get();
    }
}
