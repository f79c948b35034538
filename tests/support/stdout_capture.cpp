#include "support/stdout_capture.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

namespace kestrune::test {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char name[] = "/tmp/kestrune-stdout-XXXXXX";
    if ((file_ = mkstemp(name)) < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    // gtest reports failures on stdout too: when the test has failed, show what
    // was captured (its failure messages included) on stderr.
    if (::testing::Test::HasFailure()) {
        const std::string captured = text();
        std::fwrite(captured.data(), 1, captured.size(), stderr);
    }
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(file_);
}

std::string StdoutCapture::text()
{
    std::fflush(stdout);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = pread(file_, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

} // namespace kestrune::test
