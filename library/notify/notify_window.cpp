#include <cstddef>
#include <cstring>

#include "notify/device_arrival.h"
#include "notify/device_broadcast_filter.h"
#include "notify/notify_record.h"

namespace kestrune::notify {

const platform::DevBroadcastDeviceInterface *accepted_interface_event(uintptr_t wParam, intptr_t lParam)
{
    if (wParam != platform::kDbtDeviceArrival && wParam != platform::kDbtDeviceRemoveComplete)
        return nullptr;
    if (lParam == 0)
        return nullptr;
    platform::DevBroadcastHdr header;
    std::memcpy(&header, reinterpret_cast<const void *>(lParam), sizeof header);
    if (header.dbch_devicetype != platform::kDbtDevtypDeviceInterface)
        return nullptr;
    // The record must at least reach past the class and one name unit.
    if (header.dbch_size < offsetof(platform::DevBroadcastDeviceInterface, dbcc_name) + sizeof(char16_t))
        return nullptr;
    return reinterpret_cast<const platform::DevBroadcastDeviceInterface *>(lParam);
}

intptr_t DeviceNotifyWndProc(platform::DeviceEventSource *window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) noexcept
{
    // An event that cannot be handled (memory exhausted, a callback that throws)
    // is lost; the thread and the registration carry on.
    try {
        if (message != platform::kWmDeviceChange)
            return window->default_procedure(message, wParam, lParam);
        if (const platform::DevBroadcastDeviceInterface *record = accepted_interface_event(wParam, lParam))
            UpdateDevice(record, wParam);
    } catch (...) {
    }
    return 0;
}

} // namespace kestrune::notify
