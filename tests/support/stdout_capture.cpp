#include "support/stdout_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace kestrune::test {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char name[] = "/tmp/kestrune-stdout-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    // gtest reports failures on stdout too: when the test has failed, show what
    // was captured (its failure messages included) on stderr.
    if (::testing::Test::HasFailure()) {
        std::string captured = text();
        std::fwrite(captured.data(), 1, captured.size(), stderr);
    }
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(file_);
}

std::string StdoutCapture::text()
{
    std::fflush(stdout);
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(file_, buffer, sizeof buffer, offset);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return out;
}

} // namespace kestrune::test
