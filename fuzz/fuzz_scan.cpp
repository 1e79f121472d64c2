// edclean_scan on arbitrary bytes: the roots text up to the first NUL, the
// options after it. The process works in a private directory of its own, and
// only inputs whose roots hold no '/' are scanned, so that a root can name
// only what the target made (a found "/tmp" or "/sys" would walk the host's
// trees for minutes); scans only read.
#include <cstring>
#include <string>

#include "api/edclean_json.h"

#include "edclean.h"
#include "fuzz_helpers.h"

namespace {
bool enter_private_tree() { return edfuzz::enter_private_folder() && edfuzz::make_playground(); }

// True when the text, read as the scan will read it, names a root outside
// the private folder. Texts that are not arrays of strings go to the scan,
// which refuses them before looking at any path.
bool names_outside(const std::string &dirs) {
    ed_strlist roots;
    if (parse_string_array(dirs.c_str(), &roots) != 0)
        return false;
    bool outside = false;
    for (int32_t i = 0; i < roots.n; ++i)
        outside = outside || std::strchr(roots.strs[i], '/') != nullptr;
    ed_strlist_free(&roots);
    return outside;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = enter_private_tree();
    if (!ready)
        return 0;
    const auto [dirs, options] = edfuzz::split_at_nul(data, size);
    if (names_outside(dirs))
        return 0;
    const bool has_options = size > dirs.size();
    char *text = edclean_scan(dirs.c_str(), has_options ? options.c_str() : nullptr);
    if (text == nullptr && edclean_last_error()[0] == '\0')
        __builtin_trap(); // a failure always has a message
    edclean_free_string(text);
    return 0;
}
