// JSON at the library's boundary: reading the hosts' arrays and options, and
// writing the scan result.
//
// Reading is strict RFC 8259: no comments, trailing commas, NaN or byte-order
// mark; only white space after the value; every string (keys included) valid
// UTF-8 without surrogates; integers beyond 64 bits read as reals. Parsing is
// iterative, so nesting depth costs heap, never stack.
#ifndef EDCLEAN_JSON_H
#define EDCLEAN_JSON_H

#include <cstdint>

#include "core/ed_strlist.h"
#include "scan/ed_walk.h"

// Fills `out` (initialised first) with copies of the strings of the JSON
// array `json`, in order; a string holding an escaped NUL is cut at it.
// 0 on success (the caller owns the list), or -1 with a message and an empty
// list: "NULL json array", "invalid json array", "expected JSON array",
// "array elements must be strings", "out of memory".
int parse_string_array(const char *json, ed_strlist *out);

// Reads the scan options into `opts`, which holds the defaults on entry.
// Only the first member of each name counts. For "include_hidden" and
// "include_zero_byte" a boolean or an integer (cut to its low 32 bits) sets
// the field to 0 or 1. "exclude" takes an array of strings, each a pattern
// (an empty array: none). "min_age_seconds" takes an integer of 0 or more
// (above the int64_t range: its largest value). "report_left_out" as the
// two flags; "progress_fd" an integer from 0 to INT64_MAX. Any other value
// leaves the field as it was. 0, or -1 with "invalid options_json",
// "options_json must be object" or "out of memory".
int ed_read_scan_options(const char *json, ed_scan_opts *opts);

// The minified result text {"empty_dirs":[...],"zero_files":[...],
// "scanned_dirs":N} as a new malloc block the host releases with
// edclean_free_string(); null when memory is short. With `left_out`, a
// fourth member "left_out" follows: {"hidden":N,"excluded":N,"young":N,
// "invalid_names":N,"unreadable_dirs":N,"unreadable_paths":[...]}.
char *ed_write_scan_result(const ed_strlist *empty_dirs, const ed_strlist *zero_files,
                           int32_t scanned_dirs, const ed_left_out *left_out = nullptr);

#endif
