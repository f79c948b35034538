// Device notification with its real window and message loop: devices planted
// under the Setup API, WM_DEVICECHANGE sent to the window as the system sends
// it, and the callback's text read from the planted properties. Wine delivers no
// device events of its own to such devices, so the test sends them.
#include <windows.h>
#include <dbt.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrune.h"
#include "support/stdout_capture.h"

using kestrune::test::StdoutCapture;
using kestrune::test::without_line_numbers;

// Missing from the SDK headers of mingw-w64, exported by setupapi.dll.
extern "C" __declspec(dllimport) BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY *,
                                                                       DEVPROPTYPE, const BYTE *, DWORD, DWORD);

namespace {

const GUID kUsbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
const DEVPROPKEY kManufacturer = {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 13};
constexpr wchar_t kUsbInterface[] = L"#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

struct Planted {
    const wchar_t *id;
    const wchar_t *description; // null: none
    const wchar_t *friendlyName;
    const wchar_t *busDescription;
    const wchar_t *manufacturer;
};

// Removes what an earlier run left in the prefix, in a set of its own: the
// removed device stays a member of the set it was removed through.
void remove_planted(const wchar_t *id)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbSetupClass, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    if (SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data))
        SetupDiRemoveDevice(set, &data);
    SetupDiDestroyDeviceInfoList(set);
}

void plant(const Planted &device)
{
    remove_planted(device.id);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbSetupClass, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, device.id, &kUsbSetupClass, device.description, nullptr, 0, &data))
        << GetLastError();
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &data, 0, nullptr, nullptr, nullptr)) << GetLastError();
    auto bytes = [](const wchar_t *text) { return static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)); };
    if (device.description != nullptr)
        SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, reinterpret_cast<const BYTE *>(device.description),
                                          bytes(device.description));
    if (device.friendlyName != nullptr)
        SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME,
                                          reinterpret_cast<const BYTE *>(device.friendlyName), bytes(device.friendlyName));
    if (device.busDescription != nullptr)
        SetupDiSetDevicePropertyW(set, &data, &kBusReportedDeviceDesc, DEVPROP_TYPE_STRING,
                                  reinterpret_cast<const BYTE *>(device.busDescription), bytes(device.busDescription), 0);
    if (device.manufacturer != nullptr)
        SetupDiSetDevicePropertyW(set, &data, &kManufacturer, DEVPROP_TYPE_STRING,
                                  reinterpret_cast<const BYTE *>(device.manufacturer), bytes(device.manufacturer), 0);
    SetupDiDestroyDeviceInfoList(set);
}

std::mutex eventsMutex;
std::vector<std::pair<int, std::string>> events;

void record_event(int kind, char *data)
{
    std::lock_guard lock(eventsMutex);
    events.emplace_back(kind, data);
}

void record_second(int kind, char *data)
{
    record_event(kind + 10, data);
}

std::vector<std::pair<int, std::string>> take_events()
{
    std::lock_guard lock(eventsMutex);
    return std::exchange(events, {});
}

// The notification window once the thread has made it; null after `wait`.
HWND notification_window(std::chrono::milliseconds wait = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        HWND window = FindWindowW(L"Sample Window Class", L"");
        if (window != nullptr || std::chrono::steady_clock::now() >= deadline)
            return window;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Sends an interface event, as the system does, and returns the window's answer.
LRESULT send_interface_event(HWND window, WPARAM event, const std::wstring &linkName)
{
    std::vector<uint32_t> storage((sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + linkName.size() * 2 + 3) / 4 + 1);
    auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(storage.data());
    record->dbcc_size = static_cast<DWORD>(storage.size() * 4);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    linkName.copy(record->dbcc_name, linkName.size());
    return SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
}

class NotificationWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        plant({L"USB\\VID_1234&PID_5678\\0001", L"Kestrune stick", L"Stick (E:)", L"USB Stick", L"Kestrune Labs"});
        plant({L"USB\\VID_1234&PID_5678\\0002", nullptr, L"Caf\u00e9 \u4e2d", nullptr, L"Maker"});
        // A description longer than the 520-byte read buffer counts as unread.
        static const std::wstring longDescription(300, L'x');
        plant({L"USB\\VID_1234&PID_5678\\0003", longDescription.c_str(), nullptr, nullptr, L"M"});
    }

    void SetUp() override { take_events(); }
    void TearDown() override
    {
        StdoutCapture quiet;
        QVX_KESTRUNE_Unregister_Device_Notification();
    }

    HWND registered_window()
    {
        EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(record_event), QVX_KESTRUNE_RESULT_SUCCESS);
        return notification_window();
    }
};

TEST_F(NotificationWindow, InterfaceEventsReachTheCallbackWithTheDeviceTexts)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    std::wstring stick = L"\\\\?\\USB#VID_1234&PID_5678#0001" + std::wstring(kUsbInterface);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, stick), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\usb#vid_1234&pid_5678#0001" +
                                                                  std::wstring(kUsbInterface) + L"\\reference"),
              0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEREMOVECOMPLETE, stick), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL,
                                   L"\\\\?\\USB#VID_1234&PID_5678#0002" + std::wstring(kUsbInterface)),
              0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL,
                                   L"\\\\?\\USB#VID_1234&PID_5678#0003" + std::wstring(kUsbInterface)),
              0);
    const std::string stickText = "Kestrune stick;Stick (E:);USB Stick;Kestrune Labs;";
    // The second device has no description, and its name has a character the
    // ANSI code page lacks (the test prefix's code page is 1252).
    EXPECT_EQ(take_events(), (std::vector<std::pair<int, std::string>>{
                                 {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, stickText},
                                 {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, stickText},
                                 {QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, stickText},
                                 {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ";;Caf\xe9 ?;;Maker;"},
                                 {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ";;;;M;"},
                             }));
}

TEST_F(NotificationWindow, OtherMessagesGetTheDefaultAnswerAndOtherBroadcastsNoCallback)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    StdoutCapture out;
    DEV_BROADCAST_VOLUME volume{sizeof volume, DBT_DEVTYP_VOLUME, 0, 0x10, 0};
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)), 0);
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\"), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\USB"), 0);
    std::string before = without_line_numbers(out.text());
    EXPECT_EQ(before, "E KestruneCtl UpdateDevice #: dbcc name fmt error! dbcc_name\r\n"
                      "E KestruneCtl UpdateDevice #: dbcc name fmt error! no #\r\n");
    EXPECT_TRUE(take_events().empty());

    // An enumerator nobody knows: Windows refuses the set (error 13), Wine gives
    // an empty one. Either way the callback gets an empty text.
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\NOSUCHBUS#X#1" + std::wstring(kUsbInterface)), 0);
    std::string after = without_line_numbers(out.text()).substr(before.size());
    EXPECT_TRUE(after.empty() ||
                after == "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: ERR: SetupDiGetClassDevs(): 13\n")
        << after;
    EXPECT_EQ(take_events(), (std::vector<std::pair<int, std::string>>{{QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ""}}));

    // Messages other than WM_DEVICECHANGE get DefWindowProcW's answer.
    EXPECT_TRUE(SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"abc")));
    EXPECT_EQ(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 3);
}

TEST_F(NotificationWindow, ASecondRegistrationTakesOverTheRunningThread)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(record_second), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Override register info! thread=" +
                  std::to_string(thread) + "\r\n");
    EXPECT_EQ(notification_window(), window) << "no second thread, no second window";
    send_interface_event(window, DBT_DEVICEREMOVECOMPLETE, L"\\\\?\\USB#VID_1234&PID_5678#0001" + std::wstring(kUsbInterface));
    EXPECT_EQ(take_events(), (std::vector<std::pair<int, std::string>>{
                                 {10 + QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, "Kestrune stick;Stick (E:);USB Stick;Kestrune Labs;"}}));
}

TEST_F(NotificationWindow, UnregisteringEndsTheWindowAndANewRegistrationStartsAfresh)
{
    for (int round = 0; round < 3; ++round) {
        HWND window = registered_window();
        ASSERT_NE(window, nullptr) << "round " << round;
        EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
        EXPECT_FALSE(IsWindow(window));
    }
    // Right after registering, before the thread has a queue or a window.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(record_event), QVX_KESTRUNE_RESULT_SUCCESS);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    }
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
}

TEST_F(NotificationWindow, AClassOfTheSameNameInTheProcessLeavesTheThreadWithoutAWindow)
{
    WNDCLASSW taken{};
    taken.lpfnWndProc = DefWindowProcW;
    taken.hInstance = GetModuleHandleW(nullptr);
    taken.lpszClassName = L"Sample Window Class";
    ASSERT_NE(RegisterClassW(&taken), 0);
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(record_event), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(notification_window(std::chrono::milliseconds(500)), nullptr);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_TRUE(UnregisterClassW(L"Sample Window Class", GetModuleHandleW(nullptr)))
        << "the library left the process's own class alone";
}

} // namespace
