#include "support/error.hpp"

#include <unistd.h>

#include <cerrno>

namespace lindorf {

InternalError::InternalError(const std::string& message, std::source_location where)
    : std::runtime_error(message), file_(where.file_name()), line_(where.line()) {}

namespace {

// One write(2) per diagnostic keeps lines from different threads whole; a failure to report is
// not itself reportable, so it is ignored.
void write_diagnostic(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(2, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void fail(const std::string& message, std::source_location where) {
    write_diagnostic("lindorf: internal failure at " + std::string(where.file_name()) + ":" +
                     std::to_string(where.line()) + ": " + message + "\n");
    throw InternalError(message, where);
}

}  // namespace lindorf
