#include "platform/linux/linux_hwdb.h"

#include <libudev.h>

#include <cstring>

namespace kestrune::platform {

std::unique_ptr<HardwareDatabase> HardwareDatabase::open()
{
    udev *context = udev_new();
    if (context == nullptr)
        return nullptr;
    udev_hwdb *database = udev_hwdb_new(context);
    if (database == nullptr) {
        udev_unref(context);
        return nullptr;
    }
    return std::unique_ptr<HardwareDatabase>(new HardwareDatabase(context, database));
}

HardwareDatabase::~HardwareDatabase()
{
    udev_hwdb_unref(database_);
    udev_unref(context_);
}

std::optional<std::string> HardwareDatabase::vendor(const std::string &modalias)
{
    std::lock_guard<std::mutex> lock(mutex_);
    udev_list_entry *entry = udev_hwdb_get_properties_list_entry(database_, modalias.c_str(), 0);
    for (; entry != nullptr; entry = udev_list_entry_get_next(entry)) {
        const char *value = udev_list_entry_get_value(entry);
        if (std::strcmp(udev_list_entry_get_name(entry), "ID_VENDOR_FROM_DATABASE") == 0 && value != nullptr &&
            *value != '\0')
            return std::string(value);
    }
    return std::nullopt;
}

} // namespace kestrune::platform
