// The JSON array reader on arbitrary bytes.
#include <cstring>
#include <string>

#include "api/edclean_json.h"
#include "core/ed_error.h"
#include "fuzz_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = edfuzz::split_at_nul(data, size).first;
    ed_strlist list;
    const int rc = parse_string_array(text.c_str(), &list);
    if (rc != 0 && (list.strs != nullptr || list.n != 0 || ed_error_buffer()[0] == '\0'))
        __builtin_trap(); // a failure leaves an empty list and a message
    ed_strlist_free(&list);
    return 0;
}
