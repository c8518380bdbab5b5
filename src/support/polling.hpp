// Running a long call's work on the shared threads while the calling thread stays free to look
// around: a binding can give up the interpreter lock, check for an interrupt every few tens of
// milliseconds, and ask the work to stop.
//
//     StopToken stop;
//     run_polling(pool, [&] { grow(..., stop); }, [&] { if (interrupted()) stop.request_stop(); },
//                 std::chrono::milliseconds(50), &stop);
//
// The work tests the token in its long loops (stop.check()), which ends it with Cancelled; the
// caller sees that exception, or the work's own result, once the work has really finished: the
// work may use anything on the caller's stack.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>

#include "support/parallel.hpp"

namespace lindorf {

// Thrown by StopToken::check once a stop was requested. Not an internal failure: the caller
// asked for it.
class Cancelled : public std::exception {
  public:
    const char* what() const noexcept override { return "the work was asked to stop"; }
};

// A stop request that any thread may make and the work's loops test. Requests cannot be taken
// back.
class StopToken {
  public:
    void request_stop() noexcept { requested_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return requested_.load(std::memory_order_relaxed); }
    // Throws Cancelled when a stop was requested.
    void check() const {
        if (stop_requested()) throw Cancelled();
    }

  private:
    std::atomic<bool> requested_{false};
};

// Runs work() on a shared thread, which stands in for the caller in `pool`'s loops (the work
// still uses at most pool.threads() threads), while the calling thread only waits: every
// `interval` that passes without the work finishing, it calls poll(). Returns once the work has
// finished and rethrows what the work threw.
//
// When poll() throws, polling ends, a stop is requested on `stop` (if given), and once the work
// has finished, poll's exception is rethrown in place of the work's outcome. Without a shared
// thread to run on (none could be started), the calling thread runs the work itself and poll()
// is not called.
void run_polling(WorkerPool& pool, const std::function<void()>& work,
                 const std::function<void()>& poll,
                 std::chrono::milliseconds interval = std::chrono::milliseconds(50),
                 StopToken* stop = nullptr);

}  // namespace lindorf
