// The threads of a parallel scan: every task ends before the call returns,
// and a failure on one thread ends the call however the others are placed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "scan/ed_task_pool.h"

namespace {

// A task made of a function, for arranging who runs when.
template <typename F> class function_task final : public ed_pool_task {
  public:
    explicit function_task(F f) : f_(std::move(f)) {}
    void run() override { f_(); }

  private:
    F f_;
};
template <typename F> std::unique_ptr<ed_pool_task> task_of(F f) {
    return std::make_unique<function_task<F>>(std::move(f));
}

void wait_until(const std::atomic<bool> &flag) {
    while (!flag.load())
        std::this_thread::yield();
}

// run_until_done() on another thread, so that a pool that never returns
// fails the test instead of hanging it.
void expect_returns_with_failure(ed_task_pool &pool) {
    auto done = std::async(std::launch::async, [&pool] {
        try {
            pool.run_until_done();
        } catch (const std::runtime_error &) {
            return true;
        }
        return false;
    });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "the pool never returned after a failure\n");
        std::abort(); // its threads cannot be joined: end the program
    }
    EXPECT_TRUE(done.get()) << "the failure was not reported";
}

TEST(TaskPool, FailureWhileAnotherTaskQueuesMoreStillReturns) {
    // One task fails while another is running; that one then hands over
    // more work, which will never run. The call must still return.
    ed_task_pool pool(2);
    ASSERT_EQ(pool.workers(), 2u);
    std::atomic<bool> second_started{false};
    std::atomic<bool> late_ran{false};
    auto late = task_of([&] { late_ran = true; });
    auto failing = task_of([&] {
        wait_until(second_started);
        throw std::runtime_error("no memory");
    });
    auto second = task_of([&] {
        second_started = true;
        while (!pool.failed())
            std::this_thread::yield();
        pool.submit(late.get());
    });
    pool.submit(failing.get());
    pool.submit(second.get());
    expect_returns_with_failure(pool);
    EXPECT_FALSE(late_ran.load()) << "work queued after a failure ran";
}

TEST(TaskPool, EveryTaskRunsOnceWhateverThreadTakesIt) {
    for (unsigned workers : {0u, 1u, 3u}) {
        ed_task_pool pool(workers);
        std::atomic<int> runs{0};
        std::vector<std::unique_ptr<ed_pool_task>> tasks;
        for (int i = 0; i < 200; ++i) {
            tasks.push_back(task_of([&] { ++runs; }));
            pool.submit(tasks.back().get());
        }
        pool.run_until_done();
        EXPECT_EQ(runs.load(), 200) << workers << " workers";
    }
}

} // namespace
