// The inner half of the kernel-event test. It runs in a network and mount
// namespace of its own, with sysfs mounted afresh so that /sys/class/net shows
// this namespace's interfaces (test_kernel_events.cpp sets that up before exec).
// It registers a callback, creates and deletes a veth pair, and checks that the
// callback heard two arrivals and two removals naming the interfaces, on one
// thread that is not its own. Exit 0: passed; 1: failed (what it saw is
// printed); 77: the machine cannot do this (the reason is printed).
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/kestrune.h"
#include "platform/thread_id.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

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

bool wait_for(std::chrono::milliseconds timeout, const std::function<bool(const std::vector<Event> &)> &done)
{
    std::unique_lock<std::mutex> lock(eventsMutex);
    return eventsChanged.wait_for(lock, timeout, [&] { return done(events); });
}

bool seen(const std::vector<Event> &all, int kind, const std::string &name)
{
    for (const Event &e : all)
        if (e.kind == kind && e.text.find(";" + name + ";") != std::string::npos)
            return true;
    return false;
}

bool run_ip(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int spawned = posix_spawnp(&pid, "ip", &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int skip(const char *reason)
{
    std::printf("SKIP %s\n", reason);
    return 77;
}

// Whether this kernel delivers the uevents of a veth made in this namespace to
// a uevent socket of this namespace.
bool uevents_reach_this_namespace()
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    bool reached = false;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        run_ip({"link", "add", "kprobe0", "type", "veth", "peer", "name", "kprobe1"})) {
        Clock::time_point end = Clock::now() + std::chrono::seconds(5);
        while (!reached && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            char buffer[8192];
            ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
            if (n > 0) {
                buffer[n] = '\0';
                reached = std::strstr(buffer, "add@") == buffer && std::strstr(buffer, "/net/kprobe0") != nullptr;
            }
        }
        run_ip({"link", "del", "kprobe0"});
    }
    close(fd);
    return reached;
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!run_ip({"link", "show", "lo"}))
        return skip("the ip command of iproute2 is not available");
    if (!uevents_reach_this_namespace())
        return skip("uevents of a veth made in a fresh network namespace do not reach that namespace's "
                    "uevent socket on this kernel");

    uint32_t mainThread = kestrune::platform::current_thread_id();
    int registered = QVX_KESTRUNE_Register_Device_Notification(on_device);

    // Success means the thread started, not that it listens: wait for a first
    // event of our own before the pair under test.
    bool listening = false;
    for (int i = 0; i < 20 && !listening && registered == 0; ++i) {
        std::string name = "ksync" + std::to_string(i);
        run_ip({"link", "add", name, "type", "veth", "peer", "name", name + "p"});
        listening = wait_for(std::chrono::milliseconds(500), [&](const std::vector<Event> &all) {
            return seen(all, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, name);
        });
    }
    bool arrived = false;
    bool removed = false;
    if (listening) {
        run_ip({"link", "add", "kt0", "type", "veth", "peer", "name", "kt1"});
        arrived = wait_for(std::chrono::seconds(10), [](const std::vector<Event> &all) {
            return seen(all, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, "kt0") &&
                   seen(all, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, "kt1");
        });
        run_ip({"link", "del", "kt0"});
        removed = wait_for(std::chrono::seconds(10), [](const std::vector<Event> &all) {
            return seen(all, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, "kt0") &&
                   seen(all, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, "kt1");
        });
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
