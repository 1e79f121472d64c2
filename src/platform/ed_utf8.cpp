#include "platform/ed_utf8.h"

#include <cstdint>
#include <cstring>

bool ed_utf8_valid(const char *text, size_t length) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + length;
    // Names and paths are mostly ASCII: pass eight such bytes at a time.
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & 0x8080808080808080ull)
            break;
        p += 8;
    }
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        size_t tail;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            tail = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            tail = 2;
            if (lead == 0xE0)
                low = 0xA0; // no overlong forms
            else if (lead == 0xED)
                high = 0x9F; // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            tail = 3;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F; // nothing above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= tail)
            return false;
        if (p[1] < low || p[1] > high)
            return false;
        for (size_t i = 2; i <= tail; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF)
                return false;
        p += tail + 1;
    }
    return true;
}
