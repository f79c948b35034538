// The devices present now that a device kind of the policy covers, read from
// /sys, each with what a deny does to it and which device the rules file's
// events name. A device of a covered kind that cannot be enforced is listed with
// the reason, so that it is reported rather than passed over.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_DEVICE_INVENTORY_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_DEVICE_INVENTORY_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/enforce/enforced_policy.h"

namespace kestrune::platform {

// How a deny takes a device away:
//   deauthorize  "0" into the USB device's or interface's authorized attribute
//   inhibit      "1" into the input device's inhibited attribute
//   unbind       the device's name into its driver's unbind attribute
//   offline      "offline" into the SCSI device's state attribute
//   read_only    BLKROSET on the block device (storage write denial only)
enum class Mechanism : uint8_t { none, deauthorize, inhibit, unbind, offline, read_only };
const char *mechanism_name(Mechanism mechanism);

struct FoundDevice {
    DeviceKind kind{};
    std::string path;   // sysfs path of the device (reported)
    std::string label;  // what the report names: the interface name for a network card, else `path`
    std::string event;  // the device whose udev event the rules act on
    std::string target; // the device the deny acts on
    Mechanism deny = Mechanism::none;
    std::string unenforceable; // why it cannot be enforced; empty when it can
    bool builtin = false;      // a keyboard or pointer on i8042, I2C or a fixed port
    bool off = false;          // already deauthorised, inhibited or unbound
    dev_t block = 0;           // storage: the whole disk's device number
    dev_t generic = 0;         // CD-ROM: its SCSI generic node's device number
    std::string match;         // udev keys naming this very device across reboots
};

std::vector<FoundDevice> scan_devices();

// A glob for `devpath` (without "/sys") that survives renumbering: input,
// HID, SCSI and Bluetooth instance numbers and disk names become wildcards.
std::string stable_devpath_glob(const std::string &devpath);

} // namespace kestrune::platform

#endif
