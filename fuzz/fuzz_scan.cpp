// edclean_scan on arbitrary bytes: the roots text up to the first NUL, the
// options after it. The process works in a private directory of its own, so
// relative roots name only what it made; scans only read.
#include <string>

#include "edclean.h"
#include "fuzz_helpers.h"

namespace {
bool enter_private_tree() { return edfuzz::enter_private_folder() && edfuzz::make_playground(); }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = enter_private_tree();
    if (!ready)
        return 0;
    const auto [dirs, options] = edfuzz::split_at_nul(data, size);
    const bool has_options = size > dirs.size();
    char *text = edclean_scan(dirs.c_str(), has_options ? options.c_str() : nullptr);
    if (text == nullptr && edclean_last_error()[0] == '\0')
        __builtin_trap(); // a failure always has a message
    edclean_free_string(text);
    return 0;
}
