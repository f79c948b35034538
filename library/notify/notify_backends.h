// Which device event source a new registration uses, and which device lookup the
// decoding asks. Both default to the build's backends; a program (or a test) may
// install others through the same seam. Install only while no registration
// exists; the lookup may be read from the notification thread at any time.
#ifndef KESTRUNE_NOTIFY_NOTIFY_BACKENDS_H
#define KESTRUNE_NOTIFY_NOTIFY_BACKENDS_H

#include <functional>
#include <memory>

#include "platform/device_events.h"
#include "platform/device_lookup.h"

namespace kestrune::notify {

using DeviceEventSourceFactory = std::function<std::unique_ptr<platform::DeviceEventSource>()>;

// An empty factory or a null lookup restores the build's backend.
void use_device_event_source(DeviceEventSourceFactory factory);
void use_device_lookup(std::shared_ptr<platform::DeviceLookup> lookup);

std::unique_ptr<platform::DeviceEventSource> make_device_event_source();
std::shared_ptr<platform::DeviceLookup> device_lookup();

} // namespace kestrune::notify

#endif
