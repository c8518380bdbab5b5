// Long native calls from the estimators' module: the work runs on the shared threads with the
// interpreter lock released, while the calling thread waits in slices; between them it takes
// the lock and lets Python handle pending signals (a Ctrl-C raises KeyboardInterrupt, which
// stops the work at its next test of the stop token and is raised once every thread has let go).
#pragma once

#include <functional>

#include "support/parallel.hpp"
#include "support/polling.hpp"

namespace lindorf::estimators {

// Runs work(pool) on at most `threads` threads with the lock released; between waits, signals
// are handled (their exception stops the work and is raised here) and report() is called, both
// with the lock held.
void run_unlocked(unsigned threads, StopToken& stop, const std::function<void(WorkerPool*)>& work,
                  const std::function<void()>& report = {});

}  // namespace lindorf::estimators
