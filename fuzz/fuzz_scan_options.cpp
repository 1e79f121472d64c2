// The options reader on arbitrary bytes.
#include <string>

#include "api/edclean_json.h"
#include "core/ed_error.h"
#include "fuzz_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = edfuzz::split_at_nul(data, size).first;
    ed_scan_opts opts{0, 1};
    if (ed_read_scan_options(text.c_str(), &opts) != 0)
        return 0;
    if ((opts.include_hidden != 0 && opts.include_hidden != 1) ||
        (opts.include_zero_byte != 0 && opts.include_zero_byte != 1))
        __builtin_trap(); // fields are always 0 or 1
    if (opts.min_age_seconds < 0 || (opts.exclude != nullptr && opts.exclude->empty()))
        __builtin_trap(); // no negative age; a filter only when patterns were read
    if (opts.exclude != nullptr)
        (void)opts.exclude->matches(text); // any bytes as a name
    return 0;
}
