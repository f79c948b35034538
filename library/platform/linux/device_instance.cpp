#include "platform/linux/device_instance.h"

#include "base/wide_text.h"

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
    std::u16string link = u"\\\\?\\";
    for (char16_t c : instanceId)
        link += c == u'\\' ? u'#' : c;
    link += u'#';
    for (char c : guid_text(interfaceClass))
        link += static_cast<char16_t>(c);
    return link;
}

} // namespace kestrune::platform
