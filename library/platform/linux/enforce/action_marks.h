// What Kestrune itself changed on devices, so that an allow undoes that and
// nothing an administrator did by hand. Two records:
//   - the marks file /run/kestrune/marks, written by the retroactive pass: one
//     line per action, tab-separated (kind, mechanism, target, identity, then
//     "key=value" details), texts escaped as \ooo like the kernel's paths. It lives
//     in /run because the changes it records do not survive a restart either;
//   - udev's own record of a device (/run/udev/data), where every rule of the
//     rules file leaves KESTRUNE_DENIED=<mechanism>.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_ACTION_MARKS_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_ACTION_MARKS_H

#include <map>
#include <string>
#include <vector>

#include "platform/linux/enforce/device_inventory.h"
#include "platform/linux/enforce/device_io.h"

namespace kestrune::platform {

inline constexpr const char *kMarksDir = "/run/kestrune";
inline constexpr const char *kMarksFile = "/run/kestrune/marks";

struct ActionMark {
    DeviceKind kind{};
    Mechanism action = Mechanism::none;
    std::string target;
    std::string identity; // what makes it the same device and not one plugged in since
    std::map<std::string, std::string> details; // driver, mounts, generic node modes...
    std::string label;    // the device as reported

    bool operator==(const ActionMark &) const = default;
};

std::string format_marks(const std::vector<ActionMark> &marks);
std::vector<ActionMark> parse_marks(const std::string &text);

std::vector<ActionMark> load_marks();
IoFailure save_marks(const std::vector<ActionMark> &marks);

// The identity of a target now: the USB bus address of the USB device at or
// above it, an input device's name, a block device's number and sequence.
std::string device_identity(Mechanism action, const std::string &target);

// The mechanism that the rules file left in the udev record of `eventPath`;
// empty when udev recorded none.
std::string udev_denied_mark(const std::string &eventPath);

} // namespace kestrune::platform

#endif
