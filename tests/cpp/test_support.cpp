// Internal failures, the line-buffered writer and the report printed through it, the
// process-wide worker threads behind WorkerPool handles and their number, and running work while
// polling. What a failed or closed standard output does to a call is tested through the module
// (test_entry.py).
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "metrics/report.hpp"
#include "support/error.hpp"
#include "support/output.hpp"
#include "support/polling.hpp"

namespace lindorf {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using namespace std::chrono_literals;

TEST(Check, FailureCarriesMessageAndSiteAndReportsThemOnStderr) {
    const std::string message = "range end index 9 out of range for slice of length 8";
    int built = 0;
    auto build = [&] {
        ++built;
        return message;
    };
    CaptureStderr();
    LINDORF_CHECK(1 + 1 == 2, build());
    EXPECT_EQ(built, 0);  // a passing check never builds its message
    const unsigned line = __LINE__ + 2;
    try {
        LINDORF_CHECK(2 < 1, build());
        ADD_FAILURE() << "a failing check returned";
    } catch (const InternalError& error) {
        EXPECT_EQ(error.what(), message);
        EXPECT_STREQ(error.file(), __FILE__);
        EXPECT_EQ(error.line(), line);
    }
    EXPECT_EQ(GetCapturedStderr(), "lindorf: internal failure at " + std::string(__FILE__) + ":" +
                                       std::to_string(line) + ": " + message + "\n");
}

// Everything written to `fd` so far, read from the start of the file.
std::string written(int fd) {
    std::string text(4096, '\0');
    text.resize(static_cast<std::size_t>(::pread(fd, text.data(), text.size(), 0)));
    return text;
}

TEST(LineWriter, WritesCompleteLinesAndHoldsTheRestUntilFlushed) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = ::fileno(file);
    LineWriter out(fd);
    out.write("Shape of ");
    EXPECT_EQ(written(fd), "");
    out.write("y (3,)\ntwo\nthr");
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\n");
    out.write("ee\nfo");
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\nthree\n");
    out.flush();
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\nthree\nfo");
    std::fclose(file);
}

std::string report_text(const Labels& predicted, const Labels& actual) {
    std::FILE* file = std::tmpfile();
    {
        LineWriter out(::fileno(file));
        classification_report(predicted, actual, out);
    }
    std::string text = written(::fileno(file));
    std::fclose(file);
    return text;
}

TEST(ClassificationReport, PrintsTheFiveLines) {
    struct Case {
        Labels predicted, actual;
        const char* scores[4];  // accuracy, precision, recall, F1
    };
    const Case cases[] = {
        // tp 2, fp 1, fn 0: precision 2/3, recall 1, F1 = (4/3 * 1) / (5/3).
        {{1, 0, 1, 1}, {1, 0, 0, 1}, {"0.75", "0.6666667", "1", "0.8"}},
        {{1, 1}, {1, 1}, {"1", "1", "1", "1"}},
        // In float32, 1.6 / 1.8 is 14913082 / 2^24, whose shortest digits are 0.88888896.
        {{1, 1, 1, 1, 1}, {1, 1, 1, 1, 0}, {"0.8", "0.8", "1", "0.88888896"}},
        // An empty forest predicts nothing: no match out of three labels, every ratio 0/0.
        {{}, {3, 5, 7}, {"0", "NaN", "NaN", "NaN"}},
        {{0, 0}, {0, 0}, {"1", "NaN", "NaN", "NaN"}},
        // Only the overlapping position counts, but accuracy divides by every true label.
        {{0}, {0, 1, 1}, {"0.33333334", "NaN", "NaN", "NaN"}},
        // A prediction of 1 against a true 2 is neither a false positive nor a true one.
        {{2, 1}, {2, 2}, {"0.5", "NaN", "NaN", "NaN"}},
        {{}, {}, {"NaN", "NaN", "NaN", "NaN"}},
        // tp 0, fp 1, fn 1: precision and recall 0, F1 = 0/0.
        {{1, 0}, {0, 1}, {"0", "0", "0", "NaN"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(report_text(c.predicted, c.actual),
                  std::string("Classification Report:\n\tAccuracy:   ") + c.scores[0] +
                      "\n\tPrecision:  " + c.scores[1] + "\n\tRecall:     " + c.scores[2] +
                      "\n\tF1 Score:   " + c.scores[3] + "\n");
    }
}

// The report's table shows the shortest digits that read back; these, that small scores keep to
// positional notation and that any NaN prints alike.
TEST(FormatScore, ShortestRoundTripInPositionalNotation) {
    EXPECT_EQ(format_score(0.1f), "0.1");
    EXPECT_EQ(format_score(1e-7f), "0.0000001");
    EXPECT_EQ(format_score(-std::numeric_limits<float>::quiet_NaN()), "NaN");
}

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

TEST(SharedThreads, HandlesOfOneOrManyCallersShareOneSetWithinTheirCaps) {
    // Callers beyond the core count, each making handle after handle, some handing their work to
    // the shared threads: every handle has the threads it asks for up to one per core and the
    // caller, every loop finishes within that cap, and no thread but the callers and one per core
    // ever runs a body.
    const unsigned n_callers = hardware_threads() + 2;
    const unsigned asked[] = {1, 2, 3, hardware_threads() + 1};
    std::atomic<unsigned> kept{0};
    std::mutex mutex;
    std::set<pid_t> threads;
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < n_callers; ++c) {
        callers.emplace_back([&, c] {
            std::set<pid_t> seen;
            for (int call = 0; call < 10; ++call) {
                WorkerPool pool(asked[c % 4]);
                EXPECT_EQ(pool.threads(), std::min(asked[c % 4], hardware_threads() + 1));
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
