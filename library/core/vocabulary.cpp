// The three lookups between device and permission IDs and their identifier
// strings. Stateless; the tables are constant and shared by every thread.
#include <cstring>
#include <iterator>
#include <span>

#include "kestrune.h"
#include "core/log.h"

namespace {

constexpr const char *kUnknown = "QVX_KESTRUNE_DEVID_UNKNOWN";

constexpr const char *kNormalDevices[] = {
    "QVX_KESTRUNE_NORMAL_DEVID_SERIAL", "QVX_KESTRUNE_NORMAL_DEVID_GPIO",
    "QVX_KESTRUNE_NORMAL_DEVID_DONGLE", "QVX_KESTRUNE_NORMAL_DEVID_MOUSE",
    "QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD", "QVX_KESTRUNE_NORMAL_DEVID_CAMERA",
    "QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION", "QVX_KESTRUNE_NORMAL_DEVID_BT",
};
constexpr const char *kStorageDevices[] = {
    "QVX_KESTRUNE_STORAGE_DEVID_CDROM", "QVX_KESTRUNE_STORAGE_DEVID_UDISK",
};
constexpr const char *kNetDevices[] = {
    "QVX_KESTRUNE_NET_DEVID_ETH_CARD",
};

constexpr const char *kNormalPerms[] = {
    "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN", "QVX_KESTRUNE_NORMAL_PERM_DENY",
    "QVX_KESTRUNE_NORMAL_PERM_ALLOW",
};
constexpr const char *kStoragePerms[] = {
    "QVX_KESTRUNE_STORAGE_PERM_UNKNOWN",       "QVX_KESTRUNE_STORAGE_PERM_DENY",
    "QVX_KESTRUNE_STORAGE_PERM_ALLOW",         "QVX_KESTRUNE_STORAGE_PERM_READ_WRITE",
    "QVX_KESTRUNE_STORAGE_PERM_READ_ONLY",     "QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY",
    "QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY",
};
constexpr const char *kNetPerms[] = {
    "QVX_KESTRUNE_NET_PERM_UNKNOWN",  "QVX_KESTRUNE_NET_PERM_DENY",
    "QVX_KESTRUNE_NET_PERM_ALLOW",    "QVX_KESTRUNE_NET_PERM_NO_LIMIT",
    "QVX_KESTRUNE_NET_PERM_LIMIT",
};

std::span<const char *const> devices_of(int type)
{
    switch (type) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL: return kNormalDevices;
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE: return kStorageDevices;
    case QVX_KESTRUNE_DEVICE_TYPE_NET: return kNetDevices;
    default: return {};
    }
}

std::span<const char *const> perms_of(int type)
{
    switch (type) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL: return kNormalPerms;
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE: return kStoragePerms;
    case QVX_KESTRUNE_DEVICE_TYPE_NET: return kNetPerms;
    default: return {};
    }
}

// The range test takes the ID as unsigned, so a negative ID is simply too large.
const char *lookup(std::span<const char *const> table, int id)
{
    auto index = static_cast<unsigned>(id);
    return index < table.size() ? table[index] : kUnknown;
}

} // namespace

KESTRUNE_API const char *KESTRUNE_CALL QVX_KESTRUNE_get_dev_str_by_id(QVX_KESTRUNE_DEVICE_TYPE_E type, int deviceId)
{
    return lookup(devices_of(type), deviceId);
}

KESTRUNE_API const char *KESTRUNE_CALL QVX_KESTRUNE_get_perm_str_by_id(QVX_KESTRUNE_DEVICE_TYPE_E type, int permission)
{
    return lookup(perms_of(type), permission);
}

// The const result belongs to the declaration's decorated name (kestrune.h).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
KESTRUNE_API const int KESTRUNE_CALL QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_E type,
                                                                     const char *permStr)
{
    using kestrune::log_printf;
    if (permStr == nullptr) {
        log_printf("E KestruneCtl %s %d: invalid perm_str\r\n", __func__, __LINE__);
        return -2;
    }
    std::span<const char *const> table = perms_of(type);
    for (size_t id = 0; id < table.size(); ++id) {
        if (std::strcmp(table[id], permStr) == 0)
            return static_cast<int>(id);
    }
    log_printf("E KestruneCtl %s %d: perm_str=[%s] not found!\r\n", __func__, __LINE__, permStr);
    return -1;
}
#pragma GCC diagnostic pop
