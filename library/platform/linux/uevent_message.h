// Kernel uevents and the window messages they become: pure functions over the
// bytes of one netlink datagram.
//
// A kernel uevent reads "ACTION@DEVPATH\0KEY=VALUE\0KEY=VALUE\0...". Mapping onto
// the interface classes:
//   usb, DEVTYPE usb_device              GUID_DEVINTERFACE_USB_DEVICE
//   block, DEVTYPE disk                  GUID_DEVINTERFACE_DISK, or
//                                        GUID_DEVINTERFACE_CDROM for a SCSI CD-ROM (major 11)
//   hid                                  GUID_DEVINTERFACE_HID
//   net                                  GUID_NDIS_LAN_CLASS
//   tty outside /devices/virtual         GUID_DEVINTERFACE_COMPORT
//   usb-serial                           GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR
// "add" becomes DBT_DEVICEARRIVAL and "remove" DBT_DEVICEREMOVECOMPLETE with an
// interface record; a partition becomes a volume broadcast; every other uevent is
// a DBT_DEVNODES_CHANGED broadcast without a record.
#ifndef KESTRUNE_PLATFORM_LINUX_UEVENT_MESSAGE_H
#define KESTRUNE_PLATFORM_LINUX_UEVENT_MESSAGE_H

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "platform/device_events.h"

namespace kestrune::platform {

struct Uevent {
    std::string_view action;
    std::string_view devpath;
    std::string_view subsystem;
    std::string_view devtype;
    std::string_view major;

    // The last component of DEVPATH.
    std::string_view kernel_name() const;
};

// False for anything but a well-formed kernel uevent: no "@" header, a header
// that disagrees with ACTION or DEVPATH, a missing SUBSYSTEM, or udev's own
// re-broadcast (which begins "libudev"). The views point into `data`.
bool parse_uevent(const char *data, size_t size, Uevent &event);

// The interface class the device belongs to; null when it has none.
const Guid *interface_class_of(const Uevent &event);

// The message a window subscribed to `subscribed` receives for the event; false
// when it receives none (an interface of a class it did not ask for).
bool device_message_for(const Uevent &event, const std::vector<Guid> &subscribed, DeviceMessage &message);

} // namespace kestrune::platform

#endif
