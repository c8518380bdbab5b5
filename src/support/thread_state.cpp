#include "support/thread_state.hpp"

#include <array>
#include <cstdlib>
#include <exception>

namespace lindorf {

namespace {

// Far more than the exception record and the thread's table of thread-local blocks need.
constexpr std::size_t probe_bytes = 64 * 1024;

// The touch asks the allocator for a few dozen bytes at most. Blocks of every small size are
// allocated and freed just before it: the allocator keeps freed small blocks in a cache of the
// freeing thread's own, which no other thread can empty, so the touch is served from memory that
// is already this thread's, whatever other threads allocate meanwhile.
constexpr std::size_t small_step = 16;
constexpr std::size_t small_sizes = 32;  // 16 to 512 bytes

}  // namespace

bool prepare_thread_state() noexcept {
    void* probe = std::malloc(probe_bytes);
    if (probe == nullptr) return false;
    // Written to, so that the allocation is real and not optimised away.
    static_cast<volatile char*>(probe)[probe_bytes - 1] = 0;
    std::array<void*, small_sizes> small{};
    bool got_all = true;
    for (std::size_t i = 0; i < small_sizes && got_all; ++i) {
        small[i] = std::malloc((i + 1) * small_step);
        got_all = small[i] != nullptr;
        if (got_all) static_cast<volatile char*>(small[i])[0] = 0;
    }
    for (void* block : small) std::free(block);
    std::free(probe);
    if (!got_all) return false;
    // std::uncaught_exceptions reads the exception record, creating it; the volatile store keeps
    // the call, which the compiler may otherwise drop as having no effect.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
    return true;
}

}  // namespace lindorf
