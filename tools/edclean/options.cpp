#include "options.h"

#include <limits>
#include <string_view>

namespace edclean_tool {

// The seconds in a duration: digits, then optionally one unit (s, m, h, d);
// nothing for any other text or a span too long to count.
bool has_duration_form(const std::string &text) {
    const size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty())
        return false;
    return digits == std::string::npos ||
           (digits + 1 == text.size() &&
            std::string_view("smhd").find(text[digits]) != std::string_view::npos);
}

std::optional<long long> duration_seconds(const std::string &text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || text.size() - digits > 1)
        return std::nullopt;
    long long unit = 1;
    if (digits < text.size()) {
        switch (text[digits]) {
        case 's':
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            return std::nullopt;
        }
    }
    const long long limit = std::numeric_limits<long long>::max() / unit;
    long long count = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = text[i] - '0';
        if (count > (limit - digit) / 10)
            return std::nullopt;
        count = count * 10 + digit;
    }
    return count * unit;
}

} // namespace edclean_tool
