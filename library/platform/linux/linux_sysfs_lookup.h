// The device lookup on Linux, over sysfs.
//
// `root` is where sysfs is mounted: "/sys" for the live system, or a tree of the
// same layout that a test builds (class/<subsystem>/<name> and
// bus/<subsystem>/devices/<name>, each a device directory or a link to one).
// Enumerators are subsystems, matched case-insensitively; members are the entries
// of the subsystem's directory, in the order the lookup first saw them (reading
// the directory sees the new ones in name order).
//
// An event must not cost a directory read: with thousands of devices that alone
// outlasts the socket's buffer. The lookup keeps each subsystem's entries indexed
// by instance ID and checks the candidates for the wanted ID with one access()
// each. It rereads the directory when it cannot trust the index and the wanted ID
// has no live entry. The index is trusted while a uevent source tells it every
// device added and removed (DeviceChanges), from a directory read made while that
// source listened, and no event was lost since.
//
// The lookup remembers the texts of every device it has read while the device was
// present, and of every device of the reported subsystems at remember_present, so
// that a search without kDigcfPresent still finds a device that has gone. A device
// keeps its texts while it is present; of those that have gone, the memory keeps
// the most recent `rememberedDevices`.
#ifndef KESTRUNE_PLATFORM_LINUX_LINUX_SYSFS_LOOKUP_H
#define KESTRUNE_PLATFORM_LINUX_LINUX_SYSFS_LOOKUP_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/device_lookup.h"

namespace kestrune::platform {

inline constexpr size_t kRememberedDevices = 4096;

// What a uevent source hears, told before the event is handled. Any thread.
class DeviceChanges {
public:
    virtual ~DeviceChanges() = default;
    // A source starts listening (its socket is bound) or stops.
    virtual void listening(bool on) = 0;
    // A device of `subsystem` named `name` was added (or renamed to `name`), or removed.
    virtual void device_added(std::string_view subsystem, std::string_view name) = 0;
    virtual void device_removed(std::string_view subsystem, std::string_view name) = 0;
    // The source's socket overflowed: some of the above went unheard.
    virtual void events_lost() = 0;
};

class SysfsDeviceLookup : public DeviceLookup, public DeviceChanges {};

// With `hardwareDatabase`, vendor names come from udev's database where installed.
std::shared_ptr<SysfsDeviceLookup> make_sysfs_device_lookup(std::string root, bool hardwareDatabase,
                                                            size_t rememberedDevices = kRememberedDevices);

// The lookup over /sys that system_device_lookup returns, for the uevent source.
std::shared_ptr<SysfsDeviceLookup> system_sysfs_device_lookup();

} // namespace kestrune::platform

#endif
