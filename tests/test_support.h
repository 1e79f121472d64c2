// Small helpers shared by the test programs: a temporary directory tree that
// cleans up after itself, links, environment overrides, and knowing whether
// the Windows build runs under Wine.
#ifndef EDCLEAN_TEST_SUPPORT_H
#define EDCLEAN_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace edtest {

namespace fs = std::filesystem;

// True when this Windows program runs under Wine.
bool running_under_wine();

// A fresh directory under the system's temporary folder, removed with all it
// holds when the object goes. Paths handed out use '/' separators.
class temp_tree {
  public:
    temp_tree();
    ~temp_tree();
    temp_tree(const temp_tree &) = delete;
    temp_tree &operator=(const temp_tree &) = delete;

    // The root as the test passes it to the library.
    const std::string &root() const { return root_; }
    // The root's canonical path, as the library reports paths below it.
    const std::string &canonical() const { return canonical_; }
    // root() + "/" + relative.
    std::string path(const std::string &relative) const;
    // canonical() + "/" + relative.
    std::string canonical_path(const std::string &relative) const;

    std::string mkdir(const std::string &relative) const; // with parents
    std::string file(const std::string &relative, std::uintmax_t size = 0) const;
    std::string write(const std::string &relative, const std::string &bytes) const;
    // A symbolic link at `relative` to `target`; false when the platform did
    // not create one (unprivileged Windows, or Wine, which reports success
    // but creates nothing).
    bool symlink(const std::string &target, const std::string &relative, bool to_directory) const;
    bool exists(const std::string &relative) const;

  private:
    std::string root_;
    std::string canonical_;
};

// Makes the directory `name` inside the directory `dir`, relative to it, so
// that the joined path may be longer than the system accepts for a path.
bool make_directory_in(const std::string &dir, const std::string &name);

// The canonical form the library gives a path: final path, '/' separators.
std::string canonical_of(const std::string &path);

// Sets the modification time of the object at `path` itself (a link as
// itself) to `seconds` before now (after it for a negative count), on the
// system's own call (utimensat, SetFileTime); false when it refused.
bool set_modified_ago(const std::string &path, long long seconds);

// Sets (or with nullopt unsets) an environment variable for a scope.
class scoped_env {
  public:
    scoped_env(const char *name, const std::optional<std::string> &value);
    ~scoped_env();
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

#if defined(__linux__)
// A file system made by `mkfs` (a shell command that takes the image's path
// as its last word) in an image file of `megabytes` inside `tree`, and
// loop-mounted at `tree`'s `relative`; detached when the object goes.
// skip() says why there is none (no tool, no loop device, no right to mount).
class loop_volume {
  public:
    loop_volume(const temp_tree &tree, const std::string &relative, const std::string &mkfs,
                int megabytes);
    ~loop_volume();
    loop_volume(const loop_volume &) = delete;
    loop_volume &operator=(const loop_volume &) = delete;
    const std::string &skip() const { return skip_; }
    const std::string &top() const { return top_; }

  private:
    std::string top_;
    std::string skip_;
};

// Takes from the calling thread, for a scope, what lets root open or search
// any directory whatever its mode (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH),
// so that a mode-000 directory is closed to it as to anyone else. A process
// without them keeps none to drop.
class without_permission_override {
  public:
    without_permission_override();
    ~without_permission_override();
    without_permission_override(const without_permission_override &) = delete;
    without_permission_override &operator=(const without_permission_override &) = delete;

  private:
    bool dropped_ = false;
};
#endif

// prefix + the decimal number, built by appending (GCC 12 at -O3 warns
// falsely about "literal" + std::string).
std::string numbered(const char *prefix, long long n);

// A JSON array of the given path strings, escaped for JSON.
std::string json_array(std::initializer_list<std::string> paths);
std::string json_array(const std::vector<std::string> &paths);

} // namespace edtest

#endif
