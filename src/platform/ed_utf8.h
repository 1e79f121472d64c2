// Strict UTF-8 validation, shared by the JSON reader and the POSIX directory
// stream: the library's texts are UTF-8 everywhere.
#ifndef ED_PLATFORM_UTF8_H
#define ED_PLATFORM_UTF8_H

#include <cstddef>

// True when the `length` bytes at `text` are well-formed UTF-8 (RFC 3629:
// shortest form, no surrogate code points, nothing above U+10FFFF).
bool ed_utf8_valid(const char *text, size_t length) noexcept;

#endif
