// Captures everything the process writes to its standard output (fd 1), the
// library's diagnostic lines included, between construction and text().
#ifndef KESTRUNE_TESTS_STDOUT_CAPTURE_H
#define KESTRUNE_TESTS_STDOUT_CAPTURE_H

#include <string>

namespace kestrune::test {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far; capturing goes on.
    std::string text();

private:
    int saved_ = -1;
    int file_ = -1;
};

// "KestruneCtl <name> <digits>:" becomes "KestruneCtl <name> #:", so that expected
// lines need not name source line numbers.
std::string without_line_numbers(const std::string &text);

} // namespace kestrune::test

#endif
