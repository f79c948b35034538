#include "platform/linux/uevent_message.h"

#include <algorithm>
#include <cstring>

#include "platform/linux/device_instance.h"

namespace kestrune::platform {

namespace {

constexpr std::string_view kScsiCdromMajor = "11";

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// Copies a record of `bytes` bytes into 32-bit units, so that it is aligned for
// the broadcast structures.
template <typename Record>
void store_record(DeviceMessage &message, const Record &record, size_t bytes)
{
    message.record.assign((bytes + sizeof(uint32_t) - 1) / sizeof(uint32_t), 0);
    std::memcpy(message.record.data(), &record, std::min(bytes, sizeof record));
}

void store_interface_record(DeviceMessage &message, const Guid &interfaceClass, std::u16string_view linkName)
{
    constexpr size_t kNameOffset = offsetof(DevBroadcastDeviceInterface, dbcc_name);
    size_t bytes = kNameOffset + (linkName.size() + 1) * sizeof(char16_t);
    DevBroadcastDeviceInterface head{};
    head.dbcc_size = static_cast<uint32_t>(bytes);
    head.dbcc_devicetype = kDbtDevtypDeviceInterface;
    head.dbcc_classguid = interfaceClass;
    store_record(message, head, kNameOffset);
    message.record.resize((bytes + sizeof(uint32_t) - 1) / sizeof(uint32_t), 0);
    std::memcpy(reinterpret_cast<unsigned char *>(message.record.data()) + kNameOffset, linkName.data(),
                linkName.size() * sizeof(char16_t));
}

} // namespace

std::string_view Uevent::kernel_name() const
{
    size_t slash = devpath.rfind('/');
    return slash == std::string_view::npos ? devpath : devpath.substr(slash + 1);
}

bool parse_uevent(const char *data, size_t size, Uevent &event)
{
    event = Uevent{};
    std::string_view whole(data, size);
    size_t end = whole.find('\0');
    std::string_view header = whole.substr(0, end);
    size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0 || starts_with(header, "libudev"))
        return false;
    while (end != std::string_view::npos && end + 1 < whole.size()) {
        size_t start = end + 1;
        end = whole.find('\0', start);
        std::string_view field = whole.substr(start, end == std::string_view::npos ? end : end - start);
        size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = field.substr(0, equals);
        std::string_view value = field.substr(equals + 1);
        if (key == "ACTION")
            event.action = value;
        else if (key == "DEVPATH")
            event.devpath = value;
        else if (key == "SUBSYSTEM")
            event.subsystem = value;
        else if (key == "DEVTYPE")
            event.devtype = value;
        else if (key == "MAJOR")
            event.major = value;
    }
    return event.action == header.substr(0, at) && event.devpath == header.substr(at + 1) &&
           !event.subsystem.empty() && !event.kernel_name().empty();
}

const Guid *interface_class_of(const Uevent &event)
{
    std::string_view subsystem = event.subsystem;
    if (subsystem == "usb")
        return event.devtype == "usb_device" ? &kGuidDevinterfaceUsbDevice : nullptr;
    if (subsystem == "block") {
        if (event.devtype != "disk")
            return nullptr;
        return event.major == kScsiCdromMajor ? &kGuidDevinterfaceCdrom : &kGuidDevinterfaceDisk;
    }
    if (subsystem == "hid")
        return &kGuidDevinterfaceHid;
    if (subsystem == "net")
        return &kGuidNdisLanClass;
    if (subsystem == "tty")
        return starts_with(event.devpath, "/devices/virtual/") ? nullptr : &kGuidDevinterfaceComport;
    if (subsystem == "usb-serial")
        return &kGuidDevinterfaceSerenumBusEnumerator;
    return nullptr;
}

bool device_message_for(const Uevent &event, const std::vector<Guid> &subscribed, DeviceMessage &message)
{
    message.message = kWmDeviceChange;
    message.record.clear();
    bool add = event.action == "add";
    if (!add && event.action != "remove") {
        message.wParam = kDbtDevNodesChanged;
        return true;
    }
    message.wParam = add ? kDbtDeviceArrival : kDbtDeviceRemoveComplete;
    if (event.subsystem == "block" && event.devtype == "partition") {
        DevBroadcastVolume volume{};
        volume.dbcv_size = sizeof volume;
        volume.dbcv_devicetype = kDbtDevtypVolume;
        store_record(message, volume, sizeof volume);
        return true;
    }
    const Guid *interfaceClass = interface_class_of(event);
    if (interfaceClass == nullptr) {
        message.wParam = kDbtDevNodesChanged;
        return true;
    }
    if (std::find(subscribed.begin(), subscribed.end(), *interfaceClass) == subscribed.end())
        return false;
    store_interface_record(message, *interfaceClass,
                           interface_link_name(linux_instance_id(event.subsystem, event.kernel_name()), *interfaceClass));
    return true;
}

} // namespace kestrune::platform
