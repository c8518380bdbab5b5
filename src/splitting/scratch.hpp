// Per-thread working memory for the feature loops of one tree. A loop body leases a free slot
// for its duration; at most as many bodies run at once as the pool has threads, so one slot per
// thread always suffices, and a slot that no second thread ever needs is never filled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "criteria/compensated.hpp"
#include "criteria/median_track.hpp"
#include "splitting/side_sums.hpp"
#include "splitting/working_set.hpp"
#include "support/parallel.hpp"

namespace lindorf {

// A candidate that a screened sweep keeps for exact scoring: its group of entries, its proxy
// and, in a node of at most two classes, the left counts of those classes.
struct Shortlisted {
    std::uint32_t begin;
    std::uint32_t end;
    std::int64_t proxy;
    std::uint32_t left[2];
};

// The running state of one regression sweep: sums and counts of the left side and of the NaN
// rows, and the sides' median tracks.
struct RegressionScratch {
    std::vector<Sum2> sums;
    std::vector<SplitSum> parts;
    std::vector<std::uint32_t> positive;
    std::vector<MedianTrack> tracks;
    std::vector<std::uint32_t> held;  // one side of a partition of a target order
};

struct Scratch {
    std::vector<Entry> entries;  // one side of a partition
    std::vector<Shortlisted> shortlist;
    SideScratch sides;
    std::vector<std::uint8_t> marks;  // a flag per row, all clear between uses
    RegressionScratch regression;

    // Class counts for `classes` classes. Threads update their counts once per entry, so the
    // counts keep a cache line of distance from any other allocation: two threads writing to
    // one line would each stall the other.
    std::uint32_t* counts(std::size_t classes) {
        constexpr std::size_t guard = 64 / sizeof(std::uint32_t);
        if (counts_.size() < classes + 2 * guard) counts_.resize(classes + 2 * guard);
        return counts_.data() + guard;
    }

    // Two blocks of `classes` 64-bit counts each, for the general path's sweeps.
    std::uint64_t* wide_counts(std::size_t classes) {
        constexpr std::size_t guard = 64 / sizeof(std::uint64_t);
        if (wide_.size() < 2 * classes + 2 * guard) wide_.resize(2 * classes + 2 * guard);
        return wide_.data() + guard;
    }

  private:
    std::vector<std::uint32_t> counts_;
    std::vector<std::uint64_t> wide_;
};

class ScratchSlots {
  public:
    explicit ScratchSlots(std::size_t slots);

    class Lease {
      public:
        Lease(ScratchSlots& owner, std::size_t slot) : owner_(owner), slot_(slot) {}
        ~Lease() { owner_.busy_[slot_].store(false, std::memory_order_release); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Scratch& operator*() const { return owner_.slots_[slot_]; }
        Scratch* operator->() const { return &owner_.slots_[slot_]; }

      private:
        ScratchSlots& owner_;
        std::size_t slot_;
    };

    Lease claim();
    // A number for a node searched with these slots, never given twice and never 0.
    std::uint64_t number() { return numbers_->fetch_add(1, std::memory_order_relaxed) + 1; }

  private:
    std::vector<Scratch> slots_;                 // never resized, so leases may point into it
    std::unique_ptr<std::atomic<bool>[]> busy_;  // one flag per slot
    std::unique_ptr<std::atomic<std::uint64_t>> numbers_ =
        std::make_unique<std::atomic<std::uint64_t>>(0);
};

// body(k, scratch) for every k below `count`: on the calling thread with one lease when `alone`,
// else on the pool with a lease per call. A small node's few items cost less done in a plain
// loop than handed out, with the pool's locks and the other threads' caches; where they run
// changes no result.
template <class Body>
void for_each_leased(WorkerPool* pool, std::size_t count, ScratchSlots& scratch, bool alone,
                     Body&& body) {
    if (pool == nullptr || alone) {
        auto lease = scratch.claim();
        for (std::size_t k = 0; k < count; ++k) body(k, *lease);
        return;
    }
    parallel_for(pool, count, [&](std::size_t k) {
        auto lease = scratch.claim();
        body(k, *lease);
    });
}

}  // namespace lindorf
