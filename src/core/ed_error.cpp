#include "core/ed_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
thread_local char g_err[ED_ERROR_CAPACITY];

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes the character starting with `lead` takes, by its first byte.
size_t character_length(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;
}

// A message cut at the buffer's end may have split its last character;
// every host decodes the message as UTF-8, so the cut moves back to the last
// whole character.
void drop_split_character(char *text, size_t length) {
    size_t start = length;
    while (start > 0 && is_continuation(static_cast<unsigned char>(text[start - 1])))
        --start;
    if (start == 0)
        return; // no lead byte at all: nothing of ours to repair
    const size_t lead = start - 1;
    if (lead + character_length(static_cast<unsigned char>(text[lead])) > length)
        text[lead] = '\0';
}
} // namespace

void ed_set_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int full = std::vsnprintf(g_err, sizeof g_err, format, args);
    va_end(args);
    if (full < 0)
        g_err[0] = '\0';
    else if (static_cast<size_t>(full) >= sizeof g_err)
        drop_split_character(g_err, sizeof g_err - 1);
}

void ed_clear_error() { g_err[0] = '\0'; }

const char *ed_error_buffer() { return g_err; }
