// The policy object and store through the exports, over COM, the policy object
// double and Wine's registry: the calls made on the object, the results of its
// scripted failures, and the values as they land in its machine section. Value
// order is not compared: Windows enumerates in creation order, Wine by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "double_records.h"
#include "kestrune.h"
#include "support/stdout_capture.h"

using kestrune::doubles::record_count;

namespace {

const std::wstring kPolicies = L"Software\\Policies\\Microsoft\\Windows\\";
const std::wstring kRestrictions = kPolicies + L"DeviceInstall\\Restrictions";
const std::wstring kCdrom = kPolicies + L"RemovableStorageDevices\\{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::wstring kMouse = L"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
const std::wstring kKeyboard = L"{4D36E96B-E325-11CE-BFC1-08002BE10318}";

// Every value of a key of the machine section as text (a DWORD in decimal), by name.
std::map<std::wstring, std::wstring> machine_values(const std::wstring &key)
{
    std::map<std::wstring, std::wstring> values;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kestrune::doubles::kMachineKey) + L"\\" + key).c_str(), 0,
                      KEY_READ, &handle) != ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[64];
        wchar_t data[128] = {};
        DWORD chars = 64, bytes = sizeof data - 2, type = 0;
        if (RegEnumValueW(handle, i, name, &chars, nullptr, &type, reinterpret_cast<BYTE *>(data), &bytes) != ERROR_SUCCESS)
            break;
        DWORD number = 0;
        std::memcpy(&number, data, sizeof number);
        values[name] = type == REG_DWORD ? std::to_wstring(number) : data;
    }
    RegCloseKey(handle);
    return values;
}

class PolicyObjectOverCom : public ::testing::Test {
protected:
    void SetUp() override
    {
        script(nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, kestrune::doubles::kRecordKey);
    }
    void TearDown() override
    {
        script(nullptr);
        QVX_KESTRUNE_Uninitialize();
    }
    static void script(const wchar_t *failure) { SetEnvironmentVariableW(kestrune::doubles::kFailureVariable, failure); }

    kestrune::test::StdoutCapture quiet_; // the lines are the portable code's, tested there
};

TEST_F(PolicyObjectOverCom, TheFrameMakesTheCallsOfTheObjectAndReleasesIt)
{
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(record_count(L"Opens"), 1u);
    EXPECT_EQ(record_count(L"OpenFlags"), 1u) << "GPO_OPEN_LOAD_REGISTRY";
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(record_count(L"Opens"), 1u);

    for (DWORD round = 1; round <= 2; ++round) {
        EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_SUCCESS);
        EXPECT_EQ(record_count(L"Saves"), round);
        EXPECT_EQ(record_count(L"Refreshes"), round);
    }
    wchar_t lastSave[256] = {};
    DWORD size = sizeof lastSave;
    RegGetValueW(HKEY_CURRENT_USER, kestrune::doubles::kRecordKey, L"LastSave", RRF_RT_REG_SZ, nullptr, lastSave, &size);
    EXPECT_STREQ(lastSave, L"machine=1 add=1 extension={35378EAC-683F-11D2-A89A-00C04FBBCFA2} "
                           L"tool={8FC0B734-A0E1-11D1-A7D3-0000F87571E3}");
    EXPECT_EQ(record_count(L"UserRefreshes"), 0u);

    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(record_count(L"Releases"), 1u);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS) << "a fresh object after Uninitialize";
    EXPECT_EQ(record_count(L"Opens"), 2u);
}

TEST_F(PolicyObjectOverCom, FailuresOfTheObjectGiveTheirResultsAndLeaveNothingHeld)
{
    const std::pair<const wchar_t *, int> opening[] = {{L"open-denied", QVX_KESTRUNE_RESULT_ACCESS_DENIED},
                                                       {L"open", QVX_KESTRUNE_RESULT_FAILED},
                                                       {L"no-key", QVX_KESTRUNE_RESULT_ACCESS_DENIED}};
    DWORD released = 0;
    for (const auto &[failure, result] : opening) {
        script(failure);
        EXPECT_EQ(QVX_KESTRUNE_Initialize(), result) << failure;
        EXPECT_EQ(record_count(L"Releases"), ++released) << failure << ": the object is released again";
    }
    script(nullptr);
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS) << "a failed Initialize leaves room to retry";
    for (const wchar_t *failure : {L"save", L"refresh"}) {
        script(failure);
        EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_FAILED) << failure;
    }
    EXPECT_EQ(record_count(L"Refreshes"), 0u) << "a failed save is not refreshed";
}

TEST_F(PolicyObjectOverCom, PermitsLandInTheMachineSectionAndReadBack)
{
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, QVX_KESTRUNE_NORMAL_PERM_DENY), 0);
    EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_PERM_DENY), 0);
    EXPECT_EQ(machine_values(kRestrictions),
              (std::map<std::wstring, std::wstring>{{L"DenyDeviceClasses", L"1"}, {L"DenyDeviceClassesRetroactive", L"1"}}));
    EXPECT_EQ(machine_values(kRestrictions + L"\\DenyDeviceClasses"),
              (std::map<std::wstring, std::wstring>{{L"**delvals.", L" "}, {L"1", kMouse}, {L"2", kKeyboard}}));

    EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, QVX_KESTRUNE_NORMAL_PERM_ALLOW), 0);
    EXPECT_EQ(machine_values(kRestrictions + L"\\DenyDeviceClasses"),
              (std::map<std::wstring, std::wstring>{{L"**delvals.", L" "}, {L"1", kKeyboard}}));
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE), QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD), QVX_KESTRUNE_NORMAL_PERM_DENY);

    EXPECT_EQ(QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY), 0);
    EXPECT_EQ(machine_values(kCdrom), (std::map<std::wstring, std::wstring>{{L"Deny_Read", L"0"}, {L"Deny_Write", L"1"}}));
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM), QVX_KESTRUNE_STORAGE_PERM_READ_ONLY);
}

} // namespace
