// The link-name decoder: the device instance ID behind an interface's symbolic
// link name. What it yields holds no number sign, stands in upper case, and comes
// back unchanged through the link name the Linux lookup builds for it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/guid.h"
#include "notify/link_name.h"
#include "platform/linux/device_instance.h"

using namespace kestrune;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr Guid kLanClass{0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::u16string link;
    for (size_t i = 0; i + 1 < size; i += 2)
        link += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    std::u16string id;
    const notify::LinkNameError error = notify::instance_id_from_link_name(link, id);
    check((error == notify::LinkNameError::kTooShort) == (link.size() <= 4));
    if (error != notify::LinkNameError::kNone)
        return 0;
    check(id.size() == link.substr(4).rfind(u'#'));
    check(id.find(u'#') == std::u16string::npos);

    std::u16string again;
    check(notify::instance_id_from_link_name(platform::interface_link_name(id, kLanClass), again) ==
          notify::LinkNameError::kNone);
    check(again == id);
    return 0;
}
