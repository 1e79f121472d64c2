// How much of a terminal a text takes: columns as a person sees them, not
// bytes, and rows once long lines wrap.
#ifndef EDCLEAN_TOOL_SCREEN_H
#define EDCLEAN_TOOL_SCREEN_H

#include <cstddef>
#include <string>

namespace edclean_tool {

// The columns the UTF-8 `text` takes on a terminal: two for a wide (East
// Asian, emoji) character, none for a combining mark, one for the rest.
size_t display_width(const std::string &text);

// The longest start of `text` that takes at most `columns` columns, never
// cutting a character.
std::string cut_to_width(const std::string &text, size_t columns);

// The rows `text` takes on a terminal `columns` wide: each of its lines at
// least one, and one more for each time it wraps. Without a width (0), one
// a line.
size_t screen_rows(const std::string &text, size_t columns);

} // namespace edclean_tool

#endif
