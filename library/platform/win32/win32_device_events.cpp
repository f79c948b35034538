// Device events on Windows: the hidden top-level window "Sample Window Class" of
// the executable module, subscribed with RegisterDeviceNotificationW, and the
// notification thread's message loop. WM_DEVICECHANGE is a sent message: the
// system calls the window procedure from inside GetMessageW, and its record is
// the system's, valid only during that call; the procedure's result goes back to
// the system as the answer.
//
// The stop request is a manual-reset event made with the source, before the
// thread starts, plus the thread message WM_USER + 1 once the thread has a queue:
// set_up makes the queue before it looks at the event, so a request either finds
// the queue or is seen by set_up. Everything set_up and subscribe acquire is
// given back on release (notifications, window, class), so that a later
// registration can register the class and create its window afresh.
#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/device_events.h"

namespace kestrune::platform {

namespace {

constexpr wchar_t kClassName[] = L"Sample Window Class";
constexpr UINT kStopMessage = WM_USER + 1;

class WindowSource;

// The source whose window belongs to this thread: the window procedure finds it
// here, since the window has no extra bytes and no creation data.
thread_local WindowSource *threadSource = nullptr;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class WindowSource final : public DeviceEventSource {
public:
    explicit WindowSource(HANDLE stopEvent) : stopEvent_(stopEvent) {}
    ~WindowSource() override
    {
        release();
        CloseHandle(stopEvent_);
    }
    WindowSource(const WindowSource &) = delete;
    WindowSource &operator=(const WindowSource &) = delete;

    bool set_up(WindowProcedure procedure) override
    {
        procedure_ = procedure;
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // the thread's queue
        threadId_.store(GetCurrentThreadId());
        if (stop_requested())
            return false;
        instance_ = GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = window_procedure;
        windowClass.hInstance = instance_;
        windowClass.lpszClassName = kClassName;
        if (RegisterClassW(&windowClass) == 0)
            return false;
        classRegistered_ = true;
        threadSource = this;
        window_ = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
        return window_ != nullptr;
    }

    bool subscribe(const Guid &interfaceClass) override
    {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        static_assert(sizeof filter == sizeof(DevBroadcastDeviceInterface), "the filter's dbcc_size is 32");
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        std::memcpy(&filter.dbcc_classguid, &interfaceClass, sizeof filter.dbcc_classguid);
        HDEVNOTIFY notification = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (notification == nullptr)
            return false;
        notifications_.push_back(notification);
        return true;
    }

    DeviceWait dispatch() override
    {
        if (stop_requested())
            return DeviceWait::kStop;
        MSG message;
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1)
            return DeviceWait::kError;
        if (got == 0 || (message.hwnd == nullptr && message.message == kStopMessage))
            return DeviceWait::kStop;
        TranslateMessage(&message);
        DispatchMessageW(&message);
        return DeviceWait::kMessage;
    }

    // A stop request cuts a back-off pause short.
    void pause(std::chrono::milliseconds time) override
    {
        WaitForSingleObject(stopEvent_, static_cast<DWORD>(time.count()));
    }

    intptr_t default_procedure(uint32_t message, uintptr_t wParam, intptr_t lParam) override
    {
        return DefWindowProcW(procedureWindow_, message, wParam, lParam);
    }

    void request_stop() override
    {
        SetEvent(stopEvent_);
        if (DWORD thread = threadId_.load())
            PostThreadMessageW(thread, kStopMessage, 0, 0);
    }

    void release() override
    {
        for (HDEVNOTIFY notification : notifications_)
            UnregisterDeviceNotification(notification);
        notifications_.clear();
        if (window_ != nullptr)
            DestroyWindow(window_);
        window_ = nullptr;
        if (classRegistered_)
            UnregisterClassW(kClassName, instance_);
        classRegistered_ = false;
        if (threadSource == this)
            threadSource = nullptr;
    }

    // The procedure of the system's call; `window` is the window it addresses,
    // also while CreateWindowExW runs and window_ is not yet known.
    LRESULT deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        HWND outer = procedureWindow_; // a procedure may send messages of its own
        procedureWindow_ = window;
        LRESULT result = procedure_(this, message, wParam, lParam);
        procedureWindow_ = outer;
        return result;
    }

private:
    bool stop_requested() const { return WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0; }

    HANDLE stopEvent_;
    std::atomic<DWORD> threadId_{0};
    WindowProcedure procedure_ = nullptr;
    HINSTANCE instance_ = nullptr;
    bool classRegistered_ = false;
    HWND window_ = nullptr;
    HWND procedureWindow_ = nullptr;
    std::vector<HDEVNOTIFY> notifications_;
};

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (threadSource == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    return threadSource->deliver(window, message, wParam, lParam);
}

} // namespace

std::unique_ptr<DeviceEventSource> system_device_event_source()
{
    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr)
        return nullptr;
    try {
        return std::make_unique<WindowSource>(stopEvent);
    } catch (...) {
        CloseHandle(stopEvent);
        throw;
    }
}

} // namespace kestrune::platform
