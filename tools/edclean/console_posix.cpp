#include <unistd.h>

#include "console.h"

namespace edclean_tool {

std::vector<std::string> utf8_arguments(int argc, char **argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void prepare_console() {}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

} // namespace edclean_tool
