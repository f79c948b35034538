// The filter of the window procedure, a pure function over the message: which
// WM_DEVICECHANGE broadcasts are device-interface arrivals or removals.
#ifndef KESTRUNE_NOTIFY_DEVICE_BROADCAST_FILTER_H
#define KESTRUNE_NOTIFY_DEVICE_BROADCAST_FILTER_H

#include <cstdint>

#include "platform/device_events.h"

namespace kestrune::notify {

// The interface record of an arrival or a remove-complete event; null for every
// other event code, for records of other types (volume, port, OEM broadcasts) and
// for a record too short to hold its type's fields and a link name.
const platform::DevBroadcastDeviceInterface *accepted_interface_event(uintptr_t wParam, intptr_t lParam);

} // namespace kestrune::notify

#endif
