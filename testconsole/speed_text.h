// The bandwidth text of the test configuration as a number.
#ifndef KESTRUNE_TESTCONSOLE_SPEED_TEXT_H
#define KESTRUNE_TESTCONSOLE_SPEED_TEXT_H

#include <cstdint>
#include <string_view>

struct SpeedNumber {
    int32_t value; // the number; saturated at the int32 limits when it does not fit
    bool fits;     // false when the number lies outside the signed 32-bit range
};

// Reads the text as atoi does (leading whitespace, an optional sign, decimal
// digits up to the first other character; no digits give 0), but reports a
// number beyond 32 bits instead of wrapping it into range: atoi's overflow is
// undefined, and in practice "4294967396" would come out as 100.
SpeedNumber parse_speed_text(std::string_view text);

#endif
