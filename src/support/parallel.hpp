// A small fork-join pool: a fixed set of worker threads, created per training call, that help the
// calling thread run the indices of parallel loops. Loops may nest (a tree task may split its own
// work by feature); the total number of running threads never exceeds the pool's size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lindorf {

// Hardware threads of this machine, at least 1.
unsigned hardware_threads();

class WorkerPool {
  public:
    // `threads` counts the calling thread too: WorkerPool(1) starts no thread and runs every loop
    // on the caller.
    explicit WorkerPool(unsigned threads = hardware_threads());
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned threads() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // Runs body(i) for every i in [0, count) and returns when all have finished. The calling
    // thread takes indices too, so a loop never waits for a free worker. After a body throws,
    // indices above it that have not started are skipped; indices below it still run, so the
    // exception rethrown (once every started index has finished) is always that of the lowest
    // failing index. Which thread runs which index is left to timing, so bodies must write only
    // to their own results.
    void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

    struct Job;

  private:
    void worker_loop();
    Job* claimable_job();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_released_;
    std::vector<Job*> jobs_;  // loops that may still have unclaimed indices
    bool stopping_ = false;
};

// Runs body(i) for every i in [0, count), through the pool when there is one.
void parallel_for(WorkerPool* pool, std::size_t count,
                  const std::function<void(std::size_t)>& body);

}  // namespace lindorf
