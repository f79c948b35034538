// The notification thread: the owner of the event source that stands in for the
// hidden window and its message loop.
//
// The thread subscribes to the seven interface classes in table order, then asks
// the device lookup to remember every device present, so that a removal of one of
// them still yields its texts. It leaves its loop on the stop request only; a
// failed retrieval does not end it, repeated ones slow it down. On leaving,
// whether set-up worked or not, it releases everything the event source acquired
// for it: nothing stays behind for the next registration to trip over.
#include <algorithm>
#include <array>
#include <chrono>

#include "notify/notify_backends.h"
#include "notify/notify_record.h"

namespace kestrune::notify {

namespace {

constexpr std::array<Guid, 7> kInterfaceClasses = {
    platform::kGuidDevinterfaceUsbDevice,
    platform::kGuidDevinterfaceDisk,
    platform::kGuidDevinterfaceHid,
    platform::kGuidNdisLanClass,
    platform::kGuidDevinterfaceComport,
    platform::kGuidDevinterfaceSerenumBusEnumerator,
    platform::kGuidDevinterfaceCdrom,
};

// A failed retrieval is retried at once, since one failure is usually passing;
// while failures repeat, the loop pauses between tries, doubling up to the cap,
// so that a lasting fault cannot spin a core. The stop request ends a pause.
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{4};

void run_message_loop(platform::DeviceEventSource &window)
{
    std::chrono::milliseconds pause{0};
    for (;;) {
        switch (window.dispatch()) {
        case platform::DeviceWait::kStop: return;
        case platform::DeviceWait::kMessage: pause = std::chrono::milliseconds{0}; break;
        case platform::DeviceWait::kError:
            if (pause.count() != 0)
                window.pause(pause);
            pause = pause.count() == 0 ? kFirstPause : std::min(2 * pause, kLongestPause);
            break;
        }
    }
}

struct ReleaseOnExit {
    platform::DeviceEventSource &window;
    ~ReleaseOnExit() { window.release(); }
};

} // namespace

void DeviceNotifyThread(DeviceNotifyRecord *record)
{
    platform::DeviceEventSource &window = *record->events;
    ReleaseOnExit release{window};
    try {
        if (!window.set_up(DeviceNotifyWndProc))
            return;
        for (const Guid &interfaceClass : kInterfaceClasses)
            window.subscribe(interfaceClass);
        device_lookup()->remember_present();
    } catch (...) {
        return;
    }
    run_message_loop(window);
}

} // namespace kestrune::notify
