// Platform seam: the source of device-interface events, the notification thread's
// stand-in for a hidden top-level window with its message loop.
//
// Porting contract. A source is created on the caller's thread when a callback is
// registered, before the notification thread starts, and destroyed on the caller's
// thread after that thread has ended. In between, the notification thread alone
// calls set_up, subscribe, dispatch (default_procedure and pause in between) and
// release, in that order; request_stop is the one operation any thread may call
// at any time. No lock of the library is held around any of them.
//
//   set_up         acquires what receiving needs (window class and window; the
//                  kernel event socket) and keeps the window procedure. False when
//                  that fails or when a stop was requested already; the thread
//                  then ends at once.
//   subscribe      asks for arrivals and removals of one device interface class.
//                  False when the class cannot be reported; the caller goes on.
//   dispatch       blocks until it has handed one message to the window procedure,
//                  on this thread, or until the stop request. The broadcast record
//                  at lParam is valid only during that call (WM_DEVICECHANGE is a
//                  sent message whose record the system owns), and the procedure's
//                  result is the answer the system gets. kError is a failed
//                  retrieval that does not end the loop.
//   request_stop   idempotent; reaches the thread wherever it is: set_up then
//                  fails and every later dispatch answers kStop.
//   pause          waits the given time or until the stop request, whichever
//                  comes first; the loop's back-off while retrievals keep failing.
//                  The default only sleeps: a backend overrides it with a wait on
//                  its stop signal (Linux: poll on the eventfd; Windows:
//                  WaitForSingleObject on the stop event).
//   release        gives back what set_up and subscribe acquired; called once by
//                  the thread when it leaves, whether or not set_up succeeded.
//
// On Windows (win32/win32_device_events.cpp): set_up is RegisterClassW of
// "Sample Window Class" for the executable module + CreateWindowExW of a hidden
// top-level window (false when the class exists already in the process);
// subscribe is RegisterDeviceNotificationW with a DEV_BROADCAST_DEVICEINTERFACE_W
// filter; dispatch is GetMessageW + TranslateMessage + DispatchMessageW, where
// sent messages such as WM_DEVICECHANGE reach the window procedure inside
// GetMessageW and the procedure's result is returned to their sender; kStop for
// WM_QUIT or the thread message WM_USER + 1; request_stop sets an event that
// set_up and dispatch check and posts WM_USER + 1 once the thread has a queue
// (a thread message to a thread without one is lost); default_procedure is
// DefWindowProcW; pause is a wait on the stop event with a timeout; release is
// UnregisterDeviceNotification, DestroyWindow and UnregisterClassW, so that a
// later registration starts afresh. On Linux the
// events are kernel uevents (linux/linux_uevent_source.cpp): dispatch hands each
// to the procedure the same way, and with no sender to answer, the result is
// dropped there.
#ifndef KESTRUNE_PLATFORM_DEVICE_EVENTS_H
#define KESTRUNE_PLATFORM_DEVICE_EVENTS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/guid.h"

namespace kestrune::platform {

inline constexpr uint32_t kWmDeviceChange = 0x0219;

// Event codes (wParam of WM_DEVICECHANGE).
inline constexpr uintptr_t kDbtDevNodesChanged = 0x0007;
inline constexpr uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr uintptr_t kDbtDeviceQueryRemove = 0x8001;
inline constexpr uintptr_t kDbtDeviceRemovePending = 0x8003;
inline constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;

// Broadcast record types (dbch_devicetype).
inline constexpr uint32_t kDbtDevtypOem = 0;
inline constexpr uint32_t kDbtDevtypVolume = 2;
inline constexpr uint32_t kDbtDevtypPort = 3;
inline constexpr uint32_t kDbtDevtypDeviceInterface = 5;

// The records with the Windows layout; lParam points at one of them.
struct DevBroadcastHdr {
    uint32_t dbch_size;
    uint32_t dbch_devicetype;
    uint32_t dbch_reserved;
};

struct DevBroadcastVolume {
    uint32_t dbcv_size;
    uint32_t dbcv_devicetype;
    uint32_t dbcv_reserved;
    uint32_t dbcv_unitmask;
    uint16_t dbcv_flags;
};

// dbcc_name is the interface's symbolic link name, UTF-16, zero-terminated, and
// runs on past the declared array to the end of dbcc_size.
struct DevBroadcastDeviceInterface {
    uint32_t dbcc_size;
    uint32_t dbcc_devicetype;
    uint32_t dbcc_reserved;
    Guid dbcc_classguid;
    char16_t dbcc_name[1];
};
static_assert(sizeof(DevBroadcastDeviceInterface) == 32, "dbcc_size of an empty filter is 32");

// Interface classes (names as in the Windows SDK).
inline constexpr Guid kGuidDevinterfaceUsbDevice{0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr Guid kGuidDevinterfaceDisk{0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr Guid kGuidDevinterfaceHid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
inline constexpr Guid kGuidNdisLanClass{0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};
inline constexpr Guid kGuidDevinterfaceComport{0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline constexpr Guid kGuidDevinterfaceSerenumBusEnumerator{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline constexpr Guid kGuidDevinterfaceCdrom{0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A message as a backend assembles it before dispatch, the stand-in for a MSG.
// The record is kept in 32-bit units so that lParam is aligned for the structures
// above.
struct DeviceMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    std::vector<uint32_t> record; // empty: lParam is 0

    intptr_t lParam() const { return record.empty() ? 0 : reinterpret_cast<intptr_t>(record.data()); }
};

enum class DeviceWait { kMessage, kStop, kError };

class DeviceEventSource;

// The window procedure. It runs under the system's own frames on Windows, so it
// must not throw.
using WindowProcedure = intptr_t (*)(DeviceEventSource *source, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam) noexcept;

class DeviceEventSource {
public:
    virtual ~DeviceEventSource() = default;
    virtual bool set_up(WindowProcedure procedure) = 0;
    virtual bool subscribe(const Guid &interfaceClass) = 0;
    virtual DeviceWait dispatch() = 0;
    virtual intptr_t default_procedure(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
    virtual void request_stop() = 0;
    virtual void pause(std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }
    virtual void release() = 0;
};

// The build's backend; null when the source cannot even be created (no stop
// signal could be made: the thread could not be told to end).
std::unique_ptr<DeviceEventSource> system_device_event_source();

} // namespace kestrune::platform

#endif
