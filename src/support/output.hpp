// The module's own writer for standard output: text goes straight to a file descriptor, bypassing
// Python's sys.stdout, and is flushed at every line break.
#pragma once

#include <string>
#include <string_view>

namespace lindorf {

class LineWriter {
  public:
    explicit LineWriter(int fd) : fd_(fd) {}
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Buffers the text and writes out everything up to and including its last line break.
    // A failed write is an internal failure; a closed descriptor (EBADF) counts as written.
    void write(std::string_view text);
    // Writes out whatever is buffered, complete line or not.
    void flush();

  private:
    void write_all(std::string_view bytes);

    int fd_;
    std::string pending_;
};

// The writer for file descriptor 1, shared by every call into the module.
LineWriter& stdout_writer();

// Writes all of `bytes` to `fd`, going on after interrupted and partial writes; allocates
// nothing, so it can report running out of memory. Returns 0, or the errno of the failed write.
int write_fully(int fd, std::string_view bytes) noexcept;

}  // namespace lindorf
