// A class or interface identifier with the field layout of the platform's GUID.
#ifndef KESTRUNE_BASE_GUID_H
#define KESTRUNE_BASE_GUID_H

#include <cstdint>
#include <string>

namespace kestrune {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

constexpr bool operator==(const Guid &a, const Guid &b)
{
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.data4[i] != b.data4[i])
            return false;
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, the registry's form.
std::string guid_text(const Guid &guid);

} // namespace kestrune

#endif
