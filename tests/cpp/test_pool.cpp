// The process-wide worker threads behind WorkerPool handles, and running work while polling.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "forked_child.hpp"
#include "support/parallel.hpp"
#include "support/polling.hpp"

namespace lindorf {
namespace {

using namespace std::chrono_literals;

std::size_t process_threads() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

// The most bodies of one call seen running at once.
struct Overlap {
    std::atomic<int> running{0}, most{0};
    void enter() {
        int now = running.fetch_add(1) + 1;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
    }
    void leave() { running.fetch_sub(1); }
};

// Nested loops of 8 x 16 bodies; true when every body ran once and the cap held.
bool nested_loops_keep_their_cap(WorkerPool& pool) {
    Overlap overlap;
    std::vector<std::atomic<int>> runs(8 * 16);
    pool.parallel_for(8, [&](std::size_t outer) {
        pool.parallel_for(16, [&](std::size_t inner) {
            overlap.enter();
            runs[outer * 16 + inner].fetch_add(1);
            std::this_thread::sleep_for(50us);
            overlap.leave();
        });
    });
    for (auto& r : runs)
        if (r.load() != 1) return false;
    return overlap.most.load() <= static_cast<int>(pool.threads());
}

TEST(SharedThreads, HandlesReuseOneSetOfThreads) {
    {
        WorkerPool warm(2);
        nested_loops_keep_their_cap(warm);
    }
    const std::size_t before = process_threads();
    std::mutex mutex;
    std::set<pid_t> seen;  // kernel thread ids, which a new thread never shares with a live one
    for (int call = 0; call < 50; ++call) {
        WorkerPool pool(hardware_threads() + 1);
        pool.parallel_for(64, [&](std::size_t) {
            std::this_thread::sleep_for(50us);
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(::gettid());
        });
        ASSERT_TRUE(nested_loops_keep_their_cap(pool)) << "call " << call;
    }
    EXPECT_LE(seen.size(), hardware_threads() + 1);
    EXPECT_EQ(process_threads(), before);
}

TEST(SharedThreads, ConcurrentCallsEachKeepTheirCap) {
    // More calls than cores, each with the widest cap: every call still finishes, on its own
    // thread if need be, and none exceeds its cap.
    std::vector<std::thread> callers;
    std::atomic<int> kept{0};
    const int n_callers = static_cast<int>(hardware_threads()) + 2;
    for (int c = 0; c < n_callers; ++c) {
        callers.emplace_back([&, c] {
            WorkerPool pool(c % 2 == 0 ? 2 : hardware_threads() + 1);
            for (int round = 0; round < 5; ++round) kept += nested_loops_keep_their_cap(pool);
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(kept.load(), 5 * n_callers);
}

TEST(SharedThreads, AForkedChildStartsItsOwnThreads) {
    WorkerPool before_fork(2);
    ASSERT_TRUE(nested_loops_keep_their_cap(before_fork));
    const std::uint64_t result = test_support::in_forked_child([&]() -> std::uint64_t {
        ::alarm(30);
        // The parent's handle still runs every index, on its caller alone.
        if (!nested_loops_keep_their_cap(before_fork)) return 1;
        // A new handle gets threads of the child's own: two indices meet on two threads.
        WorkerPool pool(2);
        std::atomic<int> arrived{0};
        pool.parallel_for(2, [&](std::size_t) {
            arrived.fetch_add(1);
            for (int spin = 0; spin < 2000 && arrived.load() < 2; ++spin)
                std::this_thread::sleep_for(1ms);
        });
        return arrived.load() == 2 && pool.threads() == 2 ? 7 : 2;
    });
    EXPECT_EQ(result, hardware_threads() > 1 ? 7u : 2u);
}

TEST(RunPolling, PollsWhileTheWorkRunsAndHandsBackItsOutcome) {
    struct Case {
        const char* name;
        bool poll_stops;   // poll requests a stop at its second call
        bool poll_throws;  // poll throws at its second call
        bool work_throws;  // the work ends with its own failure
        const char* expected;  // what run_polling throws, "" for nothing
    };
    const Case cases[] = {
        {"finishes", false, false, false, ""},
        {"stopped by poll", true, false, false, "Cancelled"},
        {"poll fails", false, true, false, "poll failed"},
        {"work fails", false, false, true, "work failed"},
    };
    for (const Case& c : cases) {
        WorkerPool pool(2);
        StopToken stop;
        std::atomic<int> polls{0};
        std::thread::id work_thread;
        std::string thrown;
        try {
            run_polling(
                pool,
                [&] {
                    work_thread = std::this_thread::get_id();
                    // Long enough for several polls unless stopped; the nested loops keep the cap.
                    for (int step = 0; step < 40; ++step) {
                        stop.check();
                        if (!nested_loops_keep_their_cap(pool)) throw std::logic_error("cap");
                        std::this_thread::sleep_for(5ms);
                    }
                    if (c.work_throws) throw std::runtime_error("work failed");
                },
                [&] {
                    if (polls.fetch_add(1) != 1) return;
                    if (c.poll_stops) stop.request_stop();
                    if (c.poll_throws) throw std::runtime_error("poll failed");
                },
                2ms, &stop);
        } catch (const Cancelled&) {
            thrown = "Cancelled";
        } catch (const std::exception& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, c.expected) << c.name;
        EXPECT_GE(polls.load(), 2) << c.name;
        EXPECT_NE(work_thread, std::this_thread::get_id()) << c.name;
        EXPECT_EQ(stop.stop_requested(), c.poll_stops || c.poll_throws) << c.name;
    }
}

TEST(RunPolling, ConcurrentCallsAllFinish) {
    // More polled calls than shared threads: the ones without a thread wait, polling, their turn.
    const int n_callers = static_cast<int>(hardware_threads()) + 2;
    std::atomic<int> finished{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < n_callers; ++c) {
        callers.emplace_back([&] {
            WorkerPool pool(2);
            run_polling(pool, [&] { finished += nested_loops_keep_their_cap(pool); }, [] {}, 1ms);
        });
    }
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(finished.load(), n_callers);
}

}  // namespace
}  // namespace lindorf
