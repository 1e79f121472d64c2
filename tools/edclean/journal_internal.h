// The journal's line format, and what the journal needs from the platform,
// one file per platform behind it (journal_posix.cpp, journal_win.cpp):
// reading an entry's metadata before removal, the journal file itself, the
// platform's members of a line, and recreating entries.
#ifndef EDCLEAN_TOOL_JOURNAL_INTERNAL_H
#define EDCLEAN_TOOL_JOURNAL_INTERNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "journal.h"

namespace edclean_tool {

using json_writer = rapidjson::Writer<rapidjson::StringBuffer>;

// One journal line, its newline included.
std::string journal_line(const journal_entry &entry);

// Reads one line (without its newline); false with `error` when it is not a
// journal line this platform can restore, or names a path with a ".."
// component.
bool read_journal_line(const std::string &text, journal_entry &entry, std::string &error);

// Helpers for the platform's members of a line.
void write_time(json_writer &writer, const char *key, const journal_time &time);
bool read_time(const rapidjson::Value &line, const char *key, journal_time &time,
               std::string &error);
bool read_uint32(const rapidjson::Value &line, const char *key, uint32_t &value,
                 std::string &error);

// The names of `path` between its separators, in order; empty names
// (doubled separators) left out. The views point into `path`.
std::vector<std::string_view> path_names(const std::string &path);

// --- per platform ---

bool is_path_separator(char c);

// A path that names its entry without a current directory or drive.
bool is_absolute_path(const std::string &path);

// Fills the times and the platform's members of `entry` from the entry at
// entry.path itself (a link is not followed); false with `error`.
bool read_entry_metadata(journal_entry &entry, std::string &error);

// The platform's members of a line, after "path" and "kind".
void write_platform_members(json_writer &writer, const journal_entry &entry);
bool read_platform_members(const rapidjson::Value &line, journal_entry &entry, std::string &error);

// A journal file opened for appending lines.
class journal_file {
  public:
    virtual ~journal_file() = default;
    // Hands `line` to the system in one write, so that a process that ends
    // right after it still leaves the whole line behind.
    virtual bool append(const std::string &line, std::string &error) = 0;
    // Forces what was written to the disk.
    virtual bool sync(std::string &error) = 0;
};

// Creates a new journal file; an existing file is never replaced or
// appended to (it may be anything, and another journal is another undo).
std::unique_ptr<journal_file> create_journal_file(const std::string &path, std::string &error);

// The whole content of the file at `path`; false with `error`.
bool read_whole_file(const std::string &path, std::string &text, std::string &error);

// How recreating an entry went.
enum class restore_status {
    recreated,      // with its metadata; a detail is a note (owner not permitted)
    exists,         // something is at the path already and was left as it is
    parent_missing, // the directory that would hold it does not exist
    blocked,        // the detail names an ancestor that is a link or not a directory
    failed,         // not created; the detail says why
    incomplete,     // created, but the detail names metadata that could not be set
};

// Which object a recreated directory is, so that its metadata goes to the
// directory restore made and to nothing put in its place since.
struct created_identity {
    uint64_t volume = 0;
    uint64_t object = 0;
};

// Creates the directory of `entry`, with permissions that let restore
// create its children; its metadata is set later by set_dir_metadata.
restore_status create_dir(const journal_entry &entry, created_identity &id, std::string &detail);

// Creates the empty file of `entry` with its metadata.
restore_status create_file(const journal_entry &entry, std::string &detail);

// Sets the metadata of a directory create_dir made, once its children
// exist (creating them changed its modification time).
restore_status set_dir_metadata(const journal_entry &entry, const created_identity &id,
                                std::string &detail);

} // namespace edclean_tool

#endif
