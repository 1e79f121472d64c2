// The names a scan leaves alone on request: glob patterns matched against an
// entry's name (never a path), byte for byte.
//
//   *      any run of bytes, none included
//   ?      any one byte (a character of several UTF-8 bytes takes as many)
//   [...]  one byte of the set: single bytes and ranges "a-z" by byte value;
//          '!' or '^' first negates it, ']' first and '-' first or last are
//          members of their own
//
// Every other byte stands for itself; there is no escape character (a set
// holds a special byte as itself: "[*]", "[?]", "[[]"), no character class
// and no case folding. A pattern that is not well formed (a set without its
// closing ']', a range whose end comes before its start) matches only its
// own text.
//
// Matching runs without recursion and remembers one backtracking point, so
// it takes at most (name length + 1) x (pattern length) steps, whatever the
// pattern.
//
// A filter is built once, then only read: a walk reads it from every thread
// it runs on, and delete calls read the latest scan's filter while a new
// scan may replace it.
#ifndef ED_SCAN_NAME_FILTER_H
#define ED_SCAN_NAME_FILTER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ed_name_filter {
  public:
    // Adds one pattern. Throws std::bad_alloc when memory is short.
    void add(std::string_view pattern);

    // True when any pattern matches the whole of `name`.
    bool matches(std::string_view name) const noexcept;

    bool empty() const noexcept { return patterns_.empty(); }
    size_t size() const noexcept { return patterns_.size(); }

  private:
    enum class step_kind : uint8_t { exact, any_one, any_run, one_of };
    struct step {
        step_kind kind;
        uint8_t value;    // step_kind::exact
        uint32_t set = 0; // step_kind::one_of: index into sets_
    };
    using byte_set = std::array<uint64_t, 4>;
    struct pattern {
        // A pattern without wildcards, or one that is not well formed, is
        // compared as text.
        bool literal = true;
        std::string text;
        std::vector<step> steps;
    };

    bool match_steps(const pattern &p, std::string_view name) const noexcept;

    std::vector<pattern> patterns_;
    std::vector<byte_set> sets_;
};

// True when `filter` is given and matches `name`; a null filter excludes
// nothing.
inline bool ed_name_excluded(const ed_name_filter *filter, const char *name) {
    return filter != nullptr && filter->matches(name);
}

#endif
