// The undo journal: `clean --journal FILE` writes one JSON line for every
// entry the library reports removed, with what recreating it as it was
// needs; `restore FILE` recreates the entries a journal lists.
#ifndef EDCLEAN_TOOL_JOURNAL_H
#define EDCLEAN_TOOL_JOURNAL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace edclean_tool {

// What became of one entry given to removal: the library's count for it
// (1 when it went) and, when it stayed, why: the library's own message, or
// the journal's reason for not asking the library at all.
struct entry_outcome {
    int32_t count = 0;
    std::string message;
    bool not_reached = false; // the removal stopped before it
};

// What removal did: how many entries went, what became of each (one per
// path of the lists, in their order), whether a call failed as a whole, and
// why the journal stopped when it did.
struct removal_outcome {
    long long removed = 0;
    std::vector<entry_outcome> entries;
    bool call_failed = false;
    bool interrupted = false; // stopped by an interrupt, between two entries
    std::string journal_error;
};

// edclean_delete_dirs or edclean_delete_files.
using delete_call = int32_t (*)(const char *);

// What a journal line is: an entry that was removed, or a directory that
// held removed entries and stayed, whose times restore sets back.
enum class entry_kind { dir, file, parent };

// A point in time as seconds and nanoseconds since 1970-01-01 UTC.
struct journal_time {
    int64_t sec = 0;
    uint32_t nsec = 0;
};

// Which object an entry is: the file system and the object on it.
struct object_identity {
    uint64_t volume = 0;
    uint64_t object = 0;
    bool operator==(const object_identity &) const = default;
};

// One journal line: an entry and what recreating it as it was needs. A
// line carries the members of the platform that wrote it: the permission
// bits, owner and group on Linux, the attributes and creation time on
// Windows; the access and modification times on both. A parent line holds
// only the directory's identity and its times.
struct journal_entry {
    std::string path;
    entry_kind kind = entry_kind::file;
    object_identity id; // written for a parent line only
    journal_time atime;
    journal_time mtime;
    uint32_t mode = 0; // permission bits with set-id and sticky bits
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t attributes = 0;
    journal_time btime; // creation
};

class journal_file;

// A journal being written: a new file, one line appended per removed entry.
class journal_writer {
  public:
    ~journal_writer();
    journal_writer(const journal_writer &) = delete;
    journal_writer &operator=(const journal_writer &) = delete;

    // Creates `path`, which must not exist yet; nullptr with `error` set
    // when it cannot be created.
    static std::unique_ptr<journal_writer> create(const std::string &path, std::string &error);

    // Called once the scan has listed what the clean may remove, before the
    // lists are shown: takes the journal itself (by identity, whatever its
    // name) out of the zero-byte `files`, and writes the journal's first
    // line, which records the canonical paths of `roots` and the user that
    // runs the clean. False with `error` when that line cannot be written;
    // nothing may be removed then.
    bool begin(const std::vector<std::string> &roots, std::vector<std::string> &files,
               std::string &error);

    // One list to remove: its paths, their kind, and the delete call.
    struct removal_list {
        const std::vector<std::string> &paths;
        entry_kind kind;
        delete_call call;
    };

    // Removes the lists in their order, one entry per call, so that every
    // entry the library reports removed is known and its line is in the
    // journal before the next one goes; then forces the journal to the
    // disk. The metadata of every entry is read before the first removal:
    // removing an entry changes the times of the directory that held it,
    // which may be listed too. An entry whose metadata cannot be read is
    // not removed: it could not be restored. When a line cannot be written,
    // outcome.journal_error says which removed entry the journal lacks, and
    // nothing more is removed. outcome.entries says of every entry whether
    // it went and, if not, why, as the calls and the journal's own checks
    // found it at the time: never by looking at the path afterwards, which
    // another process may have changed by then.
    //
    // Each line is handed to the system as its entry goes, so a clean that
    // is killed leaves every line behind; forcing each one to the disk as
    // well would cost a disk round trip per entry, many times the removal
    // itself, so on the way that happens at most once a second.
    // `removed_so_far`, when given, counts each entry as it goes, for a
    // progress line read on another thread.
    void remove(std::initializer_list<removal_list> lists, removal_outcome &outcome,
                std::atomic<long long> *removed_so_far = nullptr);

  private:
    journal_writer(std::string path, std::unique_ptr<journal_file> file);
    bool sync(removal_outcome &outcome, const char *consequence);
    bool append(const journal_entry &entry, removal_outcome &outcome);

    std::string path_;
    std::unique_ptr<journal_file> file_;
    std::vector<std::string> roots_; // canonical, as the first line records them
    object_identity self_;           // the journal file
    std::chrono::steady_clock::time_point last_sync_;
};

// What `edclean restore FILE` did: false `readable` when the journal could
// not be read or cannot be trusted (the message is on standard error and
// nothing was created), else how many of its entries were recreated and how
// many lines were refused or not carried out (each one is reported on
// standard error).
struct restore_counts {
    bool readable = false;
    long long restored = 0;
    long long total = 0;
    long long skipped_lines = 0;
    bool complete() const { return restored == total && skipped_lines == 0; }
};

// Recreates the entries the journal at `path` lists, parents before
// children, only beneath the roots its first line records, never replacing
// anything; the only existing objects it changes are the directories that
// held removed entries, whose times it sets back when they are still the
// very directories the clean saw.
restore_counts restore_journal(const std::string &path);

} // namespace edclean_tool

#endif
