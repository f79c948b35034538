// The console's INI reader. Whatever it reads, the store it writes must read
// back as the same store: every key and value comes through a write and a read
// unchanged. (A carriage return before a line end is the one exception: the
// reader takes CR LF as a line end, as a text-mode reader on Windows does.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config.h"

namespace {

std::string rendered(const std::string &text)
{
    Config config("=", "#");
    std::istringstream in(text);
    in >> config;
    std::ostringstream out;
    out << config;
    return out.str();
}

// The text with every carriage return that ends a line removed.
std::string without_line_end_returns(std::string text)
{
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string once = rendered(std::string(reinterpret_cast<const char *>(data), size));
    const std::string twice = rendered(once);
    if (without_line_end_returns(twice) != without_line_end_returns(once))
        std::abort();
    return 0;
}
