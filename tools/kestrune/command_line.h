// The command line as words and options. Options may stand anywhere; each one
// remembers how many words came before it, so that "set" can tie a --speed to
// the pair it follows.
#ifndef KESTRUNE_TOOLS_COMMAND_LINE_H
#define KESTRUNE_TOOLS_COMMAND_LINE_H

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::cli {

struct Option {
    std::string name;  // without the leading "--"
    std::string value; // only for options that take one
    size_t position;   // number of words before it
};

struct Invocation {
    std::vector<std::string> words;
    std::vector<Option> options;

    bool has(std::string_view name) const;
};

// Throws a usage error for an unknown option or one that lacks its value.
Invocation parse_invocation(std::span<const char *const> arguments);

// Throws a usage error when `invocation` holds an option outside `allowed`.
void allow_only(const Invocation &invocation, std::string_view command,
                std::initializer_list<std::string_view> allowed);

// A bandwidth in KB/s: decimal digits only, at most the library's maximum.
std::optional<uint32_t> parse_kbps(std::string_view text);

} // namespace kestrune::cli

#endif
