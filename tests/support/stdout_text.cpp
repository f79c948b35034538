// The captured text taken apart, the same for every system's capture.
#include <regex>

#include "support/stdout_capture.h"

namespace kestrune::test {

std::string without_line_numbers(const std::string &text)
{
    static const std::regex numbered("(KestruneCtl \\w+ )\\d+:");
    return std::regex_replace(text, numbered, "$1#:");
}

} // namespace kestrune::test
