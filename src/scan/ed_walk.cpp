#include "scan/ed_walk.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"
#include "scan/ed_task_pool.h"

namespace {

bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The path of the directory being walked, extended in place by one entry
// name at a time. An entry whose joined path would not fit the walks' limit
// (ED_PATH_LIMIT) is never examined.
class path_builder {
  public:
    // Throws std::bad_alloc when memory is short.
    void init(const char *dir) {
        length_ = std::strlen(dir);
        // Room for the directory itself, or for any path within the limit.
        text_.reset(new char[std::max(length_, ED_PATH_BUFFER - 1) + 1]);
        std::memcpy(text_.get(), dir, length_ + 1);
    }
    const char *c_str() const { return text_.get(); }
    size_t length() const { return length_; }

    // Appends "/name" (no '/' after a path that ends in one); false, and
    // nothing changed, when the joined path would exceed the limit.
    bool push(const char *name) {
        const size_t separator = length_ > 0 && text_[length_ - 1] == '/' ? 0 : 1;
        const size_t name_length = std::strlen(name);
        const size_t joined = length_ + separator + name_length;
        if (joined >= ED_PATH_BUFFER)
            return false;
        if (separator)
            text_[length_] = '/';
        std::memcpy(text_.get() + length_ + separator, name, name_length + 1);
        length_ = joined;
        return true;
    }
    void pop_to(size_t length) {
        length_ = length;
        text_[length_] = '\0';
    }

  private:
    std::unique_ptr<char[]> text_;
    size_t length_ = 0;
};

// The kind of an entry, from the stream where it knows it and from a status
// query otherwise. The size matters only for regular files that may be listed.
bool entry_kind(ed_dir *dir, const char *name, ed_entry_hint hint, bool need_size, ed_stat *st) {
    switch (hint) {
    case ED_HINT_DIR:
        st->st_mode = ED_S_IFDIR;
        return true;
    case ED_HINT_LNK:
        st->st_mode = ED_S_IFLNK;
        return true;
    case ED_HINT_OTHER:
        st->st_mode = 0;
        return true;
    case ED_HINT_REG_DATA:
        st->st_mode = ED_S_IFREG;
        st->st_size = 1; // some data: all that matters of its size
        return true;
    case ED_HINT_REG:
        if (!need_size) {
            st->st_mode = ED_S_IFREG;
            return true;
        }
        break;
    case ED_HINT_UNKNOWN:
        break;
    }
    return ed_fill_stat_at(dir, name, st) == 0;
}

// Whether a directory is empty, when that waits on subtrees that other
// threads walk: it is empty when nothing it holds was content and every
// subtree it waits on turns out empty. Read only once every task has ended.
struct pending_verdict {
    std::vector<const pending_verdict *> waits_on;
    bool content = false;
    mutable int8_t known = -1; // memo: 1 empty, 0 not, -1 not yet evaluated

    bool empty() const {
        if (known < 0) {
            bool all = !content;
            for (const pending_verdict *subtree : waits_on)
                all = all && subtree->empty();
            known = all ? 1 : 0;
        }
        return known == 1;
    }
};

// What a walk learnt of one directory.
struct dir_outcome {
    enum state_t { empty, not_empty, pending } state;
    const pending_verdict *verdict; // set while pending
};

struct walk_task;

// A directory listed only when `when` turns out empty (always when null).
struct listed_dir {
    std::string path;
    const pending_verdict *when;
};

// The lists one task gathers, in walk order, cut where a subtree was handed
// to another thread: that subtree's lists come between one segment and the
// next, exactly where a walk on one thread would have put them.
struct output_segment {
    std::vector<listed_dir> dirs;
    std::vector<std::string> files;
    std::unique_ptr<walk_task> then;
};

// What one walk task gathers. Verdicts are kept here until the end of the
// call, since lists of other tasks may refer to them.
struct task_state {
    std::vector<output_segment> segments = std::vector<output_segment>(1);
    std::vector<std::unique_ptr<pending_verdict>> verdicts;
    uint32_t counted = 0;
};

// Thrown inside a walk once another thread's task has failed, to end this
// one early; the first failure is what the call reports.
struct walk_abandoned {};

// One thread's walk: on its own, straight into the call's result; in a
// parallel walk, into the task it runs, handing subtrees over to idle
// threads of `pool`.
class walker {
  public:
    walker(const ed_scan_opts *opts, ed_scan_result *result) : opts_(opts), result_(result) {}
    walker(const ed_scan_opts *opts, task_state *task, ed_task_pool *pool)
        : opts_(opts), task_(task), pool_(pool) {}

    void count() {
        if (task_ != nullptr)
            ++task_->counted;
        else
            result_->scanned_dirs =
                static_cast<int32_t>(static_cast<uint32_t>(result_->scanned_dirs) + 1u);
    }

    void list_dir(const char *path, const pending_verdict *when = nullptr) {
        if (task_ != nullptr)
            task_->segments.back().dirs.push_back({path, when});
        else
            result_->index.empty_dirs.append_unique(result_->empty_dirs.get(), path);
    }

    // Under the age guard: the entry `name` of `dir` (null: `dir` itself) was
    // modified too recently, or its time cannot be read. Without the guard
    // nothing is asked.
    bool young(ed_dir *dir, const char *name) const {
        if (opts_->min_age_seconds <= 0)
            return false;
        ed_time modified;
        return ed_modified_at(dir, name, &modified) != 0 || modified > opts_->young_after;
    }

    // What the walk of the open directory `dir` found, with the age guard
    // applied to the directory itself: a young one is content even when
    // nothing in it is.
    dir_outcome aged(ed_dir *dir, dir_outcome outcome) const {
        if (outcome.state != dir_outcome::not_empty && young(dir, nullptr))
            return {dir_outcome::not_empty, nullptr};
        return outcome;
    }

    void list_outcome(const char *path, dir_outcome outcome) {
        if (outcome.state == dir_outcome::empty)
            list_dir(path);
        else if (outcome.state == dir_outcome::pending)
            list_dir(path, outcome.verdict);
    }

    // Walks the subdirectory `name` of `parent`, whose path `path` holds.
    // Not empty also when it cannot be opened.
    dir_outcome scan_subdir(ed_dir *parent, const char *name, path_builder &path) {
        if (pool_ != nullptr && pool_->failed())
            throw walk_abandoned{};
        ed_dir_stream dir(ed_opendir_at(parent, name));
        if (!dir) {
            // Counted like every directory that is still one; one that
            // vanished since it was listed, or that another file system is
            // mounted on (the kind of a link, as a mounted folder on
            // Windows), is not.
            ed_stat st;
            if (ed_fill_stat_at(parent, name, &st) == 0 && (st.st_mode & ED_S_IFMT) == ED_S_IFDIR)
                count();
            return {dir_outcome::not_empty, nullptr};
        }
        count();
        if (pool_ == nullptr)
            return aged(dir.get(), scan_entries(dir.get(), nullptr, path));
        // Subtrees handed over may open their directories after this walk
        // has moved on: they share the stream.
        const std::shared_ptr<ed_dir> shared(dir.release(), ed_dir_closer{});
        return aged(shared.get(), scan_entries(shared.get(), &shared, path));
    }

    // Decides whether the open directory at `path` is empty, listing what
    // is listable below it. Once it is known not to be empty the walk still
    // goes on, so that everything further down is listed.
    dir_outcome scan_entries(ed_dir *dir, const std::shared_ptr<ed_dir> *shared,
                             path_builder &path) {
        const size_t length = path.length();
        bool content = false;
        pending_verdict *waiting = nullptr; // subtrees this directory waits on
        ed_entry_hint hint;
        while (const char *name = ed_readdir_hint(dir, &hint)) {
            if (is_dot_or_dotdot(name))
                continue;
            if (ed_is_unnameable_entry(name) ||
                (!opts_->include_hidden && ed_is_hidden_name(name)) ||
                ed_name_excluded(opts_->exclude.get(), name)) {
                content = true;
                continue;
            }
            ed_stat st;
            if (!path.push(name)) {
                content = true;
                continue;
            }
            if (!entry_kind(dir, name, hint, opts_->include_zero_byte != 0, &st)) {
                content = true;
            } else {
                switch (st.st_mode & ED_S_IFMT) {
                case ED_S_IFDIR: {
                    dir_outcome sub;
                    if (shared != nullptr && pool_->wants_work())
                        sub = hand_over(*shared, name, path.c_str());
                    else
                        sub = scan_subdir(dir, name, path);
                    list_outcome(path.c_str(), sub);
                    if (sub.state == dir_outcome::not_empty) {
                        content = true;
                    } else if (sub.state == dir_outcome::pending && !content) {
                        if (waiting == nullptr)
                            waiting = new_verdict();
                        waiting->waits_on.push_back(sub.verdict);
                    }
                    break;
                }
                case ED_S_IFREG:
                    content = true;
                    if (opts_->include_zero_byte && st.st_size == 0 && !young(dir, name))
                        list_file(path.c_str());
                    break;
                default: // links are never followed; other kinds are never opened
                    content = true;
                    break;
                }
            }
            path.pop_to(length);
        }
        if (content)
            return {dir_outcome::not_empty, nullptr};
        if (waiting != nullptr)
            return {dir_outcome::pending, waiting};
        return {dir_outcome::empty, nullptr};
    }

  private:
    void list_file(const char *path) {
        if (task_ != nullptr)
            task_->segments.back().files.emplace_back(path);
        else
            result_->index.zero_files.append_unique(result_->zero_files.get(), path);
    }

    pending_verdict *new_verdict() {
        task_->verdicts.push_back(std::make_unique<pending_verdict>());
        return task_->verdicts.back().get();
    }

    dir_outcome hand_over(const std::shared_ptr<ed_dir> &parent, const char *name,
                          const char *path);

    const ed_scan_opts *opts_;
    ed_scan_result *result_ = nullptr;
    task_state *task_ = nullptr;
    ed_task_pool *pool_ = nullptr;
};

// A subtree walked by whichever thread of the pool takes it.
struct walk_task final : ed_pool_task {
    walk_task(const ed_scan_opts *o, ed_task_pool *p, std::shared_ptr<ed_dir> parent_stream,
              const char *entry_name, const char *entry_path)
        : opts(o), pool(p), parent(std::move(parent_stream)), name(entry_name), path(entry_path) {}

    void run() override {
        walker w(opts, &state, pool);
        path_builder builder;
        builder.init(path.c_str());
        const dir_outcome outcome = w.scan_subdir(parent.get(), name.c_str(), builder);
        parent.reset(); // the directory above need not stay open for this task
        verdict.content = outcome.state == dir_outcome::not_empty;
        if (outcome.state == dir_outcome::pending)
            verdict.waits_on.push_back(outcome.verdict);
    }

    const ed_scan_opts *opts;
    ed_task_pool *pool;
    std::shared_ptr<ed_dir> parent;
    std::string name;
    std::string path;
    pending_verdict verdict; // this subtree's root; complete once run() returned
    task_state state;
};

dir_outcome walker::hand_over(const std::shared_ptr<ed_dir> &parent, const char *name,
                              const char *path) {
    auto task = std::make_unique<walk_task>(opts_, pool_, parent, name, path);
    walk_task *queued = task.get();
    task_->segments.back().then = std::move(task);
    task_->segments.emplace_back();
    pool_->submit(queued);
    return {dir_outcome::pending, &queued->verdict};
}

// Appends a parallel walk's lists to the call's result in walk order,
// listing each waiting directory that turned out empty, and releasing each
// segment's texts once appended.
void gather(task_state &root, ed_scan_result *result) {
    struct position {
        task_state *task;
        size_t segment;
    };
    uint32_t counted = static_cast<uint32_t>(result->scanned_dirs);
    std::vector<position> stack{{&root, 0}};
    while (!stack.empty()) {
        const position at = stack.back();
        if (at.segment == at.task->segments.size()) {
            counted += at.task->counted;
            stack.pop_back();
            continue;
        }
        ++stack.back().segment;
        output_segment &segment = at.task->segments[at.segment];
        for (const listed_dir &dir : segment.dirs)
            if (dir.when == nullptr || dir.when->empty())
                result->index.empty_dirs.append_unique(result->empty_dirs.get(), dir.path.c_str());
        for (const std::string &file : segment.files)
            result->index.zero_files.append_unique(result->zero_files.get(), file.c_str());
        std::vector<listed_dir>().swap(segment.dirs);
        std::vector<std::string>().swap(segment.files);
        if (segment.then)
            stack.push_back({&segment.then->state, 0});
    }
    result->scanned_dirs = static_cast<int32_t>(counted);
}

// The most threads a scan uses, whatever it is asked for.
constexpr int32_t kMaxThreads = 64;

unsigned threads_for(int32_t asked) {
    if (asked == 0) {
        const unsigned cores = std::thread::hardware_concurrency();
        return std::clamp<unsigned>(cores * ED_WALK_THREADS_PER_CORE, 1u, kMaxThreads);
    }
    return static_cast<unsigned>(std::clamp<int32_t>(asked, 1, kMaxThreads));
}

// Walks `dir` (the open root at `path`) with `threads` threads and appends
// what it lists to `result`, as a walk on one thread would.
void scan_in_parallel(const ed_scan_opts *opts, ed_dir_stream dir, const char *path,
                      unsigned threads, ed_scan_result *result) {
    // Declared before the pool, so released after every thread is joined.
    task_state root;
    ed_task_pool pool(threads - 1);
    path_builder builder;
    builder.init(path);
    if (pool.workers() == 0) {
        walker alone(opts, result);
        alone.list_outcome(path,
                           alone.aged(dir.get(), alone.scan_entries(dir.get(), nullptr, builder)));
        return;
    }
    walker w(opts, &root, &pool);
    const std::shared_ptr<ed_dir> shared(dir.release(), ed_dir_closer{});
    try {
        w.list_outcome(path, w.aged(shared.get(), w.scan_entries(shared.get(), &shared, builder)));
    } catch (const walk_abandoned &) {
        // Another task failed: run_until_done() reports its failure.
    }
    pool.run_until_done();
    gather(root, result);
}

// 1 when the open directory at `path` holds nothing but directories that
// hold nothing, recursively; stops at the first content.
int still_empty_entries(ed_dir *dir, path_builder &path, int include_hidden,
                        const ed_name_filter *exclude) {
    const size_t length = path.length();
    ed_entry_hint hint;
    while (const char *name = ed_readdir_hint(dir, &hint)) {
        if (is_dot_or_dotdot(name))
            continue;
        if (ed_is_unnameable_entry(name) || (!include_hidden && ed_is_hidden_name(name)) ||
            ed_name_excluded(exclude, name))
            return 0;
        if (!path.push(name))
            return 0;
        ed_stat st;
        if (!entry_kind(dir, name, hint, false, &st) || (st.st_mode & ED_S_IFMT) != ED_S_IFDIR)
            return 0;
        ed_dir_stream child(ed_opendir_at(dir, name));
        if (!child || !still_empty_entries(child.get(), path, include_hidden, exclude))
            return 0;
        path.pop_to(length);
    }
    return 1;
}

} // namespace

bool ed_path_index::holds(const char *path, size_t hash) const {
    if (slots_.empty())
        return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i].text != nullptr; i = (i + 1) & mask)
        if (slots_[i].hash == hash && std::strcmp(slots_[i].text, path) == 0)
            return true;
    return false;
}

void ed_path_index::place(const char *text, size_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].text != nullptr)
        i = (i + 1) & mask;
    slots_[i] = slot{hash, text};
}

void ed_path_index::grow() {
    std::vector<slot> held(std::max<size_t>(64, slots_.size() * 2));
    held.swap(slots_); // the larger table is empty; `held` has what it held
    for (const slot &entry : held)
        if (entry.text != nullptr)
            place(entry.text, entry.hash);
}

void ed_path_index::append_unique(ed_strlist *list, const char *path) {
    const size_t hash = std::hash<std::string_view>{}(path);
    if (holds(path, hash))
        return;
    // Room first: once the path is in the list, nothing may fail.
    if ((used_ + 1) * 2 > slots_.size())
        grow();
    if (ed_strlist_push(list, path) != 0)
        throw std::bad_alloc(); // a result without this path would be wrong
    place(list->strs[list->n - 1], hash);
    ++used_;
}

int ed_scan_tree(const char *root, const ed_scan_opts *opts, ed_scan_result *result,
                 const ed_file_id *root_id) {
    if (root == nullptr || opts == nullptr || result == nullptr)
        return -1;
    walker w(opts, result);
    w.count(); // also a root that cannot be opened
    ed_dir_stream dir(root_id != nullptr ? ed_opendir_root(root, root_id) : ed_opendir(root));
    if (!dir)
        return 0;
    const unsigned threads = threads_for(opts->threads);
    if (threads > 1) {
        scan_in_parallel(opts, std::move(dir), root, threads, result);
        return 0;
    }
    path_builder path;
    path.init(root);
    w.list_outcome(root, w.aged(dir.get(), w.scan_entries(dir.get(), nullptr, path)));
    return 0;
}

int ed_dir_still_empty(const char *path, int include_hidden, const ed_name_filter *exclude) {
    ed_dir_stream dir(ed_opendir(path));
    return dir ? ed_stream_still_empty(dir.get(), path, include_hidden, exclude) : 0;
}

int ed_stream_still_empty(ed_dir *dir, const char *path, int include_hidden,
                          const ed_name_filter *exclude) {
    if (dir == nullptr || path == nullptr)
        return 0;
    path_builder builder;
    builder.init(path);
    return still_empty_entries(dir, builder, include_hidden, exclude);
}
