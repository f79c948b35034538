#include "device_perm.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include "config.h"
#include "kestrune.h"
#include "speed_text.h"

namespace {

struct Category {
    QVX_KESTRUNE_DEVICE_TYPE_E type;
    int devices;     // device IDs 0 .. devices - 1 are driven
    int permissions; // permission IDs 0 .. permissions - 1 are accepted
};

constexpr Category categories[] = {
    {QVX_KESTRUNE_DEVICE_TYPE_NORMAL, 8, 3},
    {QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 2, 7},
    {QVX_KESTRUNE_DEVICE_TYPE_NET, 1, 5},
};

constexpr uint32_t max_speed = 1000000000;
const char *const speed_suffix = "_SPEED";

// The net device's permission goes with its bandwidth text. Returns the set
// call's result, or nothing when the speed is out of range and no call was made.
std::optional<int> set_net_permit(const Config &config, const std::string &key, int device,
                                  int permission)
{
    const std::string text = config.read(key + speed_suffix, "0");
    const SpeedNumber speed = parse_speed_text(text);
    // A negative number, taken as unsigned, is beyond the maximum as well.
    if (!speed.fits || static_cast<uint32_t>(speed.value) > max_speed) {
        std::cout << "KESTRUNE_TEST ERR: invalid speed=" << text << "(" << speed.value
                  << "), max=" << max_speed << std::endl;
        return std::nullopt;
    }
    return QVX_KESTRUNE_set_net_device_permit(device, permission,
                                              static_cast<uint32_t>(speed.value));
}

std::optional<int> set_permit(const Config &config, QVX_KESTRUNE_DEVICE_TYPE_E type,
                              const std::string &key, int device, int permission)
{
    switch (type) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL:
        return QVX_KESTRUNE_set_normal_device_permit(device, permission);
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE:
        return QVX_KESTRUNE_set_storage_device_permit(device, permission);
    case QVX_KESTRUNE_DEVICE_TYPE_NET:
        return set_net_permit(config, key, device, permission);
    }
    return std::nullopt;
}

// Reads one device's permission; the net device also reports its speed, which
// goes into the configuration when it is not negative.
int get_permit(Config &config, QVX_KESTRUNE_DEVICE_TYPE_E type, const std::string &key,
               int device, int &speed)
{
    switch (type) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL:
        return QVX_KESTRUNE_get_normal_device_permit(device);
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE:
        return QVX_KESTRUNE_get_storage_device_permit(device);
    case QVX_KESTRUNE_DEVICE_TYPE_NET: {
        speed = 0;
        const int permission = QVX_KESTRUNE_get_net_device_permit(device, &speed);
        if (speed >= 0)
            config.add(key + speed_suffix, std::to_string(speed));
        return permission;
    }
    }
    return 0;
}

} // namespace

int write_all_device_perm(Config &config, int32_t *counter)
{
    for (const Category &category : categories) {
        for (int device = 0; device < category.devices; ++device) {
            const std::string key = QVX_KESTRUNE_get_dev_str_by_id(category.type, device);
            const std::string value = config.read(key, "def");
            if (value == "def")
                continue;

            const int permission = QVX_KESTRUNE_get_perm_id_by_str(category.type, value.c_str());
            if (permission < 0 || permission >= category.permissions) {
                std::cout << "KESTRUNE_TEST ERR: read dev " << key << ", permCStr=" << value
                          << ", permID=" << permission << " is not valid!" << std::endl;
                continue;
            }

            const std::optional<int> result =
                set_permit(config, category.type, key, device, permission);
            if (!result)
                continue;
            if (*result != 0)
                std::cout << "KESTRUNE_TEST ERR: Call set permit ret=" << *result << std::endl;
            else
                ++*counter;
            std::cout << "KESTRUNE_TEST DBG: ===> write DEV=" << key << ", perm=" << value
                      << std::endl;
        }
    }
    return 0;
}

int read_all_device_perm(Config &config)
{
    std::cout << "KESTRUNE_TEST DBG: ================ read all perm ================" << std::endl;
    int speed = 0;
    for (const Category &category : categories) {
        for (int device = 0; device < category.devices; ++device) {
            const std::string key = QVX_KESTRUNE_get_dev_str_by_id(category.type, device);
            const int permission = get_permit(config, category.type, key, device, speed);
            const char *permission_text = QVX_KESTRUNE_get_perm_str_by_id(category.type, permission);
            config.add(key, permission_text);
            std::cout << "KESTRUNE_TEST DBG: DEV=" << key << ", perm=" << permission_text
                      << ", speed=" << speed << std::endl;
        }
    }
    std::cout << "KESTRUNE_TEST DBG: ================ read all perm done ================"
              << std::endl;
    return 0;
}
