#include "support/error.hpp"

#include "support/output.hpp"

namespace lindorf {

InternalError::InternalError(const std::string& message, std::source_location where)
    : std::runtime_error(message), file_(where.file_name()), line_(where.line()) {}

void fail(const std::string& message, std::source_location where) {
    // The whole line in one write keeps lines from different threads apart. A failure to report
    // is not itself reportable, so it is ignored.
    write_fully(2, "lindorf: internal failure at " + std::string(where.file_name()) + ":" +
                       std::to_string(where.line()) + ": " + message + "\n");
    throw InternalError(message, where);
}

}  // namespace lindorf
