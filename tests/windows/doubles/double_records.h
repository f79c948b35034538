// What the test doubles of the system components keep and how a test steers
// them. Both doubles keep their state in the registry of the Wine prefix, under
// HKEY_CURRENT_USER\Software\Kestrune Tests\GroupPolicyObject:
//   Machine      the machine section of the policy object (a key of its own)
//   Opens        REG_DWORD, OpenLocalMachineGPO calls that succeeded
//   OpenFlags    REG_DWORD, the flags of the last one
//   Saves        REG_DWORD, Save calls that succeeded
//   LastSave     REG_SZ, "machine=M add=A extension={...} tool={...}" of the last one
//   Releases     REG_DWORD, objects whose last reference went
//   Refreshes    REG_DWORD, RefreshPolicy(TRUE) calls; RefreshPolicy(FALSE) adds to UserRefreshes
// The environment variable KESTRUNE_DOUBLE_FAIL, read at each call, scripts one
// failure: "open-denied" (E_ACCESSDENIED), "open" (E_FAIL), "no-key" (no machine
// key), "save" (HRESULT_FROM_WIN32(ERROR_DISK_FULL)), "refresh" (FALSE).
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
    if (RegGetValueW(HKEY_CURRENT_USER, kRecordKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return 0;
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

inline std::wstring record_text(const wchar_t *name)
{
    wchar_t text[512] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, kRecordKey, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return {};
    return text;
}

} // namespace kestrune::doubles

#endif
