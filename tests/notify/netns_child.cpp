// The inner half of the kernel-event tests, run in a network and mount namespace
// of its own with sysfs mounted afresh, so that /sys/class/net shows this
// namespace's interfaces. Without arguments it registers a callback, creates and
// deletes a veth pair, and checks that the callback heard two arrivals and two
// removals naming the interfaces, on one thread that is not its own. With
// "overflow" it lets one veth pair overflow the smallest socket buffer of an event
// source and dispatches once; the caller reads the lines. Exit 0: passed; 1:
// failed (what it saw is printed); 77: the machine cannot do this (the reason is
// printed).
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune.h"
#include "platform/linux/linux_sysfs_lookup.h"
#include "platform/linux/linux_uevent_source.h"
#include "platform/thread_id.h"
#include "support/uevent_socket.h"

namespace {

struct Event {
    int kind;
    uint32_t thread;
    std::string text;
};

std::mutex eventsMutex;
std::condition_variable eventsChanged;
std::vector<Event> events;

void on_device(int kind, char *text)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.push_back({kind, kestrune::platform::current_thread_id(), text});
    eventsChanged.notify_all();
}

// Waits until the callback has heard `kind` for every interface of `names`.
bool heard(int kind, const std::vector<std::string> &names, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(eventsMutex);
    return eventsChanged.wait_for(lock, timeout, [&] {
        for (const std::string &name : names) {
            bool found = false;
            for (const Event &e : events)
                found = found || (e.kind == kind && e.text.find(";" + name + ";") != std::string::npos);
            if (!found)
                return false;
        }
        return true;
    });
}

bool ip(const std::string &arguments)
{
    return std::system(("ip " + arguments + " >/dev/null").c_str()) == 0;
}

intptr_t ignore_message(kestrune::platform::DeviceEventSource *, uint32_t, uintptr_t, intptr_t) noexcept
{
    return 0;
}

int overflow()
{
    namespace platform = kestrune::platform;
    std::unique_ptr<platform::DeviceEventSource> source =
        platform::make_uevent_source(platform::system_sysfs_device_lookup(), 1);
    if (!source || !source->set_up(ignore_message)) {
        std::printf("SKIP no kernel uevent socket\n");
        return 77;
    }
    source->subscribe(platform::kGuidNdisLanClass);
    // Two interfaces with their queues: more events than the buffer holds.
    ip("link add ko0 type veth peer name ko1");
    // The overflow is reported, then what was queued is handed on.
    platform::DeviceWait first = source->dispatch();
    std::printf("first dispatch %s\n", first == platform::DeviceWait::kMessage ? "delivered" : "failed");
    source->release();
    return first == platform::DeviceWait::kMessage ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!ip("link show lo")) {
        std::printf("SKIP the ip command of iproute2 is not available\n");
        return 77;
    }
    // A socket of our own tells whether this kernel delivers uevents at all.
    int probe = kestrune::test::open_uevent_socket();
    if (probe < 0) {
        std::printf("SKIP no kernel uevent socket\n");
        return 77;
    }
    if (argc > 1 && std::string(argv[1]) == "overflow")
        return overflow();

    uint32_t mainThread = kestrune::platform::current_thread_id();
    int registered = QVX_KESTRUNE_Register_Device_Notification(on_device);

    // Success means the thread started, not that it listens: wait for a first
    // event of our own before the pair under test.
    bool listening = false;
    for (int i = 0; i < 20 && !listening && registered == 0; ++i) {
        std::string name = "ksync" + std::to_string(i);
        ip("link add " + name + " type veth peer name " + name + "p");
        listening = heard(QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, {name}, std::chrono::milliseconds(500));
    }
    pollfd reached{probe, POLLIN, 0};
    if (registered == 0 && !listening && poll(&reached, 1, 0) == 0) {
        std::printf("SKIP uevents of a veth made in a fresh network namespace do not reach that namespace\n");
        return 77;
    }
    bool arrived = false;
    bool removed = false;
    if (listening) {
        ip("link add kt0 type veth peer name kt1");
        arrived = heard(QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, {"kt0", "kt1"}, std::chrono::seconds(10));
        ip("link del kt0");
        removed = heard(QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, {"kt0", "kt1"}, std::chrono::seconds(10));
    }
    int unregistered = QVX_KESTRUNE_Unregister_Device_Notification();

    std::lock_guard<std::mutex> lock(eventsMutex);
    bool oneOtherThread = !events.empty();
    for (const Event &e : events) {
        std::printf("event %d on thread %u: %s\n", e.kind, e.thread, e.text.c_str());
        oneOtherThread = oneOtherThread && e.thread == events[0].thread && e.thread != mainThread;
    }
    std::printf("main thread %u, register %d, unregister %d, listening %d, arrived %d, removed %d\n", mainThread,
                registered, unregistered, listening, arrived, removed);
    return registered == 0 && unregistered == 0 && arrived && removed && oneOtherThread ? 0 : 1;
}
