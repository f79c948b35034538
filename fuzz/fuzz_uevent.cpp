// The kernel uevent parser and the window message built from an event: any
// datagram either is refused or yields views inside it that agree with its
// header, and a message whose record describes its own size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/uevent_message.h"

using namespace kestrune;
using namespace kestrune::platform;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool inside(std::string_view view, const char *data, size_t size)
{
    return view.empty() || (view.data() >= data && view.data() + view.size() <= data + size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    // An exact copy, so that a read past the datagram is caught.
    std::vector<char> datagram(bytes, bytes + size);
    const char *data = datagram.data();
    Uevent event;
    if (!parse_uevent(data, size, event))
        return 0;
    for (std::string_view view : {event.action, event.devpath, event.subsystem, event.devtype, event.major})
        check(inside(view, data, size));
    const std::string_view header(data, strnlen(data, size));
    check(header == std::string(event.action) + "@" + std::string(event.devpath));
    check(!event.kernel_name().empty() && !event.subsystem.empty());

    const Guid *interfaceClass = interface_class_of(event);
    std::vector<Guid> subscribed;
    if (interfaceClass != nullptr)
        subscribed.push_back(*interfaceClass);
    DeviceMessage message;
    if (device_message_for(event, subscribed, message) && !message.record.empty()) {
        uint32_t recordSize = 0;
        std::memcpy(&recordSize, message.record.data(), sizeof recordSize);
        check(recordSize <= message.record.size() * sizeof(uint32_t));
    }
    return 0;
}
