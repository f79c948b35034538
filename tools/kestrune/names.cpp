#include "names.h"

#include <cctype>
#include <cstring>

namespace kestrune::cli {

namespace {

constexpr Device kDevices[] = {
    {"serial", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_SERIAL},
    {"gpio", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_GPIO},
    {"dongle", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_DONGLE},
    {"mouse", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_MOUSE},
    {"keyboard", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD},
    {"camera", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_CAMERA},
    {"usb", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION},
    {"bt", QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_NORMAL_DEVID_BT},
    {"cdrom", QVX_KESTRUNE_DEVICE_TYPE_STORAGE, QVX_KESTRUNE_STORAGE_DEVID_CDROM},
    {"udisk", QVX_KESTRUNE_DEVICE_TYPE_STORAGE, QVX_KESTRUNE_STORAGE_DEVID_UDISK},
    {"eth", QVX_KESTRUNE_DEVICE_TYPE_NET, QVX_KESTRUNE_NET_DEVID_ETH_CARD},
};

// What the lookups return for a pair outside their tables.
constexpr std::string_view kUnknownIdentifier = "QVX_KESTRUNE_DEVID_UNKNOWN";

// The identifier of a permission, or nothing past the end of the category.
std::optional<std::string_view> permission_identifier(QVX_KESTRUNE_DEVICE_TYPE_E category, int permission)
{
    std::string_view identifier = QVX_KESTRUNE_get_perm_str_by_id(category, permission);
    if (identifier == kUnknownIdentifier)
        return std::nullopt;
    return identifier;
}

} // namespace

const char *Device::identifier() const
{
    return QVX_KESTRUNE_get_dev_str_by_id(category, id);
}

std::span<const Device> all_devices()
{
    return kDevices;
}

const Device *find_device(std::string_view text)
{
    for (const Device &device : kDevices)
        if (device.name == text || device.identifier() == text)
            return &device;
    return nullptr;
}

std::string_view category_name(QVX_KESTRUNE_DEVICE_TYPE_E category)
{
    switch (category) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL: return "normal";
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE: return "storage";
    case QVX_KESTRUNE_DEVICE_TYPE_NET: return "net";
    }
    return "unknown";
}

std::string permission_name(QVX_KESTRUNE_DEVICE_TYPE_E category, int permission)
{
    const std::optional<std::string_view> identifier = permission_identifier(category, permission);
    constexpr std::string_view marker = "_PERM_";
    const size_t at = identifier ? identifier->find(marker) : std::string_view::npos;
    if (at == std::string_view::npos)
        return "unknown";
    std::string name(identifier->substr(at + marker.size()));
    for (char &c : name)
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::optional<int> find_permission(QVX_KESTRUNE_DEVICE_TYPE_E category, std::string_view text)
{
    for (int permission = 0; const std::optional<std::string_view> identifier =
                                 permission_identifier(category, permission);
         ++permission)
        if (*identifier == text || (permission != 0 && permission_name(category, permission) == text))
            return permission;
    return std::nullopt;
}

std::string device_names()
{
    std::string names;
    for (const Device &device : kDevices)
        names += (names.empty() ? "" : " ") + std::string(device.name);
    return names;
}

std::string settable_permission_names(QVX_KESTRUNE_DEVICE_TYPE_E category)
{
    std::string names;
    for (int permission = 1; permission_identifier(category, permission); ++permission)
        names += (names.empty() ? "" : " ") + permission_name(category, permission);
    return names;
}

} // namespace kestrune::cli
