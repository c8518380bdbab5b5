#include "support/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/error.hpp"

namespace lindorf {

void LineWriter::write(std::string_view text) {
    std::size_t last_newline = text.rfind('\n');
    if (last_newline == std::string_view::npos) {
        pending_.append(text);
        return;
    }
    pending_.append(text.substr(0, last_newline + 1));
    std::string complete;
    complete.swap(pending_);
    pending_.assign(text.substr(last_newline + 1));
    write_all(complete);
}

void LineWriter::flush() {
    std::string complete;
    complete.swap(pending_);
    write_all(complete);
}

void LineWriter::write_all(std::string_view bytes) {
    int error = write_fully(fd_, bytes);
    // Nobody can read a closed standard output; dropping the text is what a program with its
    // output closed expects.
    if (error != 0 && error != EBADF)
        fail("failed printing to stdout: " + std::string(std::strerror(error)));
}

LineWriter& stdout_writer() {
    static LineWriter writer(1);
    return writer;
}

int write_fully(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // A write that takes nothing would be retried forever.
        if (written == 0) return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace lindorf
