// Registration, the notification thread and its window procedure, driven by a
// scripted event source and a fake sysfs tree through the product's seams.
#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune.h"
#include "notify/notify_backends.h"
#include "notify_fakes.h"
#include "platform/linux/linux_sysfs_lookup.h"
#include "platform/linux/linux_uevent_source.h"
#include "platform/thread_id.h"
#include "support/stdout_capture.h"

using namespace kestrune::test;
namespace platform = kestrune::platform;
namespace fs = std::filesystem;

namespace {

struct Delivery {
    int kind;
    std::string text;
    uint32_t thread;
};

// What the scripted sources of one test share: the messages to deliver (a
// message of kFailure is a failed retrieval), how set-up behaves, and what
// happened. Read its fields under its lock.
struct Script {
    static constexpr uint32_t kFailure = 0xFFFFFFFF;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<platform::DeviceMessage> messages;
    bool failSetUp = false, holdSetUpUntilStop = false;
    bool idle = false; // a thread waits, done with every message before
    int releases = 0;
    std::vector<kestrune::Guid> subscribed;
    std::vector<Delivery> delivered[2]; // to callback<0> and callback<1>
    std::vector<int> unregisterResults; // of unregistering_callback
    std::vector<long> pausesMs;

    void push(const platform::DeviceMessage &message, int times = 1)
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.insert(messages.end(), static_cast<size_t>(times), message);
        changed.notify_all();
    }
    template <typename Done> bool wait_until(Done done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), done);
    }
    bool wait_drained()
    {
        return wait_until([this] { return messages.empty() && idle; });
    }
    std::vector<Delivery> wait_delivered(int callback, size_t count)
    {
        EXPECT_TRUE(wait_until([&] { return delivered[callback].size() >= count; }));
        std::lock_guard<std::mutex> lock(mutex);
        return delivered[callback];
    }
};

Script *script;

template <int N> void callback(int kind, char *text)
{
    std::lock_guard<std::mutex> lock(script->mutex);
    script->delivered[N].push_back({kind, text, platform::current_thread_id()});
    script->changed.notify_all();
}

// Plays the script. Its own stop request is kept apart, so that the stop of an
// earlier registration does not reach a later one.
class ScriptedSource final : public platform::DeviceEventSource {
public:
    bool set_up(platform::WindowProcedure procedure) override
    {
        procedure_ = procedure;
        std::unique_lock<std::mutex> lock(script_.mutex);
        if (script_.holdSetUpUntilStop)
            script_.changed.wait(lock, [&] { return stop_; });
        return !stop_ && !script_.failSetUp;
    }

    bool subscribe(const kestrune::Guid &interfaceClass) override
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        script_.subscribed.push_back(interfaceClass);
        return true;
    }

    platform::DeviceWait dispatch() override
    {
        std::unique_lock<std::mutex> lock(script_.mutex);
        script_.idle = true;
        script_.changed.notify_all();
        script_.changed.wait(lock, [&] { return stop_ || !script_.messages.empty(); });
        script_.idle = false;
        if (stop_)
            return platform::DeviceWait::kStop;
        platform::DeviceMessage message = std::move(script_.messages.front());
        script_.messages.pop_front();
        if (message.message == Script::kFailure)
            return platform::DeviceWait::kError;
        lock.unlock();
        procedure_(this, message.message, message.wParam, message.lParam());
        return platform::DeviceWait::kMessage;
    }

    intptr_t default_procedure(uint32_t, uintptr_t, intptr_t) override { return 0; }

    void pause(std::chrono::milliseconds time) override
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        script_.pausesMs.push_back(static_cast<long>(time.count()));
    }

    void request_stop() override
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        stop_ = true;
        script_.changed.notify_all();
    }

    void release() override
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        ++script_.releases;
        script_.changed.notify_all();
    }

private:
    Script &script_ = *script;
    platform::WindowProcedure procedure_ = nullptr;
    bool stop_ = false; // guarded by the script's mutex
};

// A WM_DEVICECHANGE broadcast with a record of `type` that carries `name`.
platform::DeviceMessage broadcast(uintptr_t eventCode, const std::u16string &name,
                                  uint32_t type = platform::kDbtDevtypDeviceInterface)
{
    constexpr size_t kNameOffset = offsetof(platform::DevBroadcastDeviceInterface, dbcc_name);
    platform::DevBroadcastDeviceInterface head{};
    head.dbcc_size = static_cast<uint32_t>(kNameOffset + (name.size() + 1) * sizeof(char16_t));
    head.dbcc_devicetype = type;
    head.dbcc_classguid = platform::kGuidNdisLanClass;
    platform::DeviceMessage message;
    message.message = platform::kWmDeviceChange;
    message.wParam = eventCode;
    message.record.assign((head.dbcc_size + 3) / 4, 0);
    auto *bytes = reinterpret_cast<unsigned char *>(message.record.data());
    std::memcpy(bytes, &head, kNameOffset);
    std::memcpy(bytes + kNameOffset, name.data(), name.size() * sizeof(char16_t));
    return message;
}

const std::u16string kEth0 = u"\\\\?\\net#eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}";
const std::string kEth0Text = "Intel Ethernet I219-LM;eth0;;Intel Corporation;";
constexpr uintptr_t kArrival = platform::kDbtDeviceArrival, kRemoval = platform::kDbtDeviceRemoveComplete;
constexpr int kSuccess = QVX_KESTRUNE_RESULT_SUCCESS;

class Lifecycle : public ::testing::Test {
protected:
    Lifecycle()
    {
        script = &script_;
        kestrune::notify::use_device_event_source([] { return std::make_unique<ScriptedSource>(); });
        const std::string pci = "devices/pci0000:00/0000:00:1f.6";
        sysfs.add_device(pci, {{"model", "Intel Ethernet I219-LM\n"}, {"manufacturer", "Intel Corporation\n"}});
        sysfs.add_device(pci + "/net/eth0", {{"uevent", "INTERFACE=eth0\n"}}, "class/net/eth0");
        sysfs.add_member(pci + "/net/eth0/device", pci);
    }
    ~Lifecycle() override
    {
        StdoutCapture quiet;
        QVX_KESTRUNE_Unregister_Device_Notification();
        kestrune::notify::use_device_event_source(nullptr);
    }

    Script script_;
    FakeSysfs sysfs;
};

TEST_F(Lifecycle, OverridesKeepTheThreadAndUnregisterTwiceGivesZeroThenThree)
{
    // A null callback is accepted and delivers nothing.
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(nullptr), kSuccess);
    script_.push(broadcast(kArrival, kEth0));
    ASSERT_TRUE(script_.wait_drained());
    {
        StdoutCapture quiet;
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
    }
    script_.push(broadcast(kArrival, kEth0));
    const Delivery arrival = script_.wait_delivered(0, 1).at(0);
    EXPECT_EQ(arrival.kind, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL);
    EXPECT_EQ(arrival.text, kEth0Text);
    EXPECT_NE(arrival.thread, platform::current_thread_id());

    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<1>), kSuccess);
    script_.push(broadcast(kRemoval, kEth0));
    const Delivery removal = script_.wait_delivered(1, 1).at(0);
    EXPECT_EQ(removal.kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(removal.text, kEth0Text);
    EXPECT_EQ(removal.thread, arrival.thread);

    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), kSuccess);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess); // afresh: no override
    script_.push(broadcast(kArrival, kEth0));
    EXPECT_EQ(script_.wait_delivered(0, 2).at(1).text, kEth0Text);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Override register info! thread=" +
                  std::to_string(arrival.thread) +
                  "\r\nE KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
    std::lock_guard<std::mutex> lock(script_.mutex);
    EXPECT_EQ(script_.delivered[1].size(), 1u);
    EXPECT_EQ(script_.releases, 1);
    EXPECT_EQ(script_.subscribed.size(), 14u) << "every interface class, by each thread";
}

long open_descriptors()
{
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
}

TEST_F(Lifecycle, RegisterAndUnregisterAtOnceNeverHangs)
{
    // A stop must reach a thread still in set-up, which here waits for it.
    script_.holdSetUpUntilStop = true;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), kSuccess);
    }
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        EXPECT_EQ(script_.releases, 20);
        EXPECT_TRUE(script_.subscribed.empty());
    }
    // The build's own event source, stopped wherever its thread is, releases all it opened.
    kestrune::notify::use_device_event_source(nullptr);
    const auto before = open_descriptors();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), kSuccess);
    }
    // Stopped so early, the source seldom got as far as its socket: release it directly.
    auto source = platform::make_uevent_source(platform::system_sysfs_device_lookup(), 1 << 16);
    ASSERT_TRUE(source->set_up(nullptr));
    source->release();
    source.reset();
    EXPECT_EQ(open_descriptors(), before);
}

// Sets up the build's event source with every bind() of the process failing
// (EACCES), and exits 0 when the set-up failed and kept no descriptor.
[[noreturn]] void set_up_with_bind_refused()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_bind, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        std::_Exit(2);
    auto source = platform::make_uevent_source(platform::system_sysfs_device_lookup(), 1 << 16);
    const auto before = open_descriptors();
    const bool up = source->set_up(nullptr);
    std::_Exit(!up && open_descriptors() == before ? 0 : 1);
}

TEST(UeventSource, AFailedBindFailsTheSetUpAndClosesTheSocket)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(set_up_with_bind_refused(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Lifecycle, AThreadThatCannotSetUpOrStartLeavesNothingBehind)
{
    // A failed set-up ends the thread without a word; the registration stays until unregistered.
    script_.failSetUp = true;
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
    ASSERT_TRUE(script_.wait_until([&] { return script_.releases == 1; }));
    script_.push(broadcast(kArrival, kEth0));
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), kSuccess);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(script_.wait_delivered(0, 0).empty());

    // No event source: no thread that could ever be told to stop, so no registration.
    kestrune::notify::use_device_event_source([] { return std::unique_ptr<platform::DeviceEventSource>(); });
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Error new thread!\r\n"
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
}

TEST_F(Lifecycle, OnlyInterfaceEventsAreDecodedAndBadLinkNamesLogged)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
    // Rejected by the filter; each would be decoded if its one flaw went unseen.
    platform::DeviceMessage otherMessage = broadcast(kArrival, kEth0), truncated = otherMessage, noRecord = otherMessage;
    otherMessage.message = 0x0401;
    truncated.record[0] = 28; // dbcc_size without room for a name
    noRecord.record.clear();
    for (const platform::DeviceMessage &rejected :
         {broadcast(kArrival, kEth0, platform::kDbtDevtypVolume), broadcast(kArrival, kEth0, platform::kDbtDevtypPort),
          broadcast(platform::kDbtDeviceQueryRemove, kEth0), otherMessage, truncated, noRecord})
        script_.push(rejected);
    // Decoded: names of four characters or without a number sign behind the four
    // skipped ones are logged and dropped; an ID without a backslash is logged and
    // called back empty.
    for (const char16_t *name :
         {u"\\\\?\\", u"\\\\?\\eth0", u"##?#eth0", u"\\\\?\\eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}"})
        script_.push(broadcast(kArrival, name));
    script_.push(broadcast(kRemoval, u"\\\\?\\NeT#EtH0#{AD498944-762F-11D0-8DCB-00C04FC3358C}\\{REFERENCE}"));

    ASSERT_TRUE(script_.wait_drained());
    const std::vector<Delivery> got = script_.wait_delivered(0, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "");
    EXPECT_EQ(got[0].kind, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL);
    EXPECT_EQ(got[1].text, kEth0Text);
    EXPECT_EQ(got[1].kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! dbcc_name\r\n"
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! no #\r\n"
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! no #\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: dbcc name fmt error! no \\\n");
}

TEST_F(Lifecycle, RepeatedRetrievalFailuresBackOffAndASingleOneIsRetriedAtOnce)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(callback<0>), kSuccess);
    platform::DeviceMessage failure;
    failure.message = Script::kFailure;
    script_.push(failure, 6);
    script_.push(broadcast(kArrival, kEth0));
    script_.push(failure, 1);
    script_.push(broadcast(kRemoval, kEth0));
    script_.push(failure, 2);
    ASSERT_TRUE(script_.wait_drained());
    EXPECT_EQ(script_.wait_delivered(0, 2).size(), 2u);
    std::lock_guard<std::mutex> lock(script_.mutex);
    // Doubling to a cap of a few milliseconds; a message starts afresh.
    EXPECT_EQ(script_.pausesMs, (std::vector<long>{1, 2, 4, 4, 4, 1}));
}

void unregistering_callback(int, char *)
{
    const int result = QVX_KESTRUNE_Unregister_Device_Notification();
    std::lock_guard<std::mutex> lock(script->mutex);
    script->unregisterResults.push_back(result);
}

TEST_F(Lifecycle, UnregisterFromTheCallbackIsRefusedAndTheRegistrationStays)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(unregistering_callback), kSuccess);
    script_.push(broadcast(kArrival, kEth0));
    script_.push(broadcast(kRemoval, kEth0));
    EXPECT_TRUE(script_.wait_drained());
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        EXPECT_EQ(script_.unregisterResults, std::vector<int>(2, QVX_KESTRUNE_RESULT_INTERNAL_ERROR))
            << "refused each time, while the thread goes on listening";
    }
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), kSuccess);
    EXPECT_NE(out.text().find("QVX_KESTRUNE_Unregister_Device_Notification"), std::string::npos);
}

} // namespace
