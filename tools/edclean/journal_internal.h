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

// The journal's first line, written before anything is removed: the
// canonical paths of the roots the clean scanned and the user that ran it.
// A journal an earlier release wrote has no such line.
std::string journal_header_line(const std::vector<std::string> &roots);

enum class header_status { header, not_header, damaged };

// Reads a line that may be the first line; `damaged` with `error` for a
// line that says it is one and is not well formed.
header_status read_journal_header(const std::string &text, std::vector<std::string> &roots,
                                  std::string &error);

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
// (doubled separators) and "." left out. The views point into `path`.
std::vector<std::string_view> path_names(const std::string &path);

// The path of the directory that holds the entry at `path`; empty for a
// path that names no entry below a directory ("/", "C:/").
std::string parent_path(const std::string &path);

// Whether `path` names `root` or an entry beneath it, name by name.
bool is_at_or_beneath(const std::string &path, const std::string &root);

// Test builds only (EDCLEAN_TEST_HOOKS): when EDCLEAN_TEST_PAUSE is
// "POINT:DIR", stops at `point` until the test that set it creates DIR/go,
// after creating DIR/ready; elsewhere nothing. Lets a test change the tree
// at the one moment a guard is for, without a race.
void test_pause(const char *point);

// --- per platform ---

bool is_path_separator(char c);

// A path that names its entry without a current directory or drive.
bool is_absolute_path(const std::string &path);

// Fills the identity, the times and the platform's members of `entry` from
// one object, the entry at entry.path itself (a link is not followed), all
// read at once; false with `error`.
bool read_entry_metadata(journal_entry &entry, std::string &error);

// The canonical path of the directory `root` names (links resolved), in the
// form the library lists paths; false with `error`.
bool canonical_root(const std::string &root, std::string &canonical, std::string &error);

// The "user" member of the first line: who runs the clean.
void write_user(json_writer &writer);

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
    // Which object the journal is, so that a clean never lists or removes it.
    virtual bool identity(object_identity &id) = 0;
};

// Creates a new journal file; an existing file is never replaced or
// appended to (it may be anything, and another journal is another undo).
std::unique_ptr<journal_file> create_journal_file(const std::string &path, std::string &error);

// Why a journal could not be read for a restore.
enum class journal_read_failure {
    none,
    unreadable, // the system's message is in `error`
    untrusted,  // `error` says why it may not be acted on
};

// The whole content of the journal at `path`, read from one opened object.
// A process with the administrator's rights acts only on a journal that is
// a regular file the administrator owns and nobody else may write (a
// journal restore trusts with owners and permissions).
journal_read_failure read_journal_file(const std::string &path, std::string &text,
                                       std::string &error);

// How recreating an entry went.
enum class restore_status {
    recreated,      // with its metadata; a detail is a note (owner not permitted)
    exists,         // something is at the path already and was left as it is
    parent_missing, // the directory that would hold it does not exist
    blocked,        // the detail names an ancestor that is a link or not a directory
    failed,         // not created; the detail says why
    incomplete,     // created, but the detail names metadata that could not be set
};

// Creates the directory of `entry`, private to the process until its
// metadata is set later by set_dir_metadata, and gives the identity of the
// very directory it made (never one put at its name by someone else).
// `parent`, when restore made the directory that holds the entry, is that
// directory's identity: the entry is made only in that very directory.
restore_status create_dir(const journal_entry &entry, const object_identity *parent,
                          object_identity &id, std::string &detail);

// Creates the empty file of `entry` with its metadata; `parent` as above.
restore_status create_file(const journal_entry &entry, const object_identity *parent,
                           std::string &detail);

// Sets the metadata of the directory create_dir made as `id`, once its
// children exist (creating them changed its modification time).
restore_status set_dir_metadata(const journal_entry &entry, const object_identity &id,
                                std::string &detail);

// Sets the times of a parent line back on the directory at its path, when
// that is still the directory of the line's identity.
restore_status set_parent_times(const journal_entry &entry, std::string &detail);

} // namespace edclean_tool

#endif
