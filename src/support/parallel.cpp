#include "support/parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "support/thread_state.hpp"

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
    WorkerPool* owner = nullptr;
    // A handed-over job is the caller's whole share of a call: the thread that takes it stands in
    // for the caller instead of helping it, so it is not one more of the handle's threads.
    bool stands_in = false;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    // Lowest index that has failed so far; indices above it are skipped, indices below it always
    // run, so the failure reported is the lowest failing index whatever the timing.
    std::atomic<std::size_t> lowest_failure{SIZE_MAX};
    unsigned helpers = 0;  // shared threads inside run_indices; guarded by the set's mutex
    Job* later = nullptr;  // the next posted job; guarded by the set's mutex

    std::mutex error_mutex;
    std::size_t error_index = 0;
    std::exception_ptr error;

    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
    // Guarded by the set's mutex, for `helpers`.
    bool done() const {
        return helpers == 0 && finished.load(std::memory_order_acquire) == count;
    }
};

// The process-wide threads and the loops posted to them. Never destroyed: its threads wait on
// it until the process ends.
struct SharedThreads {
    explicit SharedThreads(unsigned target) : target(target) {}

    const unsigned target;  // threads wanted: one per usable core
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable job_released;
    std::condition_variable settled;    // a starting thread has taken work or left
    WorkerPool::Job* posted = nullptr;  // oldest first
    unsigned live = 0;                  // threads taking work
    unsigned starting = 0;              // started threads that have not yet taken work
    SharedThreads* left_behind = nullptr;  // in a forked child: older sets of its parents

    WorkerPool::Job* claimable() const;
    void post(WorkerPool::Job& job, bool in_front);
    void withdraw(WorkerPool::Job& job);
    [[noreturn]] void serve(std::unique_lock<std::mutex>& lock);
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

WorkerPool::Job* SharedThreads::claimable() const {
    for (WorkerPool::Job* job = posted; job != nullptr; job = job->later) {
        if (job->exhausted()) continue;
        if (job->stands_in || job->owner->working_ < job->owner->cap_) return job;
    }
    return nullptr;
}

void SharedThreads::post(WorkerPool::Job& job, bool in_front) {
    WorkerPool::Job** link = &posted;
    while (!in_front && *link != nullptr) link = &(*link)->later;
    job.later = *link;
    *link = &job;
}

void SharedThreads::withdraw(WorkerPool::Job& job) {
    for (WorkerPool::Job** link = &posted; *link != nullptr; link = &(*link)->later) {
        if (*link == &job) {
            *link = job.later;
            return;
        }
    }
}

void SharedThreads::serve(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        WorkerPool::Job* job = nullptr;
        work_ready.wait(lock, [&] { return (job = claimable()) != nullptr; });
        WorkerPool& owner = *job->owner;
        const bool counted = !job->stands_in;
        if (counted) ++owner.working_;
        ++job->helpers;
        lock.unlock();
        run_indices(*job);
        lock.lock();
        // The job's caller may return as soon as it sees no helper left: nothing of the job or
        // its handle is touched after this.
        if (counted) --owner.working_;
        --job->helpers;
        job_released.notify_all();
    }
}

namespace {

// Sets of threads belong to the process that started them: a forked child has none of their
// threads, so it forgets the set (whose locks and condition variables may hold the state of
// threads it does not have) and starts its own. Handles made before the fork see the generation
// change and run their loops on their caller alone.
std::atomic<std::uint64_t> fork_generation{0};
std::mutex registry_mutex;
SharedThreads* current_set = nullptr;
SharedThreads* left_behind_sets = nullptr;
bool fork_handlers_registered = false;

void lock_registry() {
    registry_mutex.lock();
}

void unlock_registry() {
    registry_mutex.unlock();
}

void forget_parent_set() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    if (current_set != nullptr) {
        // Kept reachable, so that it is not mistaken for a leak; never used again.
        current_set->left_behind = left_behind_sets;
        left_behind_sets = current_set;
        current_set = nullptr;
    }
    registry_mutex.unlock();
}

void* worker_main(void* argument) {
    SharedThreads& set = *static_cast<SharedThreads*>(argument);
    // Before anything that could throw. A thread that finds no memory for its own state leaves
    // quietly; the set then has a thread fewer until a later call starts it again.
    const bool ready = prepare_thread_state();
    std::unique_lock<std::mutex> lock(set.mutex);
    --set.starting;
    if (ready) ++set.live;
    set.settled.notify_all();
    if (!ready) return nullptr;
    set.serve(lock);
}

// Starts the threads the set lacks. A thread that cannot be started (no memory, the process's
// thread limit) is simply not there: the loops run on fewer threads.
void start_missing_threads(SharedThreads& set) {
    unsigned missing = 0;
    {
        std::lock_guard<std::mutex> lock(set.mutex);
        missing = set.target - std::min(set.target, set.live + set.starting);
        set.starting += missing;
    }
    if (missing == 0) return;
    unsigned started = 0;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) {
            // Signals are the business of the application's own threads, so the workers start
            // with all of them blocked.
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            for (; started < missing; ++started) {
                pthread_t thread;
                if (pthread_create(&thread, &attributes, worker_main, &set) != 0) break;
            }
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        pthread_attr_destroy(&attributes);
    }
    // The new threads settle before the call goes on: their start-up then never competes for
    // memory with the call that started them.
    std::unique_lock<std::mutex> lock(set.mutex);
    set.starting -= missing - started;
    set.settled.wait(lock, [&] { return set.starting == 0; });
}

// The process's set, created on first use and topped up with any threads it lacks; null when
// even that cannot be had, and then every loop runs on its caller.
SharedThreads* acquire_set(std::uint64_t& generation) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (!fork_handlers_registered) {
        // Without the handlers a forked child would wait for threads it does not have.
        if (pthread_atfork(lock_registry, unlock_registry, forget_parent_set) != 0)
            return nullptr;
        fork_handlers_registered = true;
    }
    if (current_set == nullptr) {
        current_set = new (std::nothrow) SharedThreads(hardware_threads());
        if (current_set == nullptr) return nullptr;
    }
    start_missing_threads(*current_set);
    generation = fork_generation.load(std::memory_order_relaxed);
    return current_set;
}

}  // namespace

WorkerPool::WorkerPool(unsigned threads) {
    if (threads < 2) return;
    shared_ = acquire_set(generation_);
    if (shared_ != nullptr) cap_ = std::min(threads, shared_->target + 1);
}

SharedThreads* WorkerPool::usable_set() const {
    if (shared_ == nullptr || generation_ != fork_generation.load(std::memory_order_relaxed))
        return nullptr;
    return shared_;
}

void WorkerPool::parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
    if (count == 0) return;
    Job job;
    job.body = &body;
    job.count = count;
    job.owner = this;
    SharedThreads* set = count > 1 && cap_ > 1 ? usable_set() : nullptr;
    if (set != nullptr) {
        bool room = false;
        {
            std::lock_guard<std::mutex> lock(set->mutex);
            set->post(job, false);
            room = working_ < cap_;
        }
        // With every thread of the handle busy, no one is woken; a thread that leaves one of
        // the handle's loops looks for more of its work by itself.
        if (room) set->work_ready.notify_all();
    }
    run_indices(job);
    if (set != nullptr) {
        std::unique_lock<std::mutex> lock(set->mutex);
        set->withdraw(job);
        set->job_released.wait(lock, [&] { return job.done(); });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void WorkerPool::hand_over(const std::function<void()>& work, std::chrono::milliseconds interval,
                           const std::function<void()>& between_waits) {
    const std::function<void(std::size_t)> body = [&work](std::size_t) { work(); };
    Job job;
    job.body = &body;
    job.count = 1;
    job.owner = this;
    job.stands_in = true;
    if (shared_ == nullptr) shared_ = acquire_set(generation_);
    SharedThreads* set = usable_set();
    if (set != nullptr) {
        std::unique_lock<std::mutex> lock(set->mutex);
        set->post(job, true);
        set->work_ready.notify_all();
        while (!job.done()) {
            if (set->live + set->starting == 0) {
                // No thread will come: the caller takes the work back, unless one took it.
                lock.unlock();
                run_indices(job);
                lock.lock();
            } else if (!set->job_released.wait_for(lock, interval, [&] { return job.done(); })) {
                lock.unlock();
                between_waits();
                lock.lock();
            }
        }
        set->withdraw(job);
    } else {
        run_indices(job);
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
