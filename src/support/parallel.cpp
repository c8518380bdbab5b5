#include "support/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <utility>

namespace lindorf {

unsigned hardware_threads() {
    unsigned n = std::thread::hardware_concurrency();
    // A process confined to fewer CPUs (taskset, a container's cpuset) gains nothing from
    // threads beyond them.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        unsigned usable = static_cast<unsigned>(CPU_COUNT(&allowed));
        if (usable > 0 && (n == 0 || usable < n)) n = usable;
    }
    return n == 0 ? 1 : n;
}

struct WorkerPool::Job {
    const std::function<void(std::size_t)>* body = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    // Lowest index that has failed so far; indices above it are skipped, indices below it always
    // run, so the failure reported is the lowest failing index whatever the timing.
    std::atomic<std::size_t> lowest_failure{SIZE_MAX};
    unsigned helpers = 0;  // workers inside run_indices, guarded by the pool mutex

    std::mutex error_mutex;
    std::size_t error_index = 0;
    std::exception_ptr error;

    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
};

namespace {

void record_failure(WorkerPool::Job& job, std::size_t index, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(job.error_mutex);
    if (!job.error || index < job.error_index) {
        job.error = std::move(error);
        job.error_index = index;
    }
    std::size_t seen = job.lowest_failure.load(std::memory_order_relaxed);
    while (index < seen &&
           !job.lowest_failure.compare_exchange_weak(seen, index, std::memory_order_relaxed)) {
    }
}

void run_indices(WorkerPool::Job& job) {
    for (;;) {
        std::size_t index = job.next.fetch_add(1, std::memory_order_relaxed);
        if (index >= job.count) return;
        if (index < job.lowest_failure.load(std::memory_order_relaxed)) {
            try {
                (*job.body)(index);
            } catch (...) {
                record_failure(job, index, std::current_exception());
            }
        }
        job.finished.fetch_add(1, std::memory_order_acq_rel);
    }
}

}  // namespace

WorkerPool::WorkerPool(unsigned threads) {
    unsigned extra = threads > 1 ? threads - 1 : 0;
    workers_.reserve(extra);
    try {
        for (unsigned i = 0; i < extra; ++i) workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
        // Fewer workers than asked for still run every loop correctly; the caller does the rest.
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

WorkerPool::Job* WorkerPool::claimable_job() {
    for (Job* job : jobs_)
        if (!job->exhausted()) return job;
    return nullptr;
}

void WorkerPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Job* job = nullptr;
        work_ready_.wait(lock, [&] { return stopping_ || (job = claimable_job()) != nullptr; });
        if (stopping_) return;
        ++job->helpers;
        lock.unlock();
        run_indices(*job);
        lock.lock();
        --job->helpers;
        job_released_.notify_all();
    }
}

void WorkerPool::parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
    if (count == 0) return;
    Job job;
    job.body = &body;
    job.count = count;
    if (count > 1 && !workers_.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(&job);
        }
        work_ready_.notify_all();
    }
    run_indices(job);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), &job), jobs_.end());
        job_released_.wait(lock, [&] {
            return job.helpers == 0 && job.finished.load(std::memory_order_acquire) == count;
        });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void parallel_for(WorkerPool* pool, std::size_t count,
                  const std::function<void(std::size_t)>& body) {
    if (pool != nullptr) {
        pool->parallel_for(count, body);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) body(i);
}

}  // namespace lindorf
