// The four texts of one device, read from its sysfs directory:
//   description      its model or product name, else the name of its driver
//   friendly name    the network interface name, else the device node
//   bus description  the product string of the device or its nearest ancestor
//                    (what a USB device reports)
//   manufacturer     the vendor name from the hardware database, else the
//                    manufacturer string, else a textual vendor attribute
// An attribute that is missing or empty gives no text.
#ifndef KESTRUNE_PLATFORM_LINUX_SYSFS_DEVICE_H
#define KESTRUNE_PLATFORM_LINUX_SYSFS_DEVICE_H

#include <array>
#include <optional>
#include <string>

namespace kestrune::platform {

class HardwareDatabase;

using SysfsTexts = std::array<std::optional<std::string>, 4>;

// `device` is a member entry (a link into the device tree or a directory) under
// `root`, which bounds the walk up to ancestors. `vendors` may be null.
SysfsTexts read_sysfs_device_texts(const std::string &root, const std::string &device, HardwareDatabase *vendors);

} // namespace kestrune::platform

#endif
