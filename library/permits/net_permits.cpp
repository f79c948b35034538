// Network device permits: Ethernet cards are denied or allowed through the Net
// setup class on the deny list, and their bandwidth is limited by the packet
// shaper, which takes effect at once and needs no policy object.
#include <cstdint>

#include "core/boundary.h"
#include "kestrune.h"
#include "core/log.h"
#include "permits/device_class_text.h"
#include "policy/deny_list.h"
#include "shaper/shaper.h"

namespace kestrune {

namespace {

// The deny-list value for a network permission: DENY lists the class, UNKNOWN
// and every other value take it off.
int32_t deny_list_value(int permission)
{
    switch (permission) {
    case QVX_KESTRUNE_NET_PERM_DENY:
        return 1;
    case QVX_KESTRUNE_NET_PERM_UNKNOWN:
        return 0;
    default:
        return 2;
    }
}

int QVX_KESTRUNE_set_net_device_permit(int deviceId, int permission, uint32_t speed)
{
    DeviceClassText classText{};
    if (permission == QVX_KESTRUNE_NET_PERM_LIMIT && speed > QVX_KESTRUNE_NET_SPEED_MAX_KBPS) {
        log_printf("E KestruneCtl %s %d: Error speed %d, [min %d, max %d]KB/s!\r\n", __func__, __LINE__,
                   static_cast<int>(speed), 0, static_cast<int>(QVX_KESTRUNE_NET_SPEED_MAX_KBPS));
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    if (deviceId != QVX_KESTRUNE_NET_DEVID_ETH_CARD) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    print_device_class(kNetSetupClass, classText);
    uint32_t result = gpo_helper_set_restrictions_denydeviceclasses(deny_list_value(permission), classText.text);
    if (result != 0)
        return static_cast<int>(result);
    int32_t listed = 0;
    result = gpo_helper_get_restrictions_denydeviceclasses(&listed, classText.text);
    if (result != 0) {
        log_wstream('E', __func__, __LINE__) << "gpo_helper_get_restrictions_denydeviceclasses ret=" << result;
        return static_cast<int>(result);
    }
    if (permission == QVX_KESTRUNE_NET_PERM_LIMIT) {
        if (shaper::startShaper(speed) != 0) {
            log_printf("E KestruneCtl %s %d: failed enable limit net speed or set limit net speed to %d!\r\n",
                       __func__, __LINE__, static_cast<int>(speed));
            return QVX_KESTRUNE_RESULT_FAILED;
        }
        return QVX_KESTRUNE_RESULT_SUCCESS;
    }
    shaper::stopShaper();
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

int QVX_KESTRUNE_get_net_device_permit(int deviceId, int *speedOut)
{
    DeviceClassText classText{};
    if (deviceId != QVX_KESTRUNE_NET_DEVID_ETH_CARD) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_NET_PERM_UNKNOWN;
    }
    print_device_class(kNetSetupClass, classText);
    int32_t listed = 0;
    uint32_t result = gpo_helper_get_restrictions_denydeviceclasses(&listed, classText.text);
    if (result != 0) {
        log_wstream('E', __func__, __LINE__) << "gpo_helper_get_restrictions_denydeviceclasses ret=" << result;
        return QVX_KESTRUNE_NET_PERM_UNKNOWN;
    }
    int permission = listed == 1   ? QVX_KESTRUNE_NET_PERM_DENY
                     : listed == 2 ? QVX_KESTRUNE_NET_PERM_ALLOW
                                   : QVX_KESTRUNE_NET_PERM_UNKNOWN;
    if (speedOut != nullptr)
        *speedOut = shaper::shaperStartSpeed();
    return permission;
}

} // namespace

} // namespace kestrune

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_net_device_permit(int deviceId, int permission, uint32_t speed)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, [=] {
        return kestrune::QVX_KESTRUNE_set_net_device_permit(deviceId, permission, speed);
    });
}

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_net_device_permit(int deviceId, int *speedOut)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_NET_PERM_UNKNOWN, [=] {
        return kestrune::QVX_KESTRUNE_get_net_device_permit(deviceId, speedOut);
    });
}
