// What the effective machine policy asks of the devices: the device kinds whose
// setup class is on the deny list (with the list switched on), whether the deny
// list reaches devices already present, and the read and write denials of the
// two storage kinds. Read from the effective policy tree, never from a file.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCED_POLICY_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCED_POLICY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/gpo_files/registry_tree.h"

namespace kestrune::platform {

// In the order of the short names the administrator's command uses.
enum class DeviceKind : uint8_t { serial, gpio, dongle, mouse, keyboard, camera, usb, bt, cdrom, udisk, eth };
inline constexpr size_t kDeviceKinds = 11;

// "serial", "gpio", ... "eth".
const char *device_kind_name(DeviceKind kind);

inline bool is_storage_kind(DeviceKind kind)
{
    return kind == DeviceKind::cdrom || kind == DeviceKind::udisk;
}

struct StorageLimits {
    bool denyRead = false;
    bool denyWrite = false;
};

struct EnforcedPolicy {
    std::array<bool, kDeviceKinds> denied{}; // kinds with a setup class: on the deny list
    bool retroactive = false;
    StorageLimits cdrom;
    StorageLimits udisk;
    // Classes on the deny list that stand for no device kind of this library.
    std::vector<std::string> foreignClasses;

    bool is_denied(DeviceKind kind) const { return denied[static_cast<size_t>(kind)]; }
    const StorageLimits &limits(DeviceKind kind) const { return kind == DeviceKind::cdrom ? cdrom : udisk; }
    bool denies_anything() const;
};

EnforcedPolicy read_enforced_policy(const RegNode &machine);

} // namespace kestrune::platform

#endif
