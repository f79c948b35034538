// Vendor names from the hardware database that udev installs (hwdb.bin), read
// through libudev. Absent on machines without it; then nothing is known.
#ifndef KESTRUNE_PLATFORM_LINUX_LINUX_HWDB_H
#define KESTRUNE_PLATFORM_LINUX_LINUX_HWDB_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct udev;
struct udev_hwdb;

namespace kestrune::platform {

class HardwareDatabase {
public:
    // Null when the database is not installed.
    static std::unique_ptr<HardwareDatabase> open();
    ~HardwareDatabase();
    HardwareDatabase(const HardwareDatabase &) = delete;
    HardwareDatabase &operator=(const HardwareDatabase &) = delete;

    // ID_VENDOR_FROM_DATABASE for a modalias ("pci:v00008086d...", "usb:v0781p5567").
    // Any thread.
    std::optional<std::string> vendor(const std::string &modalias);

private:
    HardwareDatabase(udev *context, udev_hwdb *database) : context_(context), database_(database) {}

    std::mutex mutex_; // libudev objects are not thread-safe
    udev *context_;
    udev_hwdb *database_;
};

} // namespace kestrune::platform

#endif
