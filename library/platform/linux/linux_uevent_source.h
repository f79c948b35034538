// The device event source over kernel uevents (see linux_uevent_source.cpp).
#ifndef KESTRUNE_PLATFORM_LINUX_LINUX_UEVENT_SOURCE_H
#define KESTRUNE_PLATFORM_LINUX_LINUX_UEVENT_SOURCE_H

#include <memory>

#include "platform/device_events.h"

namespace kestrune::platform {

class DeviceChanges;

// Room for a burst of events (a hub with its devices, thousands of interfaces
// made at once) while a callback runs.
inline constexpr int kUeventReceiveBufferBytes = 4 * 1024 * 1024;

// A source that tells `changes` what it hears, with a socket buffer of the given
// size (the kernel doubles it, and raises a small one to its minimum). Null when
// no stop signal could be made.
std::unique_ptr<DeviceEventSource> make_uevent_source(std::shared_ptr<DeviceChanges> changes, int receiveBufferBytes);

} // namespace kestrune::platform

#endif
