// The threads of one parallel scan call: a queue of walk tasks, the worker
// threads that take them, and the calling thread, which takes part and
// returns only when every task has ended and every worker has been joined,
// so no thread outlives the call that started it.
#ifndef ED_SCAN_TASK_POOL_H
#define ED_SCAN_TASK_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

// One piece of work. The pool never owns a task: its owner keeps it until
// the pool has been joined, so a task that never ran is still released.
class ed_pool_task {
  public:
    virtual ~ed_pool_task() = default;
    virtual void run() = 0;
};

class ed_task_pool {
  public:
    // Starts up to `workers` threads. A system that refuses a thread leaves
    // the pool with fewer, possibly none; the calling thread still runs
    // every task then (in run_until_done()).
    explicit ed_task_pool(unsigned workers);
    // Abandons what is queued and joins every worker.
    ~ed_task_pool();
    ed_task_pool(const ed_task_pool &) = delete;
    ed_task_pool &operator=(const ed_task_pool &) = delete;

    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

    // True while a worker waits with nothing queued for it: the moment a
    // walk should hand a subtree over rather than walk it itself. Cheap
    // enough to ask at every directory.
    bool wants_work() const {
        return idle_.load(std::memory_order_relaxed) > queued_.load(std::memory_order_relaxed);
    }

    // True once a task has failed: the other tasks should stop early.
    bool failed() const { return failed_.load(std::memory_order_relaxed); }

    // Queues `task` (which must outlive the pool). Throws std::bad_alloc.
    void submit(ed_pool_task *task);

    // Runs queued tasks on the calling thread too, until nothing is queued
    // or running; then rethrows the first failure of any task, if any.
    void run_until_done();

  private:
    void work();
    // Takes the next task, or null when the pool is stopping or has failed
    // (`lock` held throughout; waits while nothing is queued).
    ed_pool_task *take(std::unique_lock<std::mutex> &lock, bool for_worker);
    void run_one(ed_pool_task *task);

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable all_done_;
    std::deque<ed_pool_task *> queue_;
    size_t running_ = 0;
    bool stopping_ = false;
    std::exception_ptr first_failure_;
    std::atomic<size_t> idle_{0};
    std::atomic<size_t> queued_{0};
    std::atomic<bool> failed_{false};
    std::vector<std::thread> threads_;
};

// For tests: while set, starting a thread fails as on a system that has
// none to spare.
void ed_task_pool_refuse_threads_for_testing(bool refuse);

#endif
