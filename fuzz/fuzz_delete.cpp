// The two delete calls on arbitrary bytes: the first byte picks the call,
// the rest is its array text. Only a private tree, made and scanned once, is
// registered, so every path outside it is refused; relative paths name
// entries of that tree, which are made again before every input.
#include <string>

#include "edclean.h"
#include "fuzz_helpers.h"

namespace {
bool enter_private_tree() {
    if (!edfuzz::enter_private_folder())
        return false;
    char *text = edclean_scan("[\".\"]", nullptr);
    edclean_free_string(text);
    return text != nullptr;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = enter_private_tree();
    if (!ready || size == 0)
        return 0;
    if (!edfuzz::make_playground())
        return 0;
    const std::string text = edfuzz::split_at_nul(data + 1, size - 1).first;
    const int32_t removed =
        data[0] & 1 ? edclean_delete_dirs(text.c_str()) : edclean_delete_files(text.c_str());
    if (removed < 0 && edclean_last_error()[0] == '\0')
        __builtin_trap(); // a failure always has a message
    return 0;
}
