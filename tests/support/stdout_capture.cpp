#include "support/stdout_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
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

std::vector<std::string> StdoutCapture::lines()
{
    std::vector<std::string> out;
    std::string all = text();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(all.substr(start));
            break;
        }
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string without_line_numbers(const std::string &text)
{
    // "KestruneCtl <name> <digits>:" becomes "KestruneCtl <name> #:".
    static const std::string tag = "KestruneCtl ";
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(tag, pos)) != std::string::npos;) {
        size_t name = hit + tag.size();
        size_t space = name;
        while (space < text.size() && (std::isalnum(static_cast<unsigned char>(text[space])) || text[space] == '_'))
            ++space;
        size_t digits = space + 1;
        size_t end = digits;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        bool numbered = space > name && space < text.size() && text[space] == ' ' && end > digits &&
                        end < text.size() && text[end] == ':';
        out.append(text, pos, digits - pos);
        if (numbered) {
            out += '#';
            pos = end;
        } else {
            pos = digits;
        }
        if (pos > text.size())
            pos = text.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

} // namespace kestrune::test
