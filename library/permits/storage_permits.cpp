// Storage devices: a permission is the pair of removable-storage policy values
// "Deny_Read" and "Deny_Write" (REG_DWORD, 1 denied) under the category's key.
#include <cstdint>

#include "core/boundary.h"
#include "kestrune.h"
#include "core/log.h"
#include "platform/registry.h"
#include "policy/policy_registry.h"

namespace kestrune {

namespace {

// By device ID: CD-ROM and volume (removable disk) interface classes, lower case.
constexpr const char *kStoragePolicyKeys[] = {
    "Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
    "Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
};

constexpr char kDenyRead[] = "Deny_Read";
constexpr char kDenyWrite[] = "Deny_Write";

struct DenyValues {
    uint32_t read;
    uint32_t write;
};

// By permission ID, UNKNOWN to WRITE_OUT_ONLY.
constexpr DenyValues kValuesOfPermission[] = {
    {0, 0}, // UNKNOWN
    {1, 1}, // DENY
    {0, 0}, // ALLOW
    {0, 0}, // READ_WRITE
    {0, 1}, // READ_ONLY
    {0, 1}, // WRITE_IN_ONLY
    {1, 1}, // WRITE_OUT_ONLY
};
constexpr uint32_t kLastStoragePermission = QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY;

bool valid_device(int deviceId)
{
    return deviceId == QVX_KESTRUNE_STORAGE_DEVID_CDROM || deviceId == QVX_KESTRUNE_STORAGE_DEVID_UDISK;
}

bool write_deny_value(const char *key, const char *name, uint32_t value)
{
    return set_group_policy_key_value(key, name, GP_OP_SET_VALUE, platform::kRegDword, &value, sizeof value) == 0;
}

// The value read as a signed number, -1 when it is absent; false when the read
// failed otherwise.
bool read_deny_value(const char *key, const char *name, int32_t &value)
{
    uint32_t buffer = 0;
    uint32_t ret = get_group_policy_key_value(key, name, &buffer);
    if (ret == platform::kErrorFileNotFound) {
        value = -1;
        return true;
    }
    value = static_cast<int32_t>(buffer);
    return ret == platform::kErrorSuccess;
}

int QVX_KESTRUNE_set_storage_device_permit(int deviceId, int permission)
{
    if (!valid_device(deviceId)) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    const char *key = kStoragePolicyKeys[deviceId];
    if (static_cast<uint32_t>(permission) > kLastStoragePermission) {
        log_wstream('E', __func__, __LINE__) << "Error perm=" << permission << "!";
        return QVX_KESTRUNE_RESULT_INVALID_PARAM;
    }
    const DenyValues &values = kValuesOfPermission[permission];
    if (!write_deny_value(key, kDenyRead, values.read) || !write_deny_value(key, kDenyWrite, values.write))
        return QVX_KESTRUNE_RESULT_FAILED;
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

int QVX_KESTRUNE_get_storage_device_permit(int deviceId)
{
    if (!valid_device(deviceId)) {
        log_wstream('E', __func__, __LINE__) << "Error device_id=" << deviceId << "!";
        return QVX_KESTRUNE_STORAGE_PERM_UNKNOWN;
    }
    const char *key = kStoragePolicyKeys[deviceId];
    int32_t read = 0;
    int32_t write = 0;
    if (!read_deny_value(key, kDenyRead, read) || !read_deny_value(key, kDenyWrite, write))
        return QVX_KESTRUNE_STORAGE_PERM_UNKNOWN;

    if (read > 0) {
        if (write <= 0)
            log_printf("E KestruneCtl %s %d: read deny is deny, write deny is not set! %d\r\n", __func__, __LINE__,
                       write);
        return QVX_KESTRUNE_STORAGE_PERM_DENY;
    }
    if (write > 0)
        return QVX_KESTRUNE_STORAGE_PERM_READ_ONLY;
    // Deny_Read 0 with Deny_Write 0 or absent, or Deny_Read absent with Deny_Write 0.
    if (read == 0 || write == 0)
        return QVX_KESTRUNE_STORAGE_PERM_READ_WRITE;
    return QVX_KESTRUNE_STORAGE_PERM_UNKNOWN;
}

} // namespace

} // namespace kestrune

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_storage_device_permit(int deviceId, int permission)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, [=] {
        return kestrune::QVX_KESTRUNE_set_storage_device_permit(deviceId, permission);
    });
}

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_storage_device_permit(int deviceId)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, [=] {
        return kestrune::QVX_KESTRUNE_get_storage_device_permit(deviceId);
    });
}
