#include "notify/link_name.h"

#include <algorithm>

#include "platform/device_lookup.h"

namespace kestrune::notify {

LinkNameError instance_id_from_link_name(std::u16string_view linkName, std::u16string &instanceId)
{
    constexpr size_t kPrefixLength = 4;
    if (linkName.size() <= kPrefixLength)
        return LinkNameError::kTooShort;
    std::u16string_view rest = linkName.substr(kPrefixLength);
    size_t classSign = rest.rfind(u'#');
    if (classSign == std::u16string_view::npos)
        return LinkNameError::kNoNumberSign;
    instanceId.assign(rest.substr(0, classSign));
    std::replace(instanceId.begin(), instanceId.end(), u'#', u'\\');
    platform::upper_case_instance_id(instanceId);
    return LinkNameError::kNone;
}

} // namespace kestrune::notify
