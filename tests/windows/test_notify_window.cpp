// Device notification with its real window and message loop: devices planted
// under the Setup API, WM_DEVICECHANGE sent to the window as the system sends
// it (Wine sends no device events of its own for such devices), and the
// callback's text read from the planted properties in the ANSI code page, 1252
// in the test prefix (wine-run.sh fixes the locale).
#include <windows.h>
#include <initguid.h> // the SDK's GUIDs and property keys defined here
#include <dbt.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>
#include <usbiodef.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrune.h"
#include "platform/ansi_text.h"
#include "support/stdout_capture.h"

// Missing from the SDK headers of mingw-w64, exported by setupapi.dll.
extern "C" __declspec(dllimport) BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY *,
                                                                       DEVPROPTYPE, const BYTE *, DWORD, DWORD);

namespace {

using Events = std::vector<std::pair<int, std::string>>;

const std::wstring kUsbInterface = L"#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
const std::wstring kStick = L"\\\\?\\USB#VID_1234&PID_5678#0001" + kUsbInterface;
const std::string kStickText = "Kestrune stick;Stick (E:);USB Stick;Kestrune Labs;";

// A device with its description, friendly name, bus description and maker (null: none).
void plant(const wchar_t *id, const wchar_t *const (&texts)[4])
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr);
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    // What an earlier run left in the prefix goes first.
    if (SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data))
        SetupDiRemoveDevice(set, &data);
    SetupDiDestroyDeviceInfoList(set);
    set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, id, &GUID_DEVCLASS_USB, texts[0], nullptr, 0, &data)) << GetLastError();
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &data, 0, nullptr, nullptr, nullptr)) << GetLastError();
    auto bytes = [](const wchar_t *text) { return reinterpret_cast<const BYTE *>(text); };
    auto size = [](const wchar_t *text) { return static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)); };
    const DWORD registryProperties[] = {SPDRP_DEVICEDESC, SPDRP_FRIENDLYNAME};
    const DEVPROPKEY *properties[] = {&DEVPKEY_Device_BusReportedDeviceDesc, &DEVPKEY_Device_Manufacturer};
    for (int i = 0; i < 2; ++i)
        if (texts[i] != nullptr)
            SetupDiSetDeviceRegistryPropertyW(set, &data, registryProperties[i], bytes(texts[i]), size(texts[i]));
    for (int i = 2; i < 4; ++i)
        if (texts[i] != nullptr)
            SetupDiSetDevicePropertyW(set, &data, properties[i - 2], DEVPROP_TYPE_STRING, bytes(texts[i]), size(texts[i]), 0);
    SetupDiDestroyDeviceInfoList(set);
}

std::mutex eventsMutex;
Events events;

void record_event(int kind, char *data)
{
    std::lock_guard lock(eventsMutex);
    events.emplace_back(kind, data);
}

Events take_events()
{
    std::lock_guard lock(eventsMutex);
    return std::exchange(events, {});
}

// This process's notification window once the thread has made it; null after
// `wait`. Windows are shared by every program of the prefix, and other tests'
// programs run at the same time with windows of the same class.
HWND notification_window(std::chrono::milliseconds wait = std::chrono::seconds(10))
{
    auto own = [] {
        for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"Sample Window Class", L"")) != nullptr;) {
            DWORD process = 0;
            if (GetWindowThreadProcessId(window, &process) != 0 && process == GetCurrentProcessId())
                return window;
        }
        return HWND{};
    };
    for (auto deadline = std::chrono::steady_clock::now() + wait;; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (HWND window = own(); window != nullptr || std::chrono::steady_clock::now() >= deadline)
            return window;
}

// Sends an interface event, as the system does, and returns the window's answer.
LRESULT send_interface_event(HWND window, WPARAM event, const std::wstring &linkName)
{
    std::vector<uint32_t> storage((sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + linkName.size() * 2 + 3) / 4 + 1);
    auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(storage.data());
    record->dbcc_size = static_cast<DWORD>(storage.size() * 4);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    linkName.copy(record->dbcc_name, linkName.size());
    return SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
}

class NotificationWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        plant(L"USB\\VID_1234&PID_5678\\0001", {L"Kestrune stick", L"Stick (E:)", L"USB Stick", L"Kestrune Labs"});
        plant(L"USB\\VID_1234&PID_5678\\0002", {nullptr, L"Caf\u00e9 \u4e2d", nullptr, L"Maker"});
        // A description longer than the 520-byte read buffer counts as unread.
        static const std::wstring longDescription(300, L'x');
        plant(L"USB\\VID_1234&PID_5678\\0003", {longDescription.c_str(), nullptr, nullptr, L"M"});
    }

    void SetUp() override { take_events(); }
    void TearDown() override { QVX_KESTRUNE_Unregister_Device_Notification(); }

    HWND registered_window()
    {
        EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(record_event), QVX_KESTRUNE_RESULT_SUCCESS);
        return notification_window();
    }

    kestrune::test::StdoutCapture out_;
};

TEST_F(NotificationWindow, InterfaceEventsReachTheCallbackWithTheDeviceTexts)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    // A link name in lower case with a reference string names the same device.
    const std::wstring links[] = {kStick, L"\\\\?\\usb#vid_1234&pid_5678#0001" + kUsbInterface + L"\\reference", kStick,
                                  L"\\\\?\\USB#VID_1234&PID_5678#0002" + kUsbInterface,
                                  L"\\\\?\\USB#VID_1234&PID_5678#0003" + kUsbInterface};
    const WPARAM kinds[] = {DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL,
                            DBT_DEVICEARRIVAL};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(send_interface_event(window, kinds[i], links[i]), 0);
    // The second device has no description, and a character code page 1252 lacks.
    EXPECT_EQ(take_events(), (Events{{QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, kStickText},
                                     {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, kStickText},
                                     {QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, kStickText},
                                     {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ";;Caf\xe9 ?;;Maker;"},
                                     {QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ";;;;M;"}}));
}

TEST_F(NotificationWindow, OtherMessagesGetTheDefaultAnswerAndOtherBroadcastsNoCallback)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    DEV_BROADCAST_VOLUME volume{sizeof volume, DBT_DEVTYP_VOLUME, 0, 0x10, 0};
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume)), 0);
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\"), 0);
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\USB"), 0);
    EXPECT_TRUE(take_events().empty());
    // An enumerator nobody knows: Windows refuses the set, Wine gives an empty
    // one. Either way the callback gets an empty text.
    EXPECT_EQ(send_interface_event(window, DBT_DEVICEARRIVAL, L"\\\\?\\NOSUCHBUS#X#1" + kUsbInterface), 0);
    EXPECT_EQ(take_events(), (Events{{QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, ""}}));

    EXPECT_TRUE(SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"abc")));
    EXPECT_EQ(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 3);
}

TEST_F(NotificationWindow, ASecondRegistrationTakesOverTheRunningThread)
{
    HWND window = registered_window();
    ASSERT_NE(window, nullptr);
    std::string before = out_.text();
    auto second = [](int kind, char *data) { record_event(kind + 10, data); };
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(second), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_NE(out_.text().find("thread=" + std::to_string(GetWindowThreadProcessId(window, nullptr)) + "\r\n",
                               before.size()),
              std::string::npos)
        << "the line names the system's ID of the running thread: " << out_.text();
    EXPECT_EQ(notification_window(), window) << "no second thread, no second window";
    send_interface_event(window, DBT_DEVICEREMOVECOMPLETE, kStick);
    EXPECT_EQ(take_events(), (Events{{10 + QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, kStickText}}));
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
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
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

// What the code page lacks becomes its default character and the text inexact;
// a best-fit mapping (the euro sign) and zeros inside the text are exact.
TEST(Win32Text, AnsiCodePageWithItsDefaultCharacter)
{
    ASSERT_EQ(GetACP(), 1252u);
    auto latin = kestrune::platform::wide_to_ansi(std::u16string(u"Caf\u00e9 \u20ac\0!", 8));
    EXPECT_EQ(latin.text, std::string("Caf\xe9 \x80\0!", 8));
    EXPECT_TRUE(latin.exact);
    auto cjk = kestrune::platform::wide_to_ansi(u"a\u4e2db");
    EXPECT_EQ(cjk.text, "a?b");
    EXPECT_FALSE(cjk.exact);
}

} // namespace
