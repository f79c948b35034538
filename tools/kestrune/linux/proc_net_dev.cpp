#include "linux/proc_net_dev.h"

#include <charconv>

namespace kestrune::cli::linux_host {

namespace {

// The next blank-separated decimal number of `text` from `at`.
std::optional<uint64_t> next_number(std::string_view text, size_t &at)
{
    at = text.find_first_not_of(' ', at);
    if (at == std::string_view::npos)
        return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (error != std::errc() || (end != text.data() + text.size() && *end != ' '))
        return std::nullopt;
    at = static_cast<size_t>(end - text.data());
    return value;
}

} // namespace

std::optional<host::Traffic> parse_proc_net_dev(std::string_view text)
{
    host::Traffic total;
    size_t line_number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (++line_number <= 2 || line.empty())
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        std::string_view counters = line.substr(colon + 1);
        size_t at = 0;
        uint64_t fields[9];
        for (uint64_t &field : fields) {
            const std::optional<uint64_t> number = next_number(counters, at);
            if (!number)
                return std::nullopt;
            field = *number;
        }
        total.received += fields[0];
        total.sent += fields[8];
    }
    if (line_number < 2)
        return std::nullopt;
    return total;
}

} // namespace kestrune::cli::linux_host
