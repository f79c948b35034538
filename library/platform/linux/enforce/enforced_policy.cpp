#include "platform/linux/enforce/enforced_policy.h"

#include <endian.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace kestrune::platform {

namespace {

constexpr const char16_t *kRestrictionsKey = u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
constexpr const char16_t *kStorageKey = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices";
constexpr uint32_t kRegSzType = 1;
constexpr uint32_t kRegExpandSzType = 2;
constexpr uint32_t kRegDwordType = 4;

// The setup classes that the permits put on the deny list, by kind.
constexpr std::pair<const char *, DeviceKind> kClassKinds[] = {
    {"{4D36E978-E325-11CE-BFC1-08002BE10318}", DeviceKind::serial},
    {"{4D36E96F-E325-11CE-BFC1-08002BE10318}", DeviceKind::mouse},
    {"{4D36E96B-E325-11CE-BFC1-08002BE10318}", DeviceKind::keyboard},
    {"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}", DeviceKind::camera},
    {"{36FC9E60-C465-11CF-8056-444553540000}", DeviceKind::usb},
    {"{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", DeviceKind::bt},
    {"{4D36E972-E325-11CE-BFC1-08002BE10318}", DeviceKind::eth},
};

constexpr const char16_t *kCdromClass = u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char16_t *kVolumeClass = u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// A switch or a limit is on when its 32-bit value is positive, as the permits'
// read-back counts it.
bool dword_on(const RegNode *key, std::u16string_view name)
{
    const RegValue *value = key != nullptr ? key->find_value(name) : nullptr;
    if (value == nullptr || value->type != kRegDwordType || value->data.size() != 4)
        return false;
    uint32_t raw = 0;
    std::memcpy(&raw, value->data.data(), 4);
    raw = le32toh(raw);
    return static_cast<int32_t>(raw) > 0;
}

std::string text_of(const RegValue &value)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        auto unit = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    std::string ascii;
    for (char16_t unit : text)
        ascii.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return ascii;
}

bool same_class(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

StorageLimits storage_limits(RegNode &machine, const char16_t *classKey)
{
    RegNode *storage = find_key(machine, kStorageKey);
    RegNode *key = storage != nullptr ? storage->find_subkey(classKey) : nullptr;
    return {dword_on(key, u"Deny_Read"), dword_on(key, u"Deny_Write")};
}

} // namespace

const char *device_kind_name(DeviceKind kind)
{
    static constexpr const char *kNames[kDeviceKinds] = {"serial", "gpio",   "dongle", "mouse", "keyboard", "camera",
                                                         "usb",    "bt",     "cdrom",  "udisk", "eth"};
    return kNames[static_cast<size_t>(kind)];
}

bool EnforcedPolicy::denies_anything() const
{
    return std::find(denied.begin(), denied.end(), true) != denied.end() || cdrom.denyRead || cdrom.denyWrite ||
           udisk.denyRead || udisk.denyWrite;
}

EnforcedPolicy read_enforced_policy(const RegNode &machine)
{
    // The tree lookups take a mutable start; nothing below writes.
    RegNode &root = const_cast<RegNode &>(machine);
    EnforcedPolicy policy;
    RegNode *restrictions = find_key(root, kRestrictionsKey);
    if (dword_on(restrictions, u"DenyDeviceClasses")) {
        policy.retroactive = dword_on(restrictions, u"DenyDeviceClassesRetroactive");
        const RegNode *list = restrictions->find_subkey(u"DenyDeviceClasses");
        const RegNode none(u"");
        for (const RegValue &value : (list != nullptr ? *list : none).values()) {
            if (value.name.starts_with(u"**") || (value.type != kRegSzType && value.type != kRegExpandSzType))
                continue;
            std::string text = text_of(value);
            auto known = std::find_if(std::begin(kClassKinds), std::end(kClassKinds),
                                      [&](const auto &entry) { return same_class(entry.first, text); });
            if (known != std::end(kClassKinds))
                policy.denied[static_cast<size_t>(known->second)] = true;
            else if (std::find(policy.foreignClasses.begin(), policy.foreignClasses.end(), text) ==
                     policy.foreignClasses.end())
                policy.foreignClasses.push_back(text);
        }
    }
    policy.cdrom = storage_limits(root, kCdromClass);
    policy.udisk = storage_limits(root, kVolumeClass);
    return policy;
}

} // namespace kestrune::platform
