#include "base/guid.h"

#include <cstdio>

namespace kestrune {

std::string guid_text(const Guid &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.data1), unsigned{guid.data2}, unsigned{guid.data3}, unsigned{guid.data4[0]},
                  unsigned{guid.data4[1]}, unsigned{guid.data4[2]}, unsigned{guid.data4[3]}, unsigned{guid.data4[4]},
                  unsigned{guid.data4[5]}, unsigned{guid.data4[6]}, unsigned{guid.data4[7]});
    return text;
}

} // namespace kestrune
