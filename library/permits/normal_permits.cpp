// Normal devices: each category stands for one device setup class (or none), denied
// by putting its DeviceClassText on the deny list and allowed by taking it off.
#include <array>
#include <cstdint>
#include <optional>

#include "core/boundary.h"
#include "kestrune.h"
#include "core/log.h"
#include "permits/device_class_text.h"
#include "policy/deny_list.h"

namespace kestrune {

namespace {

constexpr uint32_t kLastNormalDevice = QVX_KESTRUNE_NORMAL_DEVID_BT;

// By device ID. GPIO and dongles have no setup class: their empty text is refused
// by the deny list as too short.
constexpr std::array<std::optional<Guid>, kLastNormalDevice + 1> kNormalClasses = {{
    Guid{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, // Ports
    std::nullopt,                                                                      // GPIO
    std::nullopt,                                                                      // dongle
    Guid{0x4D36E96F, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, // Mouse
    Guid{0x4D36E96B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}}, // Keyboard
    Guid{0xCA3E7AB9, 0xB4C3, 0x4AE6, {0x82, 0x51, 0x57, 0x9E, 0xF9, 0x33, 0x89, 0x0F}}, // Camera
    Guid{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}}, // USB
    Guid{0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}}, // Bluetooth
}};

bool valid_device(int deviceId)
{
    return static_cast<uint32_t>(deviceId) <= kLastNormalDevice;
}

void print_normal_class(int deviceId, DeviceClassText &classText)
{
    if (const auto &guid = kNormalClasses[static_cast<size_t>(deviceId)])
        print_device_class(*guid, classText);
}

int QVX_KESTRUNE_set_normal_device_permit(int deviceId, int permission)
{
    DeviceClassText classText{};
    if (!valid_device(deviceId)) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    print_normal_class(deviceId, classText);
    // Only DENY denies; every other permission, in the table or not, allows.
    uint32_t ret = gpo_helper_set_restrictions_denydeviceclasses(permission, classText.text);
    if (ret != 0)
        return static_cast<int>(ret);
    ret = gpo_helper_get_restrictions_denydeviceclasses(&permission, classText.text);
    if (ret != 0) {
        log_wstream('E', __func__, __LINE__) << "gpo_helper_get_restrictions_denydeviceclasses ret="
                                             << static_cast<int>(ret);
        return static_cast<int>(ret);
    }
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

int QVX_KESTRUNE_get_normal_device_permit(int deviceId)
{
    int32_t permission = QVX_KESTRUNE_NORMAL_PERM_UNKNOWN;
    DeviceClassText classText{};
    if (!valid_device(deviceId)) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_NORMAL_PERM_UNKNOWN;
    }
    print_normal_class(deviceId, classText);
    uint32_t ret = gpo_helper_get_restrictions_denydeviceclasses(&permission, classText.text);
    if (ret != 0) {
        log_wstream('E', __func__, __LINE__) << "gpo_helper_get_restrictions_denydeviceclasses ret="
                                             << static_cast<int>(ret);
        return QVX_KESTRUNE_NORMAL_PERM_UNKNOWN;
    }
    return permission;
}

} // namespace

} // namespace kestrune

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_normal_device_permit(int deviceId, int permission)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, [=] {
        return kestrune::QVX_KESTRUNE_set_normal_device_permit(deviceId, permission);
    });
}

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_normal_device_permit(int deviceId)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_NORMAL_PERM_UNKNOWN, [=] {
        return kestrune::QVX_KESTRUNE_get_normal_device_permit(deviceId);
    });
}
