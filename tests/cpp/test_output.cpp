// The line-buffered writer: what reaches the descriptor, and when, and how writes fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "support/error.hpp"
#include "support/output.hpp"

namespace lindorf {
namespace {

// A pipe whose read end never blocks, so a test can ask what has been written so far.
class Pipe {
  public:
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read_fd_ = fds[0];
        write_fd_ = fds[1];
        ::fcntl(read_fd_, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        close_read_end();
        if (write_fd_ >= 0) ::close(write_fd_);
    }
    int write_fd() const { return write_fd_; }
    void close_read_end() {
        if (read_fd_ >= 0) ::close(read_fd_);
        read_fd_ = -1;
    }
    std::string drain() {
        std::string out;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(read_fd_, buffer, sizeof buffer)) > 0) out.append(buffer, n);
        return out;
    }

  private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

TEST(LineWriter, HoldsTextUntilALineIsComplete) {
    Pipe pipe;
    LineWriter out(pipe.write_fd());
    out.write("Shape of ");
    EXPECT_EQ(pipe.drain(), "");
    out.write("y (3,)");
    EXPECT_EQ(pipe.drain(), "");
    out.write("\n");
    EXPECT_EQ(pipe.drain(), "Shape of y (3,)\n");
}

TEST(LineWriter, WritesEveryCompleteLineAndKeepsTheRest) {
    Pipe pipe;
    LineWriter out(pipe.write_fd());
    out.write("one\ntwo\nthr");
    EXPECT_EQ(pipe.drain(), "one\ntwo\n");
    out.write("ee\nfo");
    EXPECT_EQ(pipe.drain(), "three\n");
    out.flush();
    EXPECT_EQ(pipe.drain(), "fo");
    out.flush();
    EXPECT_EQ(pipe.drain(), "");
}

TEST(LineWriter, ClosedDescriptorCountsAsWritten) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);  // fds[1] now names no open file: write(2) fails with EBADF
    LineWriter out(fds[1]);
    EXPECT_NO_THROW(out.write("Shape of x matrix (3, 2)\n"));
    EXPECT_NO_THROW(out.write("partial"));
    EXPECT_NO_THROW(out.flush());
}

void expect_write_failure(LineWriter& out, const std::string& message) {
    try {
        out.write("Tree depth: 3\n");
        ADD_FAILURE() << "expected the write to fail";
    } catch (const InternalError& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

TEST(LineWriter, FullDeviceIsAnInternalFailure) {
    int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    LineWriter out(fd);
    out.write("no line break yet");  // buffered, so nothing fails
    expect_write_failure(out, "failed printing to stdout: No space left on device");
    ::close(fd);
}

TEST(LineWriter, PipeWithoutReaderIsAnInternalFailure) {
    // Without a reader the write raises SIGPIPE, which the interpreter ignores; so do we here.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    Pipe pipe;
    pipe.close_read_end();
    LineWriter out(pipe.write_fd());
    expect_write_failure(out, "failed printing to stdout: Broken pipe");
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(LineWriter, StdoutWriterIsOneSharedWriter) {
    EXPECT_EQ(&stdout_writer(), &stdout_writer());
}

}  // namespace
}  // namespace lindorf
