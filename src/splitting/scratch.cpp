#include "splitting/scratch.hpp"

#include <algorithm>
#include <string>

#include "support/error.hpp"

namespace lindorf {

ScratchSlots::ScratchSlots(std::size_t slots)
    : slots_(std::max<std::size_t>(slots, 1)), busy_(new std::atomic<bool>[slots_.size()]) {
    for (std::size_t i = 0; i < slots_.size(); ++i)
        busy_[i].store(false, std::memory_order_relaxed);
}

ScratchSlots::Lease ScratchSlots::claim() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!busy_[i].exchange(true, std::memory_order_acquire)) return Lease(*this, i);
    }
    fail("all " + std::to_string(slots_.size()) +
         " scratch slots are in use: more loop bodies run at once than the pool has threads");
}

}  // namespace lindorf
