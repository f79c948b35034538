// Platform seam: the registry of the policy object's machine section.
//
// Porting contract. Every operation runs on the caller's thread; the Parts call
// them one at a time (no exported operation runs concurrently with another), but
// an implementation must still tolerate calls from any thread. Results are the
// Win32 error codes below, never anything else. Keys are addressed relative to an
// open key handle; paths use "\" between components. Key and value names compare
// case-insensitively (ASCII), as on Windows. A null handle gives
// kErrorInvalidHandle, and so does a closed one in memory (on Windows a closed
// handle's value may name another key by then).
//
// Enumeration order: the in-memory registry keeps creation order (a deleted and
// re-created value moves to the end). The Windows registry promises no order; it
// keeps creation order in practice, and Wine sorts by name. Callers depend on the
// order only where both hold: the deny list's marker "**delvals." is written
// first and sorts before the numbered values.
//
// On Windows (win32/win32_registry.cpp) a RegKey is the HKEY itself and each
// operation is the one Win32 call named at it. On Linux the keys live in memory,
// loaded from and saved to the policy object's Registry.pol file (see
// policy_object.h).
#ifndef KESTRUNE_PLATFORM_REGISTRY_H
#define KESTRUNE_PLATFORM_REGISTRY_H

#include <cstdint>

namespace kestrune::platform {

struct reg_key_handle;
using RegKey = reg_key_handle *;

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegDword = 4;

// Access rights, with the Win32 values. A handle opened without set-value rights
// refuses writes and deletions with kErrorAccessDenied.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;

// Opens `path` under `parent`, creating every missing key on the way.
// Windows: RegCreateKeyExW (no class, non-volatile, default security).
// kErrorInvalidParameter for a key name over 255 characters or a key deeper than
// 512 levels below the section's root (the registry's own limits).
uint32_t reg_create_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result);
// Opens an existing key; kErrorFileNotFound when any component is missing.
// Windows: RegOpenKeyExW.
uint32_t reg_open_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result);
// Windows: RegCloseKey.
uint32_t reg_close_key(RegKey key);

// Creates or overwrites a value of `key` itself. REG_SZ data is UTF-16LE with its
// terminating zero counted in `size`; the bytes are kept exactly as given.
// Windows: RegSetKeyValueW with no subkey.
// kErrorInvalidParameter for a name over 16,383 characters or data over 1 MB.
uint32_t reg_set_value(RegKey key, const char16_t *name, uint32_t type, const void *data, uint32_t size);
// kErrorFileNotFound when the value does not exist. Windows: RegDeleteKeyValueW
// with no subkey.
uint32_t reg_delete_value(RegKey key, const char16_t *name);
// Copies at most *size bytes into data (type may be null). kErrorMoreData when the
// value is longer, with *size set to its length and data not to be relied on.
// Windows: RegQueryValueExW.
uint32_t reg_query_value(RegKey key, const char16_t *name, uint32_t *type, void *data, uint32_t *size);

// The value at `index` in enumeration order. *nameChars is the name buffer's size in
// characters on entry and the name's length (without its zero) on return;
// *dataBytes likewise for the data. kErrorMoreData when the name or the data does
// not fit: the name is then filled only if it fits, the data is not to be relied
// on, and the two sizes report what would be needed (Windows reports the data's
// size only). kErrorNoMoreItems past the end. Windows: RegEnumValueW.
uint32_t reg_enum_value(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars, uint32_t *type,
                        void *data, uint32_t *dataBytes);
// The subkey name at `index`, with the same size convention as the value name.
// Windows: RegEnumKeyExW.
uint32_t reg_enum_key(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars);

} // namespace kestrune::platform

#endif
