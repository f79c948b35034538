// The registration of the device callback and the notification thread it starts.
//
// At most one registration exists per process; `deviceNotify` points at it and is
// null while there is none. The exported operations write the pointer and the
// record on the caller's thread; the notification thread reads them at each event.
// The order of steps carries the safety: the record, callback included, is
// complete before the thread starts; the callback is swapped as one atomic
// pointer, so each event goes whole to the old or the new callback; the record is
// freed only after the thread has ended.
#ifndef KESTRUNE_NOTIFY_NOTIFY_RECORD_H
#define KESTRUNE_NOTIFY_NOTIFY_RECORD_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "kestrune.h"
#include "platform/device_events.h"

namespace kestrune::notify {

struct DeviceNotifyRecord {
    std::thread thread;
    uint32_t threadId = 0;
    std::atomic<QVX_KESTRUNE_DEVICE_NOTIFY_CB> callback{nullptr};
    // The thread's window and message queue. It exists before the thread starts,
    // so that a stop request reaches the thread even while it is still setting up.
    std::unique_ptr<platform::DeviceEventSource> events;
};

extern std::atomic<DeviceNotifyRecord *> deviceNotify;

// The thread procedure: set up the event source, subscribe to the interface
// classes, run the message loop until the stop request, release what it took.
void DeviceNotifyThread(DeviceNotifyRecord *record);

// The window procedure: hands arrivals and removals of device interfaces to
// UpdateDevice; answers 0 to every WM_DEVICECHANGE.
intptr_t DeviceNotifyWndProc(platform::DeviceEventSource *window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) noexcept;

} // namespace kestrune::notify

#endif
