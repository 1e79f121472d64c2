// What edclean writes: names from the disk made safe for a human reader,
// and standard output written with every failure noticed.
#ifndef EDCLEAN_TOOL_OUTPUT_H
#define EDCLEAN_TOOL_OUTPUT_H

#include <string>
#include <string_view>

namespace edclean_tool {

// `text` as a reader can trust it on a terminal or in a file: unchanged when
// it holds only printable, well-formed UTF-8 and no single quote;
// otherwise quoted the way a POSIX shell reads it back, with every control
// character, invisible direction or line mark and byte that is not UTF-8
// spelt out ('x'$'\033''[1A'), so that a name can neither move the cursor,
// break a line nor pass for another name. Machine formats (-0, JSON) keep
// the exact bytes and never go through this.
std::string shown(std::string_view text);

// True when `text` is well-formed UTF-8.
bool valid_utf8(std::string_view text);

// Writes to standard output. A write that fails is remembered with its
// reason, and nothing more is written after it.
void out(std::string_view text);

// Pushes standard output to where it goes. False when it or any earlier
// write failed; `reason` then says why ("No space left on device"), and
// `closed` whether the reader went away (a closed pipe), which ends the
// program quietly as other tools do.
bool flush_out(std::string &reason, bool &closed);

// A message on standard error; every name in it has gone through shown().
void say(const std::string &text);

// "1 entry", "2 entries": the noun agrees with its count.
std::string counted(long long count, const char *one, const char *many);

} // namespace edclean_tool

#endif
