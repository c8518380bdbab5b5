// Internal failures: the exception carries the message and where it was raised, and a
// diagnostic reaches standard error at the moment of failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/error.hpp"

namespace lindorf {
namespace {

// Runs `body` with file descriptor 2 redirected to a temporary file; returns what it wrote.
std::string captured_stderr(const std::function<void()>& body) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) throw std::runtime_error("tmpfile");
    int saved = ::dup(2);
    ::dup2(::fileno(file), 2);
    try {
        body();
    } catch (...) {
        ::dup2(saved, 2);
        ::close(saved);
        std::fclose(file);
        throw;
    }
    ::dup2(saved, 2);
    ::close(saved);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(Fail, ThrowsWithMessageAndCallSite) {
    unsigned line = 0;
    std::string diagnostic = captured_stderr([&] {
        try {
            line = __LINE__ + 1;
            fail("range end index 9 out of range for slice of length 8");
        } catch (const InternalError& error) {
            EXPECT_STREQ(error.what(), "range end index 9 out of range for slice of length 8");
            EXPECT_TRUE(ends_with(error.file(), "test_error.cpp")) << error.file();
            EXPECT_EQ(error.line(), line);
            return;
        }
        ADD_FAILURE() << "fail() returned";
    });
    EXPECT_EQ(diagnostic, "lindorf: internal failure at " + std::string(__FILE__) + ":" +
                              std::to_string(line) +
                              ": range end index 9 out of range for slice of length 8\n");
}

TEST(Fail, IsAStdException) {
    // The module's guard relies on this to treat every failure alike.
    captured_stderr([] { EXPECT_THROW(fail("boom"), std::runtime_error); });
}

TEST(Check, PassingConditionNeitherThrowsNorBuildsTheMessage) {
    int messages_built = 0;
    auto message = [&] {
        ++messages_built;
        return std::string("never");
    };
    std::string diagnostic = captured_stderr([&] { LINDORF_CHECK(1 + 1 == 2, message()); });
    EXPECT_EQ(messages_built, 0);
    EXPECT_EQ(diagnostic, "");
}

TEST(Check, FailingConditionReportsTheCheckSite) {
    unsigned line = 0;
    std::string diagnostic = captured_stderr([&] {
        try {
            line = __LINE__ + 1;
            LINDORF_CHECK(2 < 1, "index out of bounds: the len is " + std::to_string(0));
        } catch (const InternalError& error) {
            EXPECT_STREQ(error.what(), "index out of bounds: the len is 0");
            EXPECT_EQ(error.line(), line);
        }
    });
    EXPECT_EQ(diagnostic, "lindorf: internal failure at " + std::string(__FILE__) + ":" +
                              std::to_string(line) + ": index out of bounds: the len is 0\n");
}

}  // namespace
}  // namespace lindorf
