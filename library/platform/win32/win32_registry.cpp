// The registry seam over the Win32 registry functions. A RegKey is the HKEY
// itself, and the results are the functions' own error codes, so this file only
// adapts types: char16_t is the wchar_t of Windows, uint32_t its DWORD.
#include <windows.h>

#include "platform/registry.h"

namespace kestrune::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace {

HKEY native(RegKey key)
{
    return reinterpret_cast<HKEY>(key);
}

const wchar_t *wide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

uint32_t result_of(LSTATUS status)
{
    return static_cast<uint32_t>(status);
}

} // namespace

uint32_t reg_create_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(native(parent), wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                     nullptr, &key, nullptr);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegKey>(key) : nullptr;
    return result_of(status);
}

uint32_t reg_open_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result)
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(native(parent), wide(path), 0, access, &key);
    *result = status == ERROR_SUCCESS ? reinterpret_cast<RegKey>(key) : nullptr;
    return result_of(status);
}

uint32_t reg_close_key(RegKey key)
{
    return result_of(RegCloseKey(native(key)));
}

uint32_t reg_set_value(RegKey key, const char16_t *name, uint32_t type, const void *data, uint32_t size)
{
    return result_of(RegSetKeyValueW(native(key), nullptr, wide(name), type, data, size));
}

uint32_t reg_delete_value(RegKey key, const char16_t *name)
{
    return result_of(RegDeleteKeyValueW(native(key), nullptr, wide(name)));
}

uint32_t reg_query_value(RegKey key, const char16_t *name, uint32_t *type, void *data, uint32_t *size)
{
    DWORD valueType = 0;
    DWORD bytes = *size;
    LSTATUS status = RegQueryValueExW(native(key), wide(name), nullptr, type != nullptr ? &valueType : nullptr,
                                      static_cast<BYTE *>(data), &bytes);
    *size = bytes;
    if (type != nullptr)
        *type = valueType;
    return result_of(status);
}

uint32_t reg_enum_value(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars, uint32_t *type,
                        void *data, uint32_t *dataBytes)
{
    DWORD chars = *nameChars;
    DWORD valueType = 0;
    DWORD bytes = dataBytes != nullptr ? *dataBytes : 0;
    LSTATUS status = RegEnumValueW(native(key), index, reinterpret_cast<wchar_t *>(name), &chars, nullptr,
                                   &valueType, static_cast<BYTE *>(data), dataBytes != nullptr ? &bytes : nullptr);
    *nameChars = chars;
    if (type != nullptr)
        *type = valueType;
    if (dataBytes != nullptr)
        *dataBytes = bytes;
    return result_of(status);
}

uint32_t reg_enum_key(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars)
{
    DWORD chars = *nameChars;
    LSTATUS status = RegEnumKeyExW(native(key), index, reinterpret_cast<wchar_t *>(name), &chars, nullptr, nullptr,
                                   nullptr, nullptr);
    *nameChars = chars;
    return result_of(status);
}

} // namespace kestrune::platform
