// What the doubles of the policy object class and of userenv.dll keep, in the
// Wine prefix's registry under kRecordKey of HKEY_CURRENT_USER: the object's
// machine section (kMachineKey) and REG_DWORD counts of what the library asked:
// Opens (OpenFlags, of the last), Saves, Releases (objects whose last reference
// went), Refreshes (RefreshPolicy(TRUE)), UserRefreshes (FALSE); and LastSave,
// "machine=M add=A extension={...} tool={...}". The environment variable
// KESTRUNE_DOUBLE_FAIL, read at each call, scripts one failure: "open-denied"
// (E_ACCESSDENIED), "open" (E_FAIL), "no-key" (no machine key), "save"
// (HRESULT_FROM_WIN32(ERROR_DISK_FULL)), "refresh" (FALSE).
#ifndef KESTRUNE_TESTS_WINDOWS_DOUBLE_RECORDS_H
#define KESTRUNE_TESTS_WINDOWS_DOUBLE_RECORDS_H

#include <windows.h>

#include <string>

namespace kestrune::doubles {

inline constexpr wchar_t kRecordKey[] = L"Software\\Kestrune Tests\\GroupPolicyObject";
inline constexpr wchar_t kMachineKey[] = L"Software\\Kestrune Tests\\GroupPolicyObject\\Machine";
inline constexpr wchar_t kFailureVariable[] = L"KESTRUNE_DOUBLE_FAIL";

inline bool failure_scripted(const wchar_t *failure)
{
    wchar_t value[32] = {};
    DWORD length = GetEnvironmentVariableW(kFailureVariable, value, 32);
    return length > 0 && length < 32 && std::wstring(value) == failure;
}

inline DWORD record_count(const wchar_t *name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, kRecordKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

inline void set_record(const wchar_t *name, DWORD value)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, kRecordKey, name, REG_DWORD, &value, sizeof value);
}

inline void add_record(const wchar_t *name)
{
    set_record(name, record_count(name) + 1);
}

} // namespace kestrune::doubles

#endif
