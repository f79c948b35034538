// Reading the kernel's device tree under /sys (the mount namespace's own: tests
// give it a tree of their own). Paths handed around are canonical, beginning
// with "/sys/devices/". Reading never changes a device.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_SYSFS_READER_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_SYSFS_READER_H

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::platform::sysfs {

inline constexpr const char *kRoot = "/sys";

// The attribute's text without its trailing newline; nullopt when it is missing
// or unreadable.
std::optional<std::string> attribute(const std::string &dir, const std::string &name);
bool has_entry(const std::string &dir, const std::string &name);
// The last component of what a link inside `dir` points to ("usb" for
// subsystem, "uvcvideo" for driver); empty when there is no such link.
std::string link_name(const std::string &dir, const std::string &link);
// The canonical path that `path` resolves to; empty when it does not exist.
std::string canonical(const std::string &path);
// Entry names of a directory, sorted; empty when it cannot be read.
std::vector<std::string> entries(const std::string &dir);

std::string base_name(const std::string &path);
std::string parent_path(const std::string &path);
// True when `ancestor` is `path` or one of the directories above it.
bool is_at_or_below(const std::string &path, const std::string &ancestor);

// One key of the device's uevent file ("DEVTYPE", "DRIVER", ...).
std::string uevent_value(const std::string &dir, const std::string &key);
// The sysfs "dev" attribute as a device number; 0 when there is none.
dev_t device_number(const std::string &dir);

// The nearest directory at or above `path`, up to /sys/devices, for which
// `match` holds; empty when none does.
std::string nearest(const std::string &path, const std::function<bool(const std::string &)> &match);
// The nearest USB interface at or above `path`.
std::string usb_interface_of(const std::string &path);

} // namespace kestrune::platform::sysfs

#endif
