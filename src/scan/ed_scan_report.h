// What a scan can tell its host beyond the two lists, when the host asks:
// an account of what it passed by without listing, and counts written while
// it walks.
#ifndef ED_SCAN_REPORT_H
#define ED_SCAN_REPORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Entries a walk passed by without listing them, by why. Every directory a
// walk visits adds what it passed by, once per root that reaches it, as
// "scanned_dirs" counts it.
struct ed_left_out_counts {
    int64_t hidden = 0;          // hidden names, while hidden entries are left out
    int64_t excluded = 0;        // names an exclude pattern matched (and not hidden)
    int64_t young = 0;           // empty folders and zero-byte files the age guard kept
    int64_t invalid_names = 0;   // names the listing cannot give as UTF-8
    int64_t unreadable_dirs = 0; // folders that could not be opened or listed to their end

    void add(const ed_left_out_counts &other) {
        hidden += other.hidden;
        excluded += other.excluded;
        young += other.young;
        invalid_names += other.invalid_names;
        unreadable_dirs += other.unreadable_dirs;
    }
};

// How many paths of unreadable folders a result names: enough for a person
// to see where, few enough that a tree of thousands stays one short report.
inline constexpr size_t ED_LEFT_OUT_PATHS = 5;

// The counts and the first ED_LEFT_OUT_PATHS paths of unreadable folders,
// in walk order, each path once.
struct ed_left_out {
    ed_left_out_counts counts;
    std::vector<std::string> unreadable_paths;

    // Keeps `path` if fewer than ED_LEFT_OUT_PATHS are kept and it is not
    // one of them. Throws std::bad_alloc when memory is short.
    void keep_unreadable_path(const std::string &path);
};

// Counts of a scan in progress, written as one short line of JSON
// ({"seen":N,"listed":M} and a line break) to a descriptor (a handle on
// Windows) the host named: at most every ED_PROGRESS_INTERVAL_MS while the
// walk goes on, and once when it ends. Shared by every thread of a walk. A
// line the reader is not ready for is dropped, never waited for; a write
// that fails ends the lines, never the scan.
inline constexpr int64_t ED_PROGRESS_INTERVAL_MS = 250;

class ed_scan_progress {
  public:
    explicit ed_scan_progress(int64_t target);

    // One entry of a directory read (not "." or "..").
    void saw_entry() {
        if ((seen_.fetch_add(1, std::memory_order_relaxed) & kCheckMask) == kCheckMask)
            tick();
    }
    // Paths found to list: empty folders and zero-byte files.
    void listed(uint64_t count = 1) { listed_.fetch_add(count, std::memory_order_relaxed); }
    // A directory opened: slow file systems spend their time here, so the
    // clock is looked at too.
    void opened_dir() { tick(); }
    // The line of the final counts, with the number of paths the result
    // lists (the walk's own count may take a path twice where roots overlap).
    void finish(uint64_t listed_in_result);

  private:
    // Entries between two looks at the clock.
    static constexpr uint64_t kCheckMask = 63;

    void tick();
    void write_line();

    int64_t target_;
    std::atomic<uint64_t> seen_{0};
    std::atomic<uint64_t> listed_{0};
    std::atomic<int64_t> next_line_ms_;
    std::atomic<bool> writing_{false};
    std::atomic<bool> dead_{false};
};

#endif
