#include "command_line.h"

#include <algorithm>
#include <charconv>

#include "command_error.h"
#include "kestrune.h"

namespace kestrune::cli {

namespace {

struct KnownOption {
    std::string_view name;
    bool takes_value;
};

constexpr KnownOption kOptions[] = {
    {"verbose", false},   {"json", false},  {"effective", false}, {"yes-this-namespace", false},
    {"speed", true},      {"help", false},  {"version", false},
};

const KnownOption *find_option(std::string_view name)
{
    for (const KnownOption &option : kOptions)
        if (option.name == name)
            return &option;
    return nullptr;
}

} // namespace

bool Invocation::has(std::string_view name) const
{
    return std::any_of(options.begin(), options.end(), [&](const Option &option) { return option.name == name; });
}

Invocation parse_invocation(std::span<const char *const> arguments)
{
    Invocation invocation;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        if (argument == "-h")
            argument = "--help";
        if (!argument.starts_with("--") || argument == "--") {
            if (argument.starts_with("-") && argument.size() > 1)
                throw usage_error("unknown option '" + std::string(argument) + "'");
            invocation.words.emplace_back(argument);
            continue;
        }
        std::string_view name = argument.substr(2);
        std::optional<std::string> value;
        if (size_t equals = name.find('='); equals != std::string_view::npos) {
            value = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const KnownOption *known = find_option(name);
        if (known == nullptr)
            throw usage_error("unknown option '--" + std::string(name) + "'");
        if (known->takes_value && !value) {
            if (i + 1 == arguments.size())
                throw usage_error("--" + std::string(name) + " needs a value");
            value = arguments[++i];
        }
        if (!known->takes_value && value)
            throw usage_error("--" + std::string(name) + " takes no value");
        invocation.options.push_back({std::string(name), value.value_or(""), invocation.words.size()});
    }
    return invocation;
}

void allow_only(const Invocation &invocation, std::string_view command,
                std::initializer_list<std::string_view> allowed)
{
    for (const Option &option : invocation.options)
        if (std::find(allowed.begin(), allowed.end(), option.name) == allowed.end())
            throw usage_error("'" + std::string(command) + "' does not take --" + option.name);
}

std::optional<uint32_t> parse_kbps(std::string_view text)
{
    uint32_t value = 0;
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > QVX_KESTRUNE_NET_SPEED_MAX_KBPS)
        return std::nullopt;
    return value;
}

} // namespace kestrune::cli
