#include "scan/ed_walk.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/ed_owners.h"
#include "core/ed_path_rules.h"
#include "platform/ed_platform.h"
#include "scan/ed_task_pool.h"
#include "scan/ed_walk_internal.h"

namespace {

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
    std::vector<std::string> unreadable; // the first ED_LEFT_OUT_PATHS met
    std::unique_ptr<walk_task> then;
};

// What one walk task gathers. Verdicts are kept here until the end of the
// call, since lists of other tasks may refer to them.
struct task_state {
    std::vector<output_segment> segments = std::vector<output_segment>(1);
    std::vector<std::unique_ptr<pending_verdict>> verdicts;
    uint32_t counted = 0;
    ed_left_out_counts left_out;
    // Young directories whose emptiness waits on other threads: each one
    // that turns out empty was kept from the lists by its age.
    std::vector<const pending_verdict *> young_if_empty;
};

// Thrown inside a walk once another thread's task has failed, to end this
// one early; the first failure is what the call reports.
struct walk_abandoned {};

// The most directories of its path one thread's walk holds open at once:
// deeper levels close the shallowest one open (below the walk's own first
// directory) and take it up again on the way back, so that a tree of any
// depth takes a bounded number of descriptors and stream buffers. Trees no
// deeper than this close nothing. A parallel walk shares kOpenStreamsPerCall
// among its threads, each keeping at least kMinOpenLevels.
constexpr size_t kMaxOpenLevels = 32;
constexpr size_t kOpenStreamsPerCall = 256;
constexpr size_t kMinOpenLevels = 4;

size_t open_levels_for(unsigned threads) {
    if (!ed_walk_resumes)
        return SIZE_MAX; // the path limit keeps the levels few: every one stays open
    return std::clamp<size_t>(kOpenStreamsPerCall / std::max(1u, threads), kMinOpenLevels,
                              kMaxOpenLevels);
}

// One directory of the path a walker is in.
struct walk_level {
    ed_dir_stream own;              // the stream, in a walk on one thread
    std::shared_ptr<ed_dir> shared; // the stream, where handed-over subtrees share it
    ed_dir_mark mark{};             // where it stood, while suspended
    size_t path_length = 0;

    ed_dir *get() const { return shared ? shared.get() : own.get(); }
    void close() {
        own.reset();
        shared.reset();
    }
};

// One thread's walk: on its own, straight into the call's result; in a
// parallel walk, into the task it runs, handing subtrees over to idle
// threads of `pool`.
class walker {
  public:
    walker(const ed_scan_opts *opts, ed_scan_result *result)
        : opts_(opts), result_(result), open_limit_(open_levels_for(1)) {}
    walker(const ed_scan_opts *opts, task_state *task, ed_task_pool *pool, size_t open_limit)
        : opts_(opts), task_(task), pool_(pool), open_limit_(open_limit) {}

    void count() {
        if (opts_->progress != nullptr)
            opts_->progress->opened_dir();
        if (task_ != nullptr)
            ++task_->counted;
        else
            result_->scanned_dirs =
                static_cast<int32_t>(static_cast<uint32_t>(result_->scanned_dirs) + 1u);
    }

    ed_left_out_counts &left_out() {
        return task_ != nullptr ? task_->left_out : result_->left_out.counts;
    }

    // A directory whose entries could not all be read: nothing in it is
    // listed, and the host may be told where it is.
    void note_unreadable(const char *path) {
        ++left_out().unreadable_dirs;
        if (task_ == nullptr) {
            result_->left_out.keep_unreadable_path(path);
            return;
        }
        std::vector<std::string> &kept = task_->segments.back().unreadable;
        if (kept.size() < ED_LEFT_OUT_PATHS)
            kept.emplace_back(path);
    }

    void list_dir(const char *path, const pending_verdict *when = nullptr) {
        if (opts_->progress != nullptr)
            opts_->progress->listed();
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
        return dir == nullptr || ed_modified_at(dir, name, &modified) != 0 ||
               modified > opts_->young_after;
    }

    // What the walk of the open directory `dir` found, with the age guard
    // applied to the directory itself: a young one is content even when
    // nothing in it is.
    dir_outcome aged(ed_dir *dir, dir_outcome outcome) {
        if (outcome.state == dir_outcome::not_empty || !young(dir, nullptr))
            return outcome;
        if (outcome.state == dir_outcome::empty)
            ++left_out().young;
        else
            task_->young_if_empty.push_back(outcome.verdict);
        return {dir_outcome::not_empty, nullptr};
    }

    void list_outcome(const char *path, dir_outcome outcome) {
        if (outcome.state == dir_outcome::empty)
            list_dir(path);
        else if (outcome.state == dir_outcome::pending)
            list_dir(path, outcome.verdict);
    }

    // Walks the open directory `dir` at `path` as this walker's first level
    // and lists it when it turns out empty.
    void walk_top(ed_dir_stream dir, ed_path_builder &path) {
        push_level(std::move(dir), path.length());
        const dir_outcome outcome = aged(levels_[0].get(), scan_entries(0, path));
        list_outcome(path.c_str(), outcome);
        levels_.clear();
    }

    // Walks the subdirectory `name` of the stream `parent` as this walker's
    // first level (a subtree handed over), releasing `parent` once it is
    // opened. Not empty also when it cannot be opened.
    dir_outcome walk_handed(std::shared_ptr<ed_dir> &parent, const char *name,
                            ed_path_builder &path) {
        ed_dir_stream dir(ed_walk_opendir_at(parent.get(), name));
        if (!dir)
            return unopened(parent.get(), name, path.c_str());
        parent.reset(); // the directory above need not stay open for this walk
        count();
        push_level(std::move(dir), path.length());
        const dir_outcome outcome = aged(levels_[0].get(), scan_entries(0, path));
        levels_.clear();
        return outcome;
    }

    // Walks the subdirectory `name` of the level `parent`, whose path `path`
    // holds. Not empty also when it cannot be opened.
    dir_outcome scan_subdir(size_t parent, const char *name, ed_path_builder &path) {
        if (pool_ != nullptr && pool_->failed())
            throw walk_abandoned{};
        ed_dir_stream dir = open_child(parent, name);
        if (!dir)
            return unopened(levels_[parent].get(), name, path.c_str());
        count();
        push_level(std::move(dir), path.length());
        const size_t self = levels_.size() - 1;
        const dir_outcome outcome = aged(levels_[self].get(), scan_entries(self, path));
        pop_level(path);
        return outcome;
    }

    // Decides whether the directory of level `self` is empty, listing what
    // is listable below it. Once it is known not to be empty the walk still
    // goes on, so that everything further down is listed.
    dir_outcome scan_entries(size_t self, ed_path_builder &path) {
        const size_t length = path.length();
        bool content = false;
        pending_verdict *waiting = nullptr; // subtrees this directory waits on
        bool unreadable = false;            // counted once, however its listing failed
        ed_entry_hint hint;
        for (;;) {
            // A subtree walked below may have suspended this level, and
            // taking it up again may have failed: what it still held is
            // content that was never examined.
            ed_dir *dir = levels_[self].get();
            if (dir == nullptr) {
                content = true;
                if (!unreadable)
                    note_unreadable(path.c_str());
                break;
            }
            const char *name = ed_readdir_hint(dir, &hint);
            if (name == nullptr)
                break;
            if (ed_is_dot_or_dotdot(name))
                continue;
            if (opts_->progress != nullptr)
                opts_->progress->saw_entry();
            if (ed_is_unnameable_entry(name)) {
                content = true;
                switch (ed_dir_unnameable_cause(dir)) {
                case ED_UNNAMEABLE_NAME:
                    ++left_out().invalid_names;
                    break;
                case ED_UNNAMEABLE_LISTING:
                    if (!unreadable)
                        note_unreadable(path.c_str());
                    unreadable = true;
                    break;
                case ED_UNNAMEABLE_OTHER:
                    break;
                }
                continue;
            }
            if (!opts_->include_hidden && ed_is_hidden_name(name)) {
                content = true;
                ++left_out().hidden;
                continue;
            }
            if (ed_name_excluded(opts_->exclude.get(), name)) {
                content = true;
                ++left_out().excluded;
                continue;
            }
            ed_stat st;
            if (!path.push(name)) {
                content = true;
                continue;
            }
            if (!ed_entry_kind(dir, name, hint, opts_->include_zero_byte != 0, &st)) {
                content = true;
            } else {
                switch (st.st_mode & ED_S_IFMT) {
                case ED_S_IFDIR: {
                    dir_outcome sub;
                    if (pool_ != nullptr && pool_->wants_work())
                        sub = hand_over(self, name, path.c_str());
                    else
                        sub = scan_subdir(self, name, path);
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
                    if (opts_->include_zero_byte && st.st_size == 0) {
                        if (!young(dir, name))
                            list_file(path.c_str());
                        else
                            ++left_out().young;
                    }
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
    // A subdirectory that could not be opened: counted like every directory
    // that is still one; one that vanished since it was listed, or that
    // another file system is mounted on (the kind of a link, as a mounted
    // folder on Windows), is not.
    dir_outcome unopened(ed_dir *parent, const char *name, const char *path) {
        ed_stat st;
        if (ed_fill_stat_at(parent, name, &st) == 0 && (st.st_mode & ED_S_IFMT) == ED_S_IFDIR) {
            count();
            note_unreadable(path);
        }
        return {dir_outcome::not_empty, nullptr};
    }

    size_t open_count() const { return 1 + (levels_.size() - first_open_); }

    // Closes the shallowest open level below the first, if any other than
    // the deepest is open; false when there is none to close.
    bool suspend_one() {
        if (!ed_walk_resumes || first_open_ + 1 >= levels_.size())
            return false;
        walk_level &level = levels_[first_open_];
        // A subtree waiting for a thread may share the stream: it is closed
        // once that subtree has opened its own directory.
        ed_dir_note(level.get(), &level.mark);
        level.close();
        ++first_open_;
        return true;
    }

    // Opens the subdirectory `name` of the level `parent`. Out of
    // descriptors, it closes levels above to make room, and keeps to fewer
    // levels from then on; with nothing left to close, the scan fails.
    ed_dir_stream open_child(size_t parent, const char *name) {
        for (;;) {
            try {
                return ed_dir_stream(ed_walk_opendir_at(levels_[parent].get(), name));
            } catch (const ed_out_of_descriptors &) {
                if (!suspend_one())
                    throw;
                open_limit_ = std::max<size_t>(3, open_count());
            }
        }
    }

    void push_level(ed_dir_stream dir, size_t path_length) {
        walk_level level;
        if (pool_ != nullptr)
            level.shared = std::shared_ptr<ed_dir>(dir.release(), ed_dir_closer{});
        else
            level.own = std::move(dir);
        level.path_length = path_length;
        levels_.push_back(std::move(level));
        if (levels_.size() == 1)
            first_open_ = 1;
        while (open_count() > open_limit_ && suspend_one()) {
        }
    }

    // Leaves the deepest level, whose path `path` holds, taking the level
    // above up again first if it was suspended: through the deepest
    // directory's own parent while that is still open.
    void pop_level(const ed_path_builder &path) {
        const size_t self = levels_.size() - 1;
        const size_t parent = self - 1;
        if (parent >= 1 && first_open_ > parent) {
            walk_level &above = levels_[parent];
            const walk_level &top = levels_[0];
            size_t from = top.path_length;
            if (from > 0 && path.c_str()[from - 1] != '/')
                ++from; // the separator after the first level's path
            const std::string relative(path.c_str() + from, above.path_length - from);
            ed_dir_stream resumed(
                ed_dir_resume(&above.mark, levels_[self].get(), top.get(), relative.c_str()));
            if (resumed && pool_ != nullptr)
                above.shared = std::shared_ptr<ed_dir>(resumed.release(), ed_dir_closer{});
            else
                above.own = std::move(resumed);
            first_open_ = parent;
        }
        levels_.pop_back();
        if (first_open_ > levels_.size())
            first_open_ = levels_.size();
    }

    void list_file(const char *path) {
        if (opts_->progress != nullptr)
            opts_->progress->listed();
        if (task_ != nullptr)
            task_->segments.back().files.emplace_back(path);
        else
            result_->index.zero_files.append_unique(result_->zero_files.get(), path);
    }

    pending_verdict *new_verdict() {
        task_->verdicts.push_back(std::make_unique<pending_verdict>());
        return task_->verdicts.back().get();
    }

    dir_outcome hand_over(size_t parent, const char *name, const char *path);

    const ed_scan_opts *opts_;
    ed_scan_result *result_ = nullptr;
    task_state *task_ = nullptr;
    ed_task_pool *pool_ = nullptr;
    size_t open_limit_;
    std::vector<walk_level> levels_; // [0] is where this walk began
    size_t first_open_ = 1;          // levels [1, first_open_) are suspended
};

// A subtree walked by whichever thread of the pool takes it.
struct walk_task final : ed_pool_task {
    walk_task(const ed_scan_opts *o, ed_task_pool *p, size_t limit,
              std::shared_ptr<ed_dir> parent_stream, const char *entry_name, const char *entry_path)
        : opts(o), pool(p), open_limit(limit), parent(std::move(parent_stream)), name(entry_name),
          path(entry_path) {}

    void run() override {
        walker w(opts, &state, pool, open_limit);
        ed_path_builder builder;
        builder.init(path.c_str());
        // Kept until the end of the call; the texts are not needed again.
        std::string().swap(path);
        const dir_outcome outcome = w.walk_handed(parent, name.c_str(), builder);
        parent.reset();
        std::string().swap(name);
        verdict.content = outcome.state == dir_outcome::not_empty;
        if (outcome.state == dir_outcome::pending)
            verdict.waits_on.push_back(outcome.verdict);
    }

    const ed_scan_opts *opts;
    ed_task_pool *pool;
    size_t open_limit;
    std::shared_ptr<ed_dir> parent;
    std::string name;
    std::string path;
    pending_verdict verdict; // this subtree's root; complete once run() returned
    task_state state;
};

dir_outcome walker::hand_over(size_t parent, const char *name, const char *path) {
    auto task =
        std::make_unique<walk_task>(opts_, pool_, open_limit_, levels_[parent].shared, name, path);
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
            result->left_out.counts.add(at.task->left_out);
            for (const pending_verdict *young : at.task->young_if_empty)
                if (young->empty())
                    ++result->left_out.counts.young;
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
        for (const std::string &path : segment.unreadable)
            result->left_out.keep_unreadable_path(path);
        std::vector<listed_dir>().swap(segment.dirs);
        std::vector<std::string>().swap(segment.files);
        std::vector<std::string>().swap(segment.unreadable);
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
    ed_path_builder builder;
    builder.init(path);
    if (pool.workers() == 0) {
        walker alone(opts, result);
        alone.walk_top(std::move(dir), builder);
        return;
    }
    walker w(opts, &root, &pool, open_levels_for(pool.workers() + 1));
    try {
        w.walk_top(std::move(dir), builder);
    } catch (const walk_abandoned &) {
        // Another task failed: run_until_done() reports its failure.
    }
    pool.run_until_done();
    gather(root, result);
}

} // namespace

int ed_scan_tree(const char *root, const ed_scan_opts *opts, ed_scan_result *result,
                 const ed_file_id *root_id) {
    if (root == nullptr || opts == nullptr || result == nullptr)
        return -1;
    walker w(opts, result);
    w.count(); // also a root that cannot be opened
    ed_dir_stream dir(root_id != nullptr ? ed_opendir_root(root, root_id) : ed_opendir(root));
    if (!dir) {
        w.note_unreadable(root);
        return 0;
    }
    const unsigned threads = threads_for(opts->threads);
    if (threads > 1) {
        scan_in_parallel(opts, std::move(dir), root, threads, result);
        return 0;
    }
    ed_path_builder path;
    path.init(root);
    w.walk_top(std::move(dir), path);
    return 0;
}
