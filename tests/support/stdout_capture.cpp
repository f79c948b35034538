#include "support/stdout_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
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
    static const std::regex number("(KestruneCtl [A-Za-z_]+ )[0-9]+:");
    return std::regex_replace(text, number, "$1#:");
}

} // namespace kestrune::test
