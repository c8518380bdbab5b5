// Fork-join loops on one process-wide set of worker threads.
//
// The set is created on first use, one thread per usable core, and lives as long as the process
// (a forked child gets a set of its own on first use). A WorkerPool is a cheap handle on it for
// one training call: its loops use at most `threads()` threads at once, the calling thread
// included, however deeply they nest. Several calls may run at once from different threads;
// each loop's caller takes indices too, so every loop makes progress with its caller alone,
// whether or not a shared thread is free (or exists at all: a thread that cannot be started
// only means fewer threads).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace lindorf {

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned hardware_threads();

struct SharedThreads;

class WorkerPool {
  public:
    // `threads` counts the calling thread too: WorkerPool(1) runs every loop on the caller.
    explicit WorkerPool(unsigned threads = hardware_threads());
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The most threads this handle's loops run on at once: the requested count, bounded by the
    // calling thread plus the shared set.
    unsigned threads() const { return cap_; }

    // Runs body(i) for every i in [0, count) and returns when all have finished. The calling
    // thread takes indices too, so a loop never waits for a free worker. After a body throws,
    // indices above it that have not started are skipped; indices below it still run, so the
    // exception rethrown (once every started index has finished) is always that of the lowest
    // failing index. Which thread runs which index is left to timing, so bodies must write only
    // to their own results.
    void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

    // Runs work() on one shared thread, which stands in for the calling thread in this handle's
    // loops, while the calling thread only waits: whenever `interval` passes without the work
    // having finished, it calls between_waits(), which must not throw. With no shared thread to
    // run it (none could be started, or this is a forked child's stale handle), the caller runs
    // the work itself. Rethrows what work() threw. run_polling (polling.hpp) is the public face.
    void hand_over(const std::function<void()>& work, std::chrono::milliseconds interval,
                   const std::function<void()>& between_waits);

    struct Job;

  private:
    friend struct SharedThreads;

    // The shared set, when this handle may use it in this process (not a set left behind by a
    // fork); null otherwise.
    SharedThreads* usable_set() const;

    SharedThreads* shared_ = nullptr;
    std::uint64_t generation_ = 0;  // the fork generation shared_ belongs to
    unsigned cap_ = 1;
    unsigned working_ = 1;  // threads inside this handle's loops; guarded by the set's mutex
};

// Runs body(i) for every i in [0, count), through the pool when there is one.
void parallel_for(WorkerPool* pool, std::size_t count,
                  const std::function<void(std::size_t)>& body);

}  // namespace lindorf
