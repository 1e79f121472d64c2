#include "edclean_error.h"

#include <cstdarg>
#include <cstdio>

namespace {
thread_local char g_err[ED_ERROR_CAPACITY];
}

void ed_set_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(g_err, sizeof g_err, format, args) < 0)
        g_err[0] = '\0';
    va_end(args);
}

void ed_clear_error() { g_err[0] = '\0'; }

const char *ed_error_buffer() { return g_err; }
