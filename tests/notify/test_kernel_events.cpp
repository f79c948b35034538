// End to end with real kernel events, in a child of this program that enters
// network and mount namespaces of its own, with sysfs mounted afresh so that
// /sys/class/net shows that namespace's interfaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune.h"
#include "platform/linux/linux_sysfs_lookup.h"
#include "platform/linux/linux_uevent_source.h"
#include "support/child_process.h"
#include "support/private_sysfs.h"
#include "support/stdout_capture.h"

using namespace std::chrono_literals;
namespace platform = kestrune::platform;

namespace {

TEST(KernelEvents, VethPairsArriveAndLeaveAndAnOverflowIsLoggedOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    kestrune::test::ChildProcess child(
        {"/proc/self/exe", "--gtest_also_run_disabled_tests", "--gtest_filter=KernelEvents.DISABLED_*"},
        open("/dev/null", O_RDONLY | O_CLOEXEC), [] {
            if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || !kestrune::test::mount_private_sysfs())
                kestrune::test::ChildProcess::fail("cannot enter a fresh network and mount namespace\n", 1);
        });
    EXPECT_EQ(child.wait_exit(90s), 0) << child.output() << child.errors();
    EXPECT_NE(child.output().find("[  PASSED  ] 2 tests"), std::string::npos) << child.output();
}

std::mutex eventsMutex;
std::condition_variable eventsChanged;
std::vector<std::pair<int, std::string>> events;

void on_device(int kind, char *text)
{
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.emplace_back(kind, text);
    eventsChanged.notify_all();
}

// Waits until the callback has heard `kind` for every interface of `names`.
bool heard(int kind, const std::vector<std::string> &names, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(eventsMutex);
    return eventsChanged.wait_for(lock, timeout, [&] {
        return std::all_of(names.begin(), names.end(), [&](const std::string &name) {
            return std::any_of(events.begin(), events.end(), [&](const auto &event) {
                return event.first == kind && event.second.find(";" + name + ";") != std::string::npos;
            });
        });
    });
}

int ip(const std::string &arguments)
{
    return std::system(("ip " + arguments + " >/dev/null").c_str());
}

TEST(KernelEvents, DISABLED_VethPair)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(on_device), 0);
    // Success means the thread started, not that it listens: wait for a first
    // event of our own before the pair under test.
    bool listening = false;
    for (int i = 0; i < 20 && !listening; ++i) {
        const std::string name = "ksync" + std::to_string(i);
        ASSERT_EQ(ip("link add " + name + " type veth peer name " + name + "p"), 0);
        listening = heard(QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, {name}, 500ms);
    }
    EXPECT_TRUE(listening);
    ip("link add kt0 type veth peer name kt1");
    EXPECT_TRUE(heard(QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL, {"kt0", "kt1"}, 10s));
    ip("link del kt0");
    EXPECT_TRUE(heard(QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, {"kt0", "kt1"}, 10s));
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), 0);
}

intptr_t ignore_message(platform::DeviceEventSource *, uint32_t, uintptr_t, intptr_t) noexcept
{
    return 0;
}

TEST(KernelEvents, DISABLED_Overflow)
{
    // The smallest socket buffer, and one veth pair with its queues: more events than it holds.
    std::unique_ptr<platform::DeviceEventSource> source =
        platform::make_uevent_source(platform::system_sysfs_device_lookup(), 1);
    ASSERT_TRUE(source && source->set_up(ignore_message)) << "no kernel uevent socket";
    source->subscribe(platform::kGuidNdisLanClass);
    ASSERT_EQ(ip("link add ko0 type veth peer name ko1"), 0);
    kestrune::test::StdoutCapture out;
    // The overflow is reported, once, then what was queued is handed on.
    EXPECT_EQ(source->dispatch(), platform::DeviceWait::kMessage);
    source->release();
    const std::string lines = out.text();
    EXPECT_EQ(lines.find("E KestruneCtl "), lines.rfind("E KestruneCtl ")) << lines;
    EXPECT_NE(lines.find("recvmsg() failed with ENOBUFS"), std::string::npos) << lines;
}

} // namespace
