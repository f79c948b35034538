#include "notify/notify_backends.h"

#include <mutex>
#include <utility>

namespace kestrune::notify {

namespace {

std::mutex backendsMutex;
DeviceEventSourceFactory installedEventSource;
std::shared_ptr<platform::DeviceLookup> installedLookup;

} // namespace

void use_device_event_source(DeviceEventSourceFactory factory)
{
    std::lock_guard<std::mutex> lock(backendsMutex);
    installedEventSource = std::move(factory);
}

void use_device_lookup(std::shared_ptr<platform::DeviceLookup> lookup)
{
    std::lock_guard<std::mutex> lock(backendsMutex);
    installedLookup = std::move(lookup);
}

std::unique_ptr<platform::DeviceEventSource> make_device_event_source()
{
    DeviceEventSourceFactory factory;
    {
        std::lock_guard<std::mutex> lock(backendsMutex);
        factory = installedEventSource;
    }
    return factory ? factory() : platform::system_device_event_source();
}

std::shared_ptr<platform::DeviceLookup> device_lookup()
{
    {
        std::lock_guard<std::mutex> lock(backendsMutex);
        if (installedLookup)
            return installedLookup;
    }
    return platform::system_device_lookup();
}

} // namespace kestrune::notify
