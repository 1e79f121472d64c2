// What the command-line host needs from the terminal, per platform.
#ifndef EDCLEAN_TOOL_CONSOLE_H
#define EDCLEAN_TOOL_CONSOLE_H

#include <string>
#include <vector>

namespace edclean_tool {

// The program's arguments as UTF-8, whatever the platform's own encoding.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Sets the console up for UTF-8 output and binary-safe standard output.
void prepare_console();

bool stdin_is_terminal();
bool stderr_is_terminal();

} // namespace edclean_tool

#endif
