// Internal failures of the learner: one exception type that carries the message and the place in
// the source where the failure was detected. Entry points translate it for the caller; nothing in
// the core aborts the process.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace lindorf {

class InternalError : public std::runtime_error {
  public:
    InternalError(const std::string& message, std::source_location where);

    const char* file() const noexcept { return file_; }
    unsigned line() const noexcept { return line_; }

  private:
    const char* file_;
    unsigned line_;
};

// Writes the diagnostic to standard error at the moment of failure (so that a failure on a
// worker thread is visible even if its exception is later replaced), then throws.
[[noreturn]] void fail(const std::string& message,
                       std::source_location where = std::source_location::current());

}  // namespace lindorf

// The message expression is evaluated only when the condition fails, so checks on hot paths cost
// one predictable branch.
#define LINDORF_CHECK(condition, message) \
    do {                                  \
        if (!(condition)) [[unlikely]] {  \
            ::lindorf::fail((message));   \
        }                                 \
    } while (false)
