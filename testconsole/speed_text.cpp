#include "speed_text.h"

#include <limits>

SpeedNumber parse_speed_text(std::string_view text)
{
    constexpr std::string_view whitespace = " \t\n\v\f\r";
    size_t at = 0;
    while (at < text.size() && whitespace.find(text[at]) != std::string_view::npos)
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';

    // The magnitude stops growing once it is past every int32 value, so no digit
    // count can overflow it.
    constexpr int64_t past_range = int64_t{std::numeric_limits<int32_t>::max()} + 2;
    int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (magnitude < past_range)
            magnitude = magnitude * 10 + (text[at] - '0');
    }

    const int64_t number = negative ? -magnitude : magnitude;
    if (number > std::numeric_limits<int32_t>::max())
        return {std::numeric_limits<int32_t>::max(), false};
    if (number < std::numeric_limits<int32_t>::min())
        return {std::numeric_limits<int32_t>::min(), false};
    return {static_cast<int32_t>(number), true};
}
