#include "support/polling.hpp"

namespace lindorf {

void run_polling(WorkerPool& pool, const std::function<void()>& work,
                 const std::function<void()>& poll, std::chrono::milliseconds interval,
                 StopToken* stop) {
    std::exception_ptr poll_failure;
    const auto guarded_poll = [&]() noexcept {
        if (poll_failure) return;
        try {
            poll();
        } catch (...) {
            poll_failure = std::current_exception();
            if (stop != nullptr) stop->request_stop();
        }
    };
    try {
        pool.hand_over(work, interval, guarded_poll);
    } catch (...) {
        // Usually the Cancelled that the failed poll asked for; the poll's failure says more.
        if (!poll_failure) throw;
    }
    if (poll_failure) std::rethrow_exception(poll_failure);
}

}  // namespace lindorf
