// The policy object and the policy store through the exports, over COM, the
// group policy object double and Wine's real registry: the calls the library
// makes on the object, the results and lines of scripted failures, and the deny
// list and storage values as they land in the machine section of Wine's real
// registry. Value order is not compared: Windows enumerates in creation order,
// Wine by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "double_records.h"
#include "kestrune.h"
#include "support/stdout_capture.h"

using kestrune::doubles::record_count;
using kestrune::doubles::record_text;

namespace {

constexpr wchar_t kRestrictions[] = L"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
constexpr wchar_t kDenyList[] = L"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions\\DenyDeviceClasses";
constexpr wchar_t kCdrom[] =
    L"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::wstring kMouse = L"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
const std::wstring kKeyboard = L"{4D36E96B-E325-11CE-BFC1-08002BE10318}";

template <typename Body>
std::string logged(Body body)
{
    kestrune::test::StdoutCapture out;
    body();
    return kestrune::test::without_line_numbers(out.text());
}

// A value of the machine section as the double keeps it; -1 when absent.
long long machine_dword(const std::wstring &key, const wchar_t *name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    std::wstring path = std::wstring(kestrune::doubles::kMachineKey) + L"\\" + key;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return -1;
    return value;
}

// Every REG_SZ value of a machine-section key, by name.
std::map<std::wstring, std::wstring> machine_texts(const std::wstring &key)
{
    std::map<std::wstring, std::wstring> values;
    HKEY handle = nullptr;
    std::wstring path = std::wstring(kestrune::doubles::kMachineKey) + L"\\" + key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[64];
        wchar_t data[128] = {};
        DWORD chars = 64;
        DWORD bytes = sizeof data - sizeof(wchar_t);
        if (RegEnumValueW(handle, i, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE *>(data), &bytes) !=
            ERROR_SUCCESS)
            break;
        values[name] = data;
    }
    RegCloseKey(handle);
    return values;
}

class PolicyObjectOverCom : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(kestrune::doubles::kFailureVariable, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, kestrune::doubles::kRecordKey);
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(kestrune::doubles::kFailureVariable, nullptr);
        logged([] { QVX_KESTRUNE_Uninitialize(); });
    }

    static void script(const wchar_t *failure) { SetEnvironmentVariableW(kestrune::doubles::kFailureVariable, failure); }

    static int initialize(std::string *lines = nullptr)
    {
        int result = -1;
        std::string text = logged([&] { result = QVX_KESTRUNE_Initialize(); });
        if (lines != nullptr)
            *lines = text;
        return result;
    }
};

const std::string kBanner = "I KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG INFO\r\n"
                            "E KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG ERROR\r\n";

TEST_F(PolicyObjectOverCom, InitializeApplyAndUninitializeMakeTheCallsOfTheObject)
{
    std::string lines;
    ASSERT_EQ(initialize(&lines), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(lines, kBanner);
    EXPECT_EQ(record_count(L"Opens"), 1u);
    EXPECT_EQ(record_count(L"OpenFlags"), 1u) << "GPO_OPEN_LOAD_REGISTRY";

    EXPECT_EQ(initialize(&lines), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(lines, kBanner + "E KestruneCtl QVX_KESTRUNE_Initialize #: Internal error! pGPO already init\n");

    for (DWORD round = 1; round <= 2; ++round) {
        int result = -1;
        EXPECT_EQ(logged([&] { result = QVX_KESTRUNE_Apply(); }), "I KestruneCtl QVX_KESTRUNE_Apply #: RefreshPolicy done\n");
        EXPECT_EQ(result, QVX_KESTRUNE_RESULT_SUCCESS);
        EXPECT_EQ(record_count(L"Saves"), round);
        EXPECT_EQ(record_count(L"Refreshes"), round);
    }
    EXPECT_EQ(record_text(L"LastSave"), L"machine=1 add=1 extension={35378EAC-683F-11D2-A89A-00C04FBBCFA2} "
                                        L"tool={8FC0B734-A0E1-11D1-A7D3-0000F87571E3}");
    EXPECT_EQ(record_count(L"UserRefreshes"), 0u);

    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(record_count(L"Releases"), 1u);
    int again = -1;
    EXPECT_EQ(logged([&] { again = QVX_KESTRUNE_Uninitialize(); }),
              "E KestruneCtl QVX_KESTRUNE_Uninitialize #: Internal error! pGPO null\n");
    EXPECT_EQ(again, QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(initialize(), QVX_KESTRUNE_RESULT_SUCCESS) << "a fresh object after Uninitialize";
    EXPECT_EQ(record_count(L"Opens"), 2u);
}

TEST_F(PolicyObjectOverCom, FailuresOfTheObjectGiveTheirResultsAndLeaveNothingHeld)
{
    struct Case {
        const wchar_t *failure;
        int result;
        std::string line;
    };
    const Case cases[] = {
        {L"open-denied", QVX_KESTRUNE_RESULT_ACCESS_DENIED,
         "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed run OpenLocalMachineGPO, are you Administrator?\n"},
        {L"open", QVX_KESTRUNE_RESULT_FAILED,
         "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed OpenLocalMachineGPO. Error code = 0x80004005\n"},
        {L"no-key", QVX_KESTRUNE_RESULT_ACCESS_DENIED,
         "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed get machine_key, are you Administrator?\n"},
    };
    DWORD released = 0;
    for (const Case &c : cases) {
        script(c.failure);
        std::string lines;
        EXPECT_EQ(initialize(&lines), c.result) << c.line;
        EXPECT_EQ(lines, kBanner + c.line);
        EXPECT_EQ(record_count(L"Releases"), ++released) << "the object is released again";
    }
    script(nullptr);
    ASSERT_EQ(initialize(), QVX_KESTRUNE_RESULT_SUCCESS) << "a failed Initialize leaves the process able to retry";

    const Case applyCases[] = {
        {L"save", QVX_KESTRUNE_RESULT_FAILED, "E KestruneCtl QVX_KESTRUNE_Apply #: Failed save. Error code = 0x80070070\n"},
        {L"refresh", QVX_KESTRUNE_RESULT_FAILED, "E KestruneCtl QVX_KESTRUNE_Apply #: Failed apply configs!\n"},
    };
    for (const Case &c : applyCases) {
        script(c.failure);
        int result = -1;
        EXPECT_EQ(logged([&] { result = QVX_KESTRUNE_Apply(); }), c.line);
        EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(record_count(L"Refreshes"), 0u) << "a failed save is not refreshed";
}

TEST_F(PolicyObjectOverCom, WithoutTheObjectTheRegistryAnswersInvalidHandle)
{
    int set = -1;
    int get = -1;
    std::string lines = logged([&] {
        set = QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, QVX_KESTRUNE_STORAGE_PERM_DENY);
        get = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM);
    });
    EXPECT_EQ(set, QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(get, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
    EXPECT_EQ(lines, "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
                     "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =6\n");
}

TEST_F(PolicyObjectOverCom, PermitsLandInTheMachineSectionOfTheObject)
{
    ASSERT_EQ(initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    int mouse = -1;
    int keyboard = -1;
    logged([&] {
        mouse = QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, QVX_KESTRUNE_NORMAL_PERM_DENY);
        keyboard = QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_PERM_DENY);
    });
    EXPECT_EQ(mouse, QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(keyboard, QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(machine_dword(kRestrictions, L"DenyDeviceClasses"), 1);
    EXPECT_EQ(machine_dword(kRestrictions, L"DenyDeviceClassesRetroactive"), 1);
    std::map<std::wstring, std::wstring> list = machine_texts(kDenyList);
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(list[L"**delvals."], L" ");
    EXPECT_EQ((std::set<std::wstring>{list[L"1"], list[L"2"]}), (std::set<std::wstring>{kMouse, kKeyboard}));

    logged([&] {
        mouse = QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    });
    EXPECT_EQ(mouse, QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(machine_texts(kDenyList), (std::map<std::wstring, std::wstring>{{L"**delvals.", L" "}, {L"1", kKeyboard}}));
    logged([&] {
        mouse = QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE);
        keyboard = QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD);
    });
    EXPECT_EQ(mouse, QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    EXPECT_EQ(keyboard, QVX_KESTRUNE_NORMAL_PERM_DENY);

    int cdrom = -1;
    logged([&] {
        cdrom = QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM,
                                                        QVX_KESTRUNE_STORAGE_PERM_READ_ONLY);
    });
    EXPECT_EQ(cdrom, QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(machine_dword(kCdrom, L"Deny_Read"), 0);
    EXPECT_EQ(machine_dword(kCdrom, L"Deny_Write"), 1);
    logged([&] { cdrom = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM); });
    EXPECT_EQ(cdrom, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY);
}

} // namespace
