#include "screen.h"

namespace edclean_tool {

namespace {

// The code point starting at `at` and its length in bytes; a byte that
// starts none counts as one character of its own.
char32_t next_code_point(const std::string &text, size_t at, size_t &length) {
    const auto byte = static_cast<unsigned char>(text[at]);
    size_t count = byte < 0x80           ? 1
                   : (byte >> 5) == 0x6  ? 2
                   : (byte >> 4) == 0xE  ? 3
                   : (byte >> 3) == 0x1E ? 4
                                         : 1;
    if (at + count > text.size())
        count = 1;
    char32_t point = count == 1 ? byte : byte & (0x7F >> count);
    for (size_t i = 1; i < count; ++i) {
        const auto more = static_cast<unsigned char>(text[at + i]);
        if ((more & 0xC0) != 0x80) {
            length = 1;
            return byte;
        }
        point = (point << 6) | (more & 0x3F);
    }
    length = count;
    return point;
}

size_t columns_of(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) ||
        (c >= 0xFE00 && c <= 0xFE0F))
        return 0;
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
        (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
        (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
        (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
        (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

} // namespace

size_t display_width(const std::string &text) {
    size_t width = 0;
    for (size_t at = 0, length = 0; at < text.size(); at += length)
        width += columns_of(next_code_point(text, at, length));
    return width;
}

std::string cut_to_width(const std::string &text, size_t columns) {
    size_t width = 0;
    size_t at = 0;
    for (size_t length = 0; at < text.size(); at += length) {
        const size_t more = columns_of(next_code_point(text, at, length));
        if (width + more > columns)
            break;
        width += more;
    }
    return text.substr(0, at);
}

size_t screen_rows(const std::string &text, size_t columns) {
    size_t rows = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const size_t width = display_width(text.substr(start, end - start));
        rows += columns == 0 || width == 0 ? 1 : (width + columns - 1) / columns;
        start = end + 1;
    }
    return rows;
}

} // namespace edclean_tool
