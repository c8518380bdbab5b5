#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/parallel.hpp"

namespace lindorf {
namespace {

TEST(WorkerPool, RunsEveryIndexOnceAndNestedLoopsNeverExceedThePoolSize) {
    for (unsigned threads : {1u, 3u}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        std::atomic<int> running{0}, most{0};
        std::vector<std::atomic<int>> cells(20 * 50);
        pool.parallel_for(20, [&](std::size_t outer) {
            pool.parallel_for(50, [&](std::size_t inner) {
                int now = running.fetch_add(1) + 1;
                for (int seen = most.load();
                     now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                cells[outer * 50 + inner].fetch_add(1);
                std::this_thread::yield();
                running.fetch_sub(1);
            });
        });
        for (auto& c : cells) EXPECT_EQ(c.load(), 1);
        EXPECT_LE(most.load(), static_cast<int>(threads));
    }
}

TEST(WorkerPool, UsesMoreThanOneThreadWhenItHasThem) {
    WorkerPool pool(2);
    std::mutex mutex;
    std::set<std::thread::id> seen;
    std::atomic<bool> release{false};
    // Each index waits until another thread has run an index, which only a worker can.
    pool.parallel_for(2, [&](std::size_t) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(std::this_thread::get_id());
            release = seen.size() == 2;
        }
        for (int spin = 0; spin < 2000 && !release; ++spin)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(seen.size(), 2u);
}

TEST(WorkerPool, RethrowsTheLowestFailedIndexAfterEveryStartedIndexEnds) {
    WorkerPool pool(2);
    std::vector<std::atomic<int>> ran(8);
    try {
        pool.parallel_for(8, [&](std::size_t i) {
            ran[i].fetch_add(1);
            if (i == 3 || i == 5) throw std::runtime_error("index " + std::to_string(i));
        });
        ADD_FAILURE() << "the failure was swallowed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "index 3");  // whichever of the two failed first in time
    }
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(ran[i].load(), 1) << i;
    std::atomic<int> runs{0};  // the pool is still usable
    pool.parallel_for(10, [&](std::size_t) { runs.fetch_add(1); });
    EXPECT_EQ(runs.load(), 10);
}

TEST(HardwareThreads, CountsOnlyTheCpusThisProcessMayRunOn) {
    cpu_set_t saved, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu)
        if (CPU_ISSET(cpu, &saved)) CPU_SET(cpu, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    unsigned confined = hardware_threads();
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(confined, 1u);
    EXPECT_EQ(hardware_threads(), static_cast<unsigned>(CPU_COUNT(&saved)));
}

}  // namespace
}  // namespace lindorf
