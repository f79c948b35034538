// Captures everything the process writes to its standard output (fd 1), the
// library's diagnostic lines included, between construction and text().
#ifndef KESTRUNE_TESTS_STDOUT_CAPTURE_H
#define KESTRUNE_TESTS_STDOUT_CAPTURE_H

#include <string>
#include <vector>

namespace kestrune::test {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far; capturing goes on.
    std::string text();
    // text() split at "\n", with a trailing "\r" kept in the line.
    std::vector<std::string> lines();

private:
    int saved_ = -1;
    int file_ = -1;
};

// Replaces every run of decimal digits that follows "KestruneCtl <name> " with "#",
// so that expected lines need not name source line numbers.
std::string without_line_numbers(const std::string &text);

} // namespace kestrune::test

#endif
