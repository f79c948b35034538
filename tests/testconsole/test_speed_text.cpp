// Bandwidth texts: read as atoi reads them, with every number beyond 32 bits
// reported instead of wrapped.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "speed_text.h"

namespace {

struct SpeedCase {
    const char *text;
    int32_t value;
    bool fits;
};

const SpeedCase speed_cases[] = {
    {"", 0, true},
    {"abc", 0, true},
    {" \t\n\v\f\r+12kb", 12, true},
    {"0012", 12, true},
    {"-1", -1, true},
    {"- 1", 0, true},
    {"+-1", 0, true},
    {"1000000000", 1000000000, true},
    {"2147483647", INT32_MAX, true},
    {"-2147483648", INT32_MIN, true},
    {"2147483648", INT32_MAX, false},
    {"-2147483649", INT32_MIN, false},
    {"4294967396", INT32_MAX, false},
    {"000000000000000000000000000100", 100, true},
    {"99999999999999999999999999999", INT32_MAX, false},
    {"-99999999999999999999999999999", INT32_MIN, false},
};

TEST(SpeedText, ReadsAsAtoiAndReportsOverflow)
{
    for (const SpeedCase &c : speed_cases) {
        const SpeedNumber number = parse_speed_text(c.text);
        EXPECT_EQ(number.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(number.fits, c.fits) << '"' << c.text << '"';
        if (c.fits) {
            EXPECT_EQ(number.value, std::atoi(c.text)) << '"' << c.text << '"';
        }
    }
}

} // namespace
