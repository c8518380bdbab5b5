// The process-wide worker threads behind WorkerPool handles, and running work while polling.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/polling.hpp"

namespace lindorf {
namespace {

using namespace std::chrono_literals;

// Nested loops of 8 x 16 bodies, each noting its kernel thread; true when every pair of indices
// ran exactly once and no more bodies ran at once than the handle's cap.
bool nested_loops_keep_their_cap(WorkerPool& pool, std::set<pid_t>* threads = nullptr) {
    std::mutex mutex;
    std::atomic<int> running{0}, most{0};
    std::vector<std::atomic<int>> runs(8 * 16);
    pool.parallel_for(8, [&](std::size_t outer) {
        pool.parallel_for(16, [&](std::size_t inner) {
            int now = running.fetch_add(1) + 1;
            for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(50us);
            runs[outer * 16 + inner].fetch_add(1);
            running.fetch_sub(1);
            std::lock_guard<std::mutex> lock(mutex);
            if (threads != nullptr) threads->insert(::gettid());
        });
    });
    return std::ranges::all_of(runs, [](const auto& n) { return n.load() == 1; }) &&
           most.load() <= static_cast<int>(pool.threads());
}

TEST(WorkerPool, RunsEveryIndexOnceWithinTheCapItWasGiven) {
    for (unsigned threads : {1u, 3u}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.threads(), std::min(threads, hardware_threads() + 1));
        EXPECT_TRUE(nested_loops_keep_their_cap(pool)) << threads << " threads";
    }
}

TEST(SharedThreads, HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps) {
    // Callers beyond the core count, each making handle after handle, some handing their work to
    // the shared threads: every loop finishes within its cap, and no thread but the callers and
    // one per core ever runs a body.
    const unsigned n_callers = hardware_threads() + 2;
    std::atomic<unsigned> kept{0};
    std::mutex mutex;
    std::set<pid_t> threads;
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < n_callers; ++c) {
        callers.emplace_back([&, c] {
            std::set<pid_t> seen;
            for (int call = 0; call < 10; ++call) {
                WorkerPool pool(c % 2 == 0 ? 2 : hardware_threads() + 1);
                auto work = [&] { kept += nested_loops_keep_their_cap(pool, &seen); };
                c % 3 == 2 ? run_polling(pool, work, [] {}, 1ms) : work();
            }
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(seen.begin(), seen.end());
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(kept.load(), 10 * n_callers);
    EXPECT_LE(threads.size(), n_callers + hardware_threads());
}

TEST(RunPolling, PollsWhileTheWorkRunsOnAnotherThreadAndHandsBackItsOutcome) {
    // Poll 1 may stop the work or fail; the work may fail itself. Expected: what is thrown.
    for (std::string expected : {"", "Cancelled", "poll", "work"}) {
        WorkerPool pool(2);
        StopToken stop;
        std::atomic<int> polls{0};
        std::thread::id work_thread;
        auto work = [&] {
            work_thread = std::this_thread::get_id();
            for (int step = 0; step < 40; ++step, std::this_thread::sleep_for(5ms))
                if (stop.check(); !nested_loops_keep_their_cap(pool)) throw std::logic_error("cap");
            if (expected == "work") throw std::runtime_error("work");
        };
        auto poll = [&] {
            if (polls.fetch_add(1) == 1 && expected == "Cancelled") stop.request_stop();
            if (polls.load() == 2 && expected == "poll") throw std::runtime_error("poll");
        };
        std::string thrown;
        try {
            run_polling(pool, work, poll, 2ms, &stop);
        } catch (const Cancelled&) {
            thrown = "Cancelled";
        } catch (const std::exception& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, expected);
        EXPECT_GE(polls.load(), 2) << expected;
        EXPECT_NE(work_thread, std::this_thread::get_id()) << expected;
        EXPECT_EQ(stop.stop_requested(), expected == "Cancelled" || expected == "poll") << expected;
    }
}

}  // namespace
}  // namespace lindorf
