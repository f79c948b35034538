// Test fixture: registers the group policy object double beside this program as
// the in-process server of CLSID_GroupPolicyObject in the test prefix, and
// empties the doubles' records.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kServerKey[] = L"Software\\Classes\\CLSID\\{EA502722-A23D-11D1-A7D3-0000F87571E3}\\InProcServer32";

bool set_text(HKEY key, const wchar_t *name, const std::wstring &text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

} // namespace

int main()
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return 1;
    std::wstring server(self, length);
    server = server.substr(0, server.find_last_of(L'\\') + 1) + L"kestrune_gpo_double.dll";
    if (GetFileAttributesW(server.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fwprintf(stderr, L"missing %ls\n", server.c_str());
        return 1;
    }
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                     nullptr);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "RegCreateKeyExW failed, error %ld\n", static_cast<long>(status));
        return 1;
    }
    bool ok = set_text(key, nullptr, server) && set_text(key, L"ThreadingModel", L"Apartment");
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kestrune Tests");
    return ok ? 0 : 1;
}
