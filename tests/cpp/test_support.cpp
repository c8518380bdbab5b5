// Internal failures and the line-buffered writer for standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/error.hpp"
#include "support/output.hpp"
#include "tree_testing.hpp"

namespace lindorf {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing_support::failure_of;

TEST(Check, FailureCarriesMessageAndSiteAndReportsThemOnStderr) {
    const std::string message = "range end index 9 out of range for slice of length 8";
    int built = 0;
    auto build = [&] {
        ++built;
        return message;
    };
    CaptureStderr();
    LINDORF_CHECK(1 + 1 == 2, build());
    EXPECT_EQ(built, 0);  // a passing check never builds its message
    const unsigned line = __LINE__ + 2;
    try {
        LINDORF_CHECK(2 < 1, build());
        ADD_FAILURE() << "a failing check returned";
    } catch (const InternalError& error) {
        EXPECT_EQ(error.what(), message);
        EXPECT_STREQ(error.file(), __FILE__);
        EXPECT_EQ(error.line(), line);
    }
    EXPECT_EQ(GetCapturedStderr(), "lindorf: internal failure at " + std::string(__FILE__) + ":" +
                                       std::to_string(line) + ": " + message + "\n");
}

// Everything written to `fd` so far, read from the start of the file.
std::string written(int fd) {
    std::string text(4096, '\0');
    text.resize(static_cast<std::size_t>(::pread(fd, text.data(), text.size(), 0)));
    return text;
}

TEST(LineWriter, WritesCompleteLinesAndHoldsTheRestUntilFlushed) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = ::fileno(file);
    LineWriter out(fd);
    out.write("Shape of ");
    EXPECT_EQ(written(fd), "");
    out.write("y (3,)\ntwo\nthr");
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\n");
    out.write("ee\nfo");
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\nthree\n");
    out.flush();
    EXPECT_EQ(written(fd), "Shape of y (3,)\ntwo\nthree\nfo");
    std::fclose(file);
}

TEST(LineWriter, ClosedDescriptorCountsAsWrittenOtherFailuresRaise) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);  // now names no open file: write(2) fails with EBADF
    LineWriter closed(fds[1]);
    EXPECT_NO_THROW(closed.write("Shape of x matrix (3, 2)\npartial"));
    EXPECT_NO_THROW(closed.flush());
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    LineWriter full(fd);
    full.write("no line break yet");  // buffered, so nothing fails
    CaptureStderr();
    EXPECT_EQ(failure_of([&] { full.write("Tree depth: 3\n"); }),
              "failed printing to stdout: No space left on device");
    GetCapturedStderr();
    ::close(fd);
}

}  // namespace
}  // namespace lindorf
