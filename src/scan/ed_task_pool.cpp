#include "scan/ed_task_pool.h"

#include <new>
#include <system_error>

#include "platform/ed_platform.h"

namespace {

std::atomic<bool> g_refuse_threads{false};

} // namespace

void ed_task_pool_refuse_threads_for_testing(bool refuse) { g_refuse_threads = refuse; }

ed_task_pool::ed_task_pool(unsigned workers) {
    try {
        threads_.reserve(workers);
        for (unsigned i = 0; i < workers; ++i) {
            if (g_refuse_threads)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            threads_.emplace_back([this] { work(); });
        }
    } catch (const std::system_error &) {
        // The system would not start another thread: go on with those that
        // did start, or with the calling thread alone.
    } catch (const std::bad_alloc &) {
    }
}

ed_task_pool::~ed_task_pool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread &thread : threads_)
        thread.join();
}

void ed_task_pool::submit(ed_pool_task *task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_.load(std::memory_order_relaxed))
            return; // never to run, like the tasks the failure dropped
        queue_.push_back(task);
        queued_.fetch_add(1, std::memory_order_relaxed);
    }
    work_ready_.notify_one();
}

ed_pool_task *ed_task_pool::take(std::unique_lock<std::mutex> &lock, bool for_worker) {
    for (;;) {
        if (stopping_ || failed_.load(std::memory_order_relaxed))
            return nullptr;
        if (!queue_.empty()) {
            ed_pool_task *task = queue_.front();
            queue_.pop_front();
            queued_.fetch_sub(1, std::memory_order_relaxed);
            ++running_;
            return task;
        }
        // The calling thread is done once nothing is queued or running;
        // a worker waits for more until the pool stops.
        if (!for_worker && running_ == 0)
            return nullptr;
        idle_.fetch_add(1, std::memory_order_relaxed);
        work_ready_.wait(lock);
        idle_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void ed_task_pool::run_one(ed_pool_task *task) {
    std::exception_ptr failure;
    try {
        task->run();
    } catch (...) {
        failure = std::current_exception();
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failure) {
            if (!first_failure_)
                first_failure_ = failure;
            failed_ = true;
            // Queued tasks will never run; their owner releases them.
            queue_.clear();
            queued_ = 0;
        }
        --running_;
        // The calling thread waits for the last running task to end, also
        // after a failure, when what is still queued will never run.
        wake = failure || running_ == 0;
    }
    if (wake)
        work_ready_.notify_all();
}

void ed_task_pool::work() {
    // A worker sees the file system as the calling thread of an export
    // does (on Windows, cloud placeholders as placeholders, not disguised).
    const ed_platform_call_scope platform_mode;
    std::unique_lock<std::mutex> lock(mutex_);
    while (ed_pool_task *task = take(lock, true)) {
        lock.unlock();
        run_one(task);
        lock.lock();
    }
}

void ed_task_pool::run_until_done() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (ed_pool_task *task = take(lock, false)) {
        lock.unlock();
        run_one(task);
        lock.lock();
    }
    // After a failure, tasks still running on workers are waited for: they
    // use what the caller is about to release.
    work_ready_.wait(lock, [this] { return running_ == 0; });
    if (first_failure_)
        std::rethrow_exception(first_failure_);
}
