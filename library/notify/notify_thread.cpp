// The notification thread: the owner of the event source that stands in for the
// hidden window and its message loop.
//
// The thread subscribes to the seven interface classes in table order, then asks
// the device lookup to remember every device present, so that a removal of one of
// them still yields its texts. It leaves its loop on the stop request only; a
// failed retrieval does not end it. On leaving, whether set-up worked or not, it
// releases everything the event source acquired for it: nothing stays behind for
// the next registration to trip over.
#include <array>

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

void run_message_loop(platform::DeviceEventSource &window)
{
    while (window.dispatch() != platform::DeviceWait::kStop) {
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
