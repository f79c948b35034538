// Turning one accepted device-interface event into one call of the callback.
// Runs on the notification thread, inside the window procedure.
#ifndef KESTRUNE_NOTIFY_DEVICE_ARRIVAL_H
#define KESTRUNE_NOTIFY_DEVICE_ARRIVAL_H

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/device_events.h"

namespace kestrune::notify {

// Derives the instance ID from the record's link name, looks the device up and
// calls the registered callback with the event kind and the device text. Only
// for arrival and remove-complete events of interface records.
void UpdateDevice(const platform::DevBroadcastDeviceInterface *record, uintptr_t eventCode);

// Appends the device's four texts to `deviceText`; `flags` are the search flags
// of the lookup (present devices only, or all the system knows). Failures are
// only logged and leave the text as it was.
void QVX_KESTRUNE_get_device_detail_info_by_devid(std::u16string_view instanceId, uint32_t flags,
                                                  std::u16string &deviceText);

} // namespace kestrune::notify

#endif
