// Runs a function in a forked child process and hands its 64-bit result back to the parent.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

namespace lindorf::test_support {

// The child's result, or 0 when it did not exit normally (crashed, killed, or failed to write).
inline std::uint64_t in_forked_child(const std::function<std::uint64_t()>& child) {
    constexpr auto size = static_cast<ssize_t>(sizeof(std::uint64_t));
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::uint64_t value = 0;
        try {
            value = child();
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(::write(fds[1], &value, sizeof(value)) == size ? 0 : 1);
    }
    ::close(fds[1]);
    std::uint64_t value = 0;
    const bool got = ::read(fds[0], &value, sizeof(value)) == size;
    ::close(fds[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? value : 0;
}

}  // namespace lindorf::test_support
