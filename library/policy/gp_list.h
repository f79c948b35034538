// The in-memory records of the deny list key that one set operation works on, and
// the store layout they come from and go back to.
#ifndef KESTRUNE_POLICY_GP_LIST_H
#define KESTRUNE_POLICY_GP_LIST_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrune {

inline constexpr char kRestrictionsKey[] = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
inline constexpr char kDenyListKey[] =
    "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions\\DenyDeviceClasses";
inline constexpr char16_t kDenyListKeyWide[] =
    u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions\\DenyDeviceClasses";
inline constexpr char kDenySwitch[] = "DenyDeviceClasses";
inline constexpr char kDenyRetroactiveSwitch[] = "DenyDeviceClassesRetroactive";
// Tells the policy engine to drop the key's values before applying the ones after it.
inline constexpr char kMarkerName[] = "**delvals.";
inline constexpr char16_t kMarkerNameWide[] = u"**delvals.";
inline constexpr char16_t kMarkerData[] = u" ";

// Read buffers of one pass over the list key: names of up to 255 characters,
// data of up to 512 bytes.
inline constexpr uint32_t kReadNameChars = 256;
inline constexpr uint32_t kReadDataBytes = 512;

// Longest class text the list accepts: one whose value a later read pass can
// read back whole, terminating zero included.
inline constexpr size_t kMaxClassTextChars = kReadDataBytes / sizeof(char16_t) - 1;

inline constexpr size_t kGpFieldChars = 513;

struct GpNode {
    int32_t bValid;     // 1: write back as a numbered value; 0: drop
    int32_t bNew;       // 1: added by this operation, nothing to delete in the store
    int32_t dwNameLen;  // characters, as the enumeration reported them (1 for a new entry)
    char16_t wszName[kGpFieldChars];
    uint32_t dwDataLen; // bytes, terminating zero included; never more than the record holds
    char16_t wszData[kGpFieldChars];
};

// Records in enumeration order, the entry being added last. Lives for one call.
using GpList = std::vector<GpNode>;

// A record of a value read from the store. The data keeps exactly the bytes read
// (at most kReadDataBytes), so writing it back never adds, drops or alters a byte
// of what the administrator stored; both fields stay zero-terminated.
GpNode gp_node_read(std::u16string_view name, const void *data, uint32_t dataBytes);

// A record of a class being added; classText holds at most kMaxClassTextChars.
GpNode gp_node_new(std::u16string_view classText);

} // namespace kestrune

#endif
