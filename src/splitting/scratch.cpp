#include "splitting/scratch.hpp"

#include <string>

#include "support/error.hpp"

namespace lindorf {

ScratchSlots::ScratchSlots(std::size_t slots)
    : slots_(slots == 0 ? 1 : slots),
      busy_(new std::atomic<bool>[slots == 0 ? 1 : slots]),
      count_(slots == 0 ? 1 : slots) {
    for (std::size_t i = 0; i < count_; ++i) busy_[i].store(false, std::memory_order_relaxed);
}

ScratchSlots::Lease ScratchSlots::claim() {
    for (std::size_t i = 0; i < count_; ++i) {
        if (!busy_[i].exchange(true, std::memory_order_acquire)) return Lease(*this, i);
    }
    fail("all " + std::to_string(count_) + " scratch slots are in use: more loop bodies run at " +
         "once than the pool has threads");
}

}  // namespace lindorf
