// DeviceClassText: a device setup class printed as 38 upper-case characters in
// braces, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, the form the deny list stores
// and compares.
#ifndef KESTRUNE_PERMITS_DEVICE_CLASS_TEXT_H
#define KESTRUNE_PERMITS_DEVICE_CLASS_TEXT_H

#include "base/guid.h"

namespace kestrune {

struct DeviceClassText {
    char16_t text[512]; // zero-filled before use; stays empty for "no class"
};

// Zero-fills `out` and prints `guid` into it.
void print_device_class(const Guid &guid, DeviceClassText &out);

// The Windows Net setup class (network adapters).
inline constexpr Guid kNetSetupClass{0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

} // namespace kestrune

#endif
