// What the command-line host needs from the terminal and the file system,
// per platform.
#ifndef EDCLEAN_TOOL_CONSOLE_H
#define EDCLEAN_TOOL_CONSOLE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace edclean_tool {

// The system's own words for an error number (errno; GetLastError() on
// Windows), without a closing period or line break.
std::string system_message(unsigned long code);

// The program's arguments as UTF-8, whatever the platform's own encoding.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Sets the console up for UTF-8 output and binary-safe standard output.
void prepare_console();

// A reader of standard output that goes away makes later writes fail
// (and be noticed) instead of ending the program.
void keep_running_when_output_closes();

// From here an interrupt (Ctrl-C; on POSIX also a hang-up or a termination
// request) no longer ends the program at once: it asks the removal to stop
// after the entry in hand, so that what went is told and journaled whole.
void stop_at_interrupt();
bool interrupt_requested();

bool stdin_is_terminal();
bool stdout_is_terminal();
bool stderr_is_terminal();

// The rows of the terminal standard output shows, or 0 when unknown.
int terminal_rows();

// The columns of the terminal standard output (or standard error) shows, or
// 0 when unknown.
int terminal_columns(bool of_stderr = false);

// The real form of an existing directory's path, in the library's spelling:
// absolute, every link and "." or ".." resolved, '/' between names. Nothing
// when it cannot be made; `error` then says why.
std::optional<std::string> real_path(const std::string &path, std::string &error);

// When `path` itself is a symbolic link (or, on Windows, any reparse point),
// where it leads as written in it (or resolved, where that is all there is);
// else nothing.
std::optional<std::string> link_target(const std::string &path);

// Whether the entries of the directory `path` can be listed; `error` says
// why not.
bool directory_readable(const std::string &path, std::string &error);

// Which object a path leads to, links followed: its file system and its
// number there. Two paths to one folder (another spelling, a bind mount)
// have the same identity.
struct folder_identity {
    uint64_t volume = 0;
    uint64_t object = 0;
    bool operator==(const folder_identity &) const = default;
};

// The identity of what `path` leads to; nothing when it cannot be read.
std::optional<folder_identity> identity_of(const std::string &path);

// The trees whose files software needs, in their real form: a clean never
// starts inside one or above one without --allow-system.
std::vector<std::string> system_trees();

// The home folders a clean must leave standing, in their real form: the
// user's ($HOME), and under sudo the invoking user's.
std::vector<std::string> protected_homes();

// Whether two real paths name the same place, as the platform compares
// names.
bool same_path(const std::string &a, const std::string &b);

} // namespace edclean_tool

#endif
