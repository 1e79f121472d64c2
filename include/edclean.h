/*
 * tavirlen-empty-dir-cleaner: find and remove empty directories and zero-byte
 * files beneath directory trees that the host names.
 *
 * The whole interface is five functions that take and return NUL-terminated
 * UTF-8 texts holding JSON. A use has two phases:
 *
 *   1. edclean_scan() validates the roots, remembers them for the life of the
 *      process, and returns the empty directories and zero-byte files found.
 *      Nothing is removed.
 *   2. edclean_delete_dirs() / edclean_delete_files() remove a subset the host
 *      chose, re-checking every path against the remembered roots and the
 *      current state of the file system first.
 *
 * Error messages
 *   Every thread has its own message. The three working calls (scan and the
 *   two deletes) empty the calling thread's message before anything else; a
 *   failure result (NULL or -1) always comes with a message. A delete call that
 *   returns a count may leave the message of its last refusal behind.
 *
 * Threading
 *   Every call runs wholly on the calling thread. Delete calls may run on
 *   several threads at once. A host should not run edclean_scan at the same
 *   time as any other working call; the library guards its process-wide state
 *   so that doing so anyway gives consistent answers rather than a crash.
 *   edclean_last_error() and edclean_free_string() may be called at any time
 *   from any thread.
 */
#ifndef TAVIRLEN_EDCLEAN_H
#define TAVIRLEN_EDCLEAN_H

#include <stdint.h>

/*
 * EDCLEAN_API marks the five exports.
 *   EDCLEAN_BUILDING  defined while the library itself is compiled;
 *   EDCLEAN_STATIC    defined by code that links the library's objects
 *                     statically instead of loading the shared library.
 * Neither: the declarations import from the shared library.
 */
#if defined(EDCLEAN_BUILDING) && defined(EDCLEAN_STATIC)
#error "define at most one of EDCLEAN_BUILDING and EDCLEAN_STATIC"
#endif

#if defined(_WIN32)
#if defined(EDCLEAN_BUILDING) || defined(EDCLEAN_STATIC)
#define EDCLEAN_API /* the module definition file decides the exports */
#else
#define EDCLEAN_API __declspec(dllimport)
#endif
#else
#if defined(EDCLEAN_BUILDING)
#define EDCLEAN_API __attribute__((visibility("default")))
#else
#define EDCLEAN_API
#endif
#endif

#ifdef __cplusplus
#define EDCLEAN_NOEXCEPT noexcept
extern "C" {
#else
#define EDCLEAN_NOEXCEPT
#endif

/*
 * Removes the listed directories that are still safe to remove.
 *
 * dirs_json  JSON array of directory paths, usually taken from a scan's
 *            "empty_dirs". Borrowed: read during the call, never kept or
 *            written. NULL gives -1 and "NULL dirs_json".
 *
 * Deeper paths are tried before the directories that hold them. A path is
 * removed only when it lies inside a root of an earlier scan in this process,
 * is a real directory (not a link or junction), is not a protected location
 * or the user's home, and is still empty under the include_hidden setting and
 * the "exclude" patterns of the latest scan (its age guard plays no part).
 *
 * Returns the number of directories removed, or -1 when the text is not a
 * non-empty JSON array of strings. The message afterwards is that of the last
 * refused path, or empty when none was refused.
 */
EDCLEAN_API int32_t edclean_delete_dirs(const char *dirs_json) EDCLEAN_NOEXCEPT;

/*
 * Removes the listed files that are still zero-byte regular files.
 *
 * files_json JSON array of file paths, usually taken from a scan's
 *            "zero_files". Borrowed. NULL gives -1 and "NULL files_json".
 *
 * Paths are judged in the order given. A file is removed only when it lies
 * inside a root of an earlier scan in this process, is a regular file and not
 * a link, and has zero bytes at the moment of removal.
 *
 * Returns the number of files removed, or -1 when the text is not a non-empty
 * JSON array of strings. The message afterwards is that of the last refused
 * path, or empty when none was refused.
 */
EDCLEAN_API int32_t edclean_delete_files(const char *files_json) EDCLEAN_NOEXCEPT;

/*
 * Releases a text returned by edclean_scan(). NULL does nothing. Pass each
 * result exactly once, and nothing else (in particular not the text of
 * edclean_last_error()). Does not touch the thread's message.
 */
EDCLEAN_API void edclean_free_string(char *text) EDCLEAN_NOEXCEPT;

/*
 * The calling thread's last message; never NULL. An empty text means no
 * message. Owned by the library: never free it. The pointer stays valid until
 * the thread ends, but the text behind it is emptied and may be replaced by the
 * thread's next working call; copy it to keep it. Does not change the message.
 */
EDCLEAN_API const char *edclean_last_error(void) EDCLEAN_NOEXCEPT;

/*
 * Scans directory trees for empty directories and zero-byte files.
 *
 * dirs_json    JSON array of root directory paths. Borrowed. NULL gives NULL
 *              and "NULL dirs_json".
 * options_json JSON object, or NULL, or "" for the defaults. Borrowed.
 *              "include_hidden"    (default false): walk and list names that
 *                                  begin with '.'.
 *              "include_zero_byte" (default true):  list zero-byte files.
 *              "exclude"           (default none): array of glob patterns
 *                                  (*, ?, [...]) matched against each
 *                                  entry's name byte for byte; a match is
 *                                  left alone as a hidden name is.
 *              "min_age_seconds"   (default 0, none): an empty directory or
 *                                  zero-byte file modified less than this
 *                                  many seconds before the scan started
 *                                  counts as content.
 *              "threads"           (default 1): threads the walk may use;
 *                                  0 picks a number per processor core.
 *                                  The result is the same whatever it is.
 *              "report_left_out"   (default false): the result gains a
 *                                  member "left_out" that counts what the
 *                                  walk passed by without listing it.
 *              "progress_fd"       (default none): a descriptor (on
 *                                  Windows a HANDLE's value) to which the
 *                                  scan writes lines of counts as it goes,
 *                                  never waiting on their reader.
 *              A value of another type keeps the default; a negative
 *              "min_age_seconds" fails the call.
 *
 * Every root must be an existing directory that is not a link, not a
 * protected location and not the user's home; the first root that fails ends
 * the call before anything is remembered or walked. The accepted roots are
 * remembered for the life of the process: the delete calls accept only paths
 * inside them.
 *
 * Returns a new text owned by the caller, to be released with
 * edclean_free_string(), of the form
 *   {"empty_dirs":[...],"zero_files":[...],"scanned_dirs":N}
 * with canonical '/'-separated paths, deeper directories first; or NULL with a
 * message. On success the thread's message is empty.
 */
EDCLEAN_API char *edclean_scan(const char *dirs_json, const char *options_json) EDCLEAN_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAVIRLEN_EDCLEAN_H */
