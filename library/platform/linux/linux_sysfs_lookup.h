// The device lookup on Linux, over sysfs.
//
// `root` is where sysfs is mounted: "/sys" for the live system, or a tree of the
// same layout that a test builds (class/<subsystem>/<name> and
// bus/<subsystem>/devices/<name>, each a device directory or a link to one).
// Enumerators are subsystems, matched case-insensitively; members are the entries
// of the subsystem's directory, sorted by name.
//
// The lookup remembers the texts of every device it has read while the device was
// present, and of every device of the reported subsystems at remember_present, so
// that a search without kDigcfPresent still finds a device that has gone. The
// memory keeps the most recent kRememberedDevices devices.
#ifndef KESTRUNE_PLATFORM_LINUX_LINUX_SYSFS_LOOKUP_H
#define KESTRUNE_PLATFORM_LINUX_LINUX_SYSFS_LOOKUP_H

#include <cstddef>
#include <memory>
#include <string>

#include "platform/device_lookup.h"

namespace kestrune::platform {

inline constexpr size_t kRememberedDevices = 4096;

// With `hardwareDatabase`, vendor names come from udev's database where installed.
std::shared_ptr<DeviceLookup> make_sysfs_device_lookup(std::string root, bool hardwareDatabase);

} // namespace kestrune::platform

#endif
