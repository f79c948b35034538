#include "permits/device_class_text.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "base/wide_text.h"

namespace kestrune {

void print_device_class(const Guid &guid, DeviceClassText &out)
{
    std::fill(std::begin(out.text), std::end(out.text), u'\0');
    wchar_t printed[64];
    int length = std::swprintf(printed, std::size(printed), L"{%08lX-%04X-%4X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                               static_cast<unsigned long>(guid.data1), unsigned{guid.data2}, unsigned{guid.data3},
                               unsigned{guid.data4[0]}, unsigned{guid.data4[1]}, unsigned{guid.data4[2]},
                               unsigned{guid.data4[3]}, unsigned{guid.data4[4]}, unsigned{guid.data4[5]},
                               unsigned{guid.data4[6]}, unsigned{guid.data4[7]});
    if (length <= 0)
        return;
    std::u16string text = wide_to_utf16(std::wstring_view(printed, static_cast<size_t>(length)));
    std::copy_n(text.begin(), std::min(text.size(), std::size(out.text) - 1), out.text);
}

} // namespace kestrune
