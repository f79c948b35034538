// Device instance IDs on Linux.
//
// A device is named by its subsystem and its kernel name: SUBSYSTEM\NAME, for
// example net\eth0, block\sda, usb\1-1, tty\ttyUSB0, hid\0003:046D:C52B.0001. The
// lookup reports them upper-cased (NET\ETH0), as Windows reports its instance IDs,
// and an interface link name carries the same two parts with "#" between them:
// \\?\net#eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}.
//
// A kernel name may itself hold "#" (network interfaces may be named so), which
// the link name would turn into a backslash on the way back. "%" and "#" in a name
// are therefore written as "%25" and "%23", on both sides of the comparison.
#ifndef KESTRUNE_PLATFORM_LINUX_DEVICE_INSTANCE_H
#define KESTRUNE_PLATFORM_LINUX_DEVICE_INSTANCE_H

#include <string>
#include <string_view>

#include "base/guid.h"

namespace kestrune::platform {

// SUBSYSTEM\NAME in the case the kernel gives, before upper-casing.
std::u16string linux_instance_id(std::string_view subsystem, std::string_view kernelName);

// "\\?\" + the instance ID with "#" for "\" + "#" + the class in braces.
std::u16string interface_link_name(std::u16string_view instanceId, const Guid &interfaceClass);

} // namespace kestrune::platform

#endif
