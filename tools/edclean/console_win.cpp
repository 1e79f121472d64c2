#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

#include "console.h"

namespace edclean_tool {

std::vector<std::string> utf8_arguments(int, char **) {
    // The narrow argv is in the ANSI code page; the wide command line has
    // every character.
    int count = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    std::vector<std::string> arguments;
    for (int i = 0; wide && i < count; ++i) {
        const int bytes =
            WideCharToMultiByte(CP_UTF8, 0, wide.get()[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide.get()[i], -1, text.data(), bytes, nullptr,
                                nullptr);
        text.resize(text.size() - 1);
        arguments.push_back(std::move(text));
    }
    return arguments;
}

void prepare_console() {
    SetConsoleOutputCP(CP_UTF8);
    // "-0" output carries NUL bytes and paths: no newline translation.
    _setmode(_fileno(stdout), _O_BINARY);
}

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

} // namespace edclean_tool
