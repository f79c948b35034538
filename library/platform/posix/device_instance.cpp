#include "platform/posix/device_instance.h"

#include <cstdio>

#include "core/wide_text.h"

namespace kestrune::platform {

std::u16string linux_instance_id(std::string_view subsystem, std::string_view kernelName)
{
    std::string id(subsystem);
    id += '\\';
    for (char c : kernelName) {
        if (c == '%')
            id += "%25";
        else if (c == '#')
            id += "%23";
        else
            id += c;
    }
    return widen(id);
}

std::u16string interface_link_name(std::u16string_view instanceId, const Guid &interfaceClass)
{
    char braces[40];
    std::snprintf(braces, sizeof braces, "#{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(interfaceClass.data1), static_cast<unsigned>(interfaceClass.data2),
                  static_cast<unsigned>(interfaceClass.data3), interfaceClass.data4[0], interfaceClass.data4[1],
                  interfaceClass.data4[2], interfaceClass.data4[3], interfaceClass.data4[4],
                  interfaceClass.data4[5], interfaceClass.data4[6], interfaceClass.data4[7]);
    std::u16string link = u"\\\\?\\";
    for (char16_t c : instanceId)
        link += c == u'\\' ? u'#' : c;
    for (const char *p = braces; *p != '\0'; ++p)
        link += static_cast<char16_t>(*p);
    return link;
}

} // namespace kestrune::platform
