// The per-thread error channel: one 512-byte message buffer per thread,
// zero-filled at the thread's first use. An empty text means no message.
#ifndef ED_CORE_ERROR_H
#define ED_CORE_ERROR_H

#include <cstddef>

constexpr size_t ED_ERROR_CAPACITY = 512; // terminator included

// Replaces the calling thread's message with the formatted text, cut to at
// most 511 bytes at the end of the last whole UTF-8 character that fits. A
// path enters only as an argument, never as the format.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ed_set_error(const char *format, ...);

// Empties the calling thread's message.
void ed_clear_error();

// The calling thread's buffer.
const char *ed_error_buffer();

#endif
