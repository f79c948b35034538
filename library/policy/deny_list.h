// The machine's list of denied device setup classes and its two switches, in the
// policy object's machine section:
//   ...\DeviceInstall\Restrictions                    "DenyDeviceClasses",
//                                                      "DenyDeviceClassesRetroactive" (REG_DWORD 1)
//   ...\DeviceInstall\Restrictions\DenyDeviceClasses  "**delvals." = " ", then "1".."n" = class texts
// Class texts are compared exactly, so callers always spell a class as
// DeviceClassText prints it. Runs on the caller's thread; no locking.
#ifndef KESTRUNE_POLICY_DENY_LIST_H
#define KESTRUNE_POLICY_DENY_LIST_H

#include <cstdint>

namespace kestrune {

// permission 1 puts classText on the list, any other value takes it off.
// 0 on success (also when nothing had to change), 1 when a store operation
// failed or the list holds a value that a rewrite could not carry (too large to
// read, or a name with no 8-bit form; the list is then left untouched), 3 when
// classText has 3 characters or fewer, or more than 255.
uint32_t gpo_helper_set_restrictions_denydeviceclasses(int32_t permission, const char16_t *classText);

// *permissionOut receives 1 when classText is listed, 2 when not (or no list).
// 0 on success, 3 when classText has 3 characters or fewer, or more than 255
// (out untouched).
uint32_t gpo_helper_get_restrictions_denydeviceclasses(int32_t *permissionOut, const char16_t *classText);

} // namespace kestrune

#endif
