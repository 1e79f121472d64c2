#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace edclean_tool {

namespace {

// The length of the well-formed UTF-8 sequence at `text[i]` and its code
// point, or 0 when the bytes there are not one (overlong forms, surrogates
// and code points past U+10FFFF included).
size_t utf8_sequence(std::string_view text, size_t i, char32_t &code) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    char32_t min;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Characters that change what a reader sees without being seen: controls,
// and the marks that reorder or break lines.
bool invisible(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x200E || code == 0x200F ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0xFEFF;
}

std::string spelt_out(char32_t code, size_t length) {
    char buffer[16];
    switch (code) {
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    case '\r':
        return "\\r";
    default:
        break;
    }
    if (length <= 1)
        std::snprintf(buffer, sizeof buffer, "\\%03o", static_cast<unsigned>(code));
    else
        std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(code));
    return buffer;
}

bool needs_quoting(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t code;
        const size_t length = utf8_sequence(text, i, code);
        if (length == 0 || invisible(code) || code == '\'')
            return true;
        i += length;
    }
    return false;
}

int g_out_errno = 0;

} // namespace

bool valid_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t code;
        const size_t length = utf8_sequence(text, i, code);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string shown(std::string_view text) {
    if (!needs_quoting(text))
        return std::string(text);
    std::string result;
    bool quoted = false;
    const auto close = [&] {
        if (quoted)
            result += '\'';
        quoted = false;
    };
    for (size_t i = 0; i < text.size();) {
        char32_t code;
        size_t length = utf8_sequence(text, i, code);
        if (length == 0) {
            // A byte that is not UTF-8 is shown as that byte.
            close();
            result += "$'" + spelt_out(static_cast<unsigned char>(text[i]), 1) + "'";
            ++i;
            continue;
        }
        if (invisible(code)) {
            close();
            result += "$'" + spelt_out(code, length) + "'";
        } else if (code == '\'') {
            close();
            result += "\\'";
        } else {
            if (!quoted)
                result += '\'';
            quoted = true;
            result.append(text.substr(i, length));
        }
        i += length;
    }
    close();
    return result;
}

void out(std::string_view text) {
    if (g_out_errno != 0 || text.empty())
        return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        g_out_errno = errno != 0 ? errno : EIO;
}

bool flush_out(std::string &reason, bool &closed) {
    if (g_out_errno == 0) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            g_out_errno = errno != 0 ? errno : EIO;
    }
    if (g_out_errno == 0)
        return true;
    closed = g_out_errno == EPIPE;
    reason = std::strerror(g_out_errno);
    return false;
}

void say(const std::string &text) { std::cerr << "edclean: " << text << "\n"; }

std::string counted(long long count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace edclean_tool
