// Registration, the notification thread and its window procedure, driven by a
// scripted event source and a fake sysfs tree through the product's seams.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrune.h"
#include "notify/notify_backends.h"
#include "notify_fakes.h"
#include "platform/thread_id.h"
#include "support/stdout_capture.h"

using namespace kestrune::test;
namespace platform = kestrune::platform;

namespace {

constexpr std::chrono::seconds kTimeout{10};

struct Delivery {
    int kind;
    std::string text;
    uint32_t thread;
};

// What the scripted sources of one test share: the messages to deliver, the
// behaviour of set-up, and what happened.
struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<platform::DeviceMessage> messages;
    bool failSetUp = false;
    bool holdSetUpUntilStop = false;
    bool idle = false; // a thread waits, done with every message before
    int created = 0;
    int releases = 0;
    std::vector<kestrune::Guid> subscribed;
    std::vector<Delivery> delivered[2]; // to first_callback and second_callback
    std::vector<int> unregisterResults; // of unregistering_callback
    std::vector<long> pausesMs;

    // In the queue, a failed retrieval.
    static constexpr uint32_t kFailure = 0xFFFFFFFF;
    void push_failures(int count)
    {
        platform::DeviceMessage failure;
        failure.message = kFailure;
        for (int i = 0; i < count; ++i)
            push(failure);
    }

    void push(platform::DeviceMessage message)
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(message));
        changed.notify_all();
    }
    template <typename Done> bool wait_until(Done done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kTimeout, done);
    }
    bool wait_drained()
    {
        return wait_until([this] { return messages.empty() && idle; });
    }
    bool wait_delivered(int callback, size_t count)
    {
        return wait_until([this, callback, count] { return delivered[callback].size() >= count; });
    }
    std::vector<Delivery> deliveries(int callback)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return delivered[callback];
    }
};

Script *currentScript;

template <int N> void record_to(int kind, char *text)
{
    std::lock_guard<std::mutex> lock(currentScript->mutex);
    currentScript->delivered[N].push_back({kind, text, platform::current_thread_id()});
    currentScript->changed.notify_all();
}
constexpr QVX_KESTRUNE_DEVICE_NOTIFY_CB first_callback = record_to<0>;
constexpr QVX_KESTRUNE_DEVICE_NOTIFY_CB second_callback = record_to<1>;

// Plays the current script. Its own stop request is kept apart, so that the stop
// of an earlier registration does not reach a later one.
class ScriptedSource final : public platform::DeviceEventSource {
public:
    ScriptedSource()
    {
        std::lock_guard<std::mutex> lock(script_.mutex);
        ++script_.created;
    }

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
    Script &script_ = *currentScript;
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
constexpr uintptr_t kArrival = platform::kDbtDeviceArrival;
constexpr uintptr_t kRemoval = platform::kDbtDeviceRemoveComplete;

class Lifecycle : public ::testing::Test {
protected:
    Lifecycle()
    {
        currentScript = &script;
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

    Script script;
    FakeSysfs sysfs;
};

TEST_F(Lifecycle, NullCallbackThenOverridesKeepTheFirstThread)
{
    // A null callback is accepted and delivers nothing.
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(nullptr), QVX_KESTRUNE_RESULT_SUCCESS);
    script.push(broadcast(kArrival, kEth0));
    ASSERT_TRUE(script.wait_drained());
    {
        StdoutCapture quiet;
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    }
    script.push(broadcast(kArrival, kEth0));
    ASSERT_TRUE(script.wait_delivered(0, 1));
    const Delivery arrival = script.deliveries(0)[0];
    EXPECT_EQ(arrival.kind, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL);
    EXPECT_EQ(arrival.text, kEth0Text);
    EXPECT_NE(arrival.thread, platform::current_thread_id());

    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(second_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Override register info! thread=" +
                  std::to_string(arrival.thread) + "\r\n");
    script.push(broadcast(kRemoval, kEth0));
    ASSERT_TRUE(script.wait_delivered(1, 1));
    const Delivery removal = script.deliveries(1)[0];
    EXPECT_EQ(removal.kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(removal.text, kEth0Text);
    EXPECT_EQ(removal.thread, arrival.thread);
    EXPECT_EQ(script.deliveries(0).size(), 1u);

    std::lock_guard<std::mutex> lock(script.mutex);
    EXPECT_EQ(script.created, 1);
    // The seven interface classes, in table order.
    EXPECT_EQ(script.subscribed,
              (std::vector<kestrune::Guid>{platform::kGuidDevinterfaceUsbDevice, platform::kGuidDevinterfaceDisk,
                                           platform::kGuidDevinterfaceHid, platform::kGuidNdisLanClass,
                                           platform::kGuidDevinterfaceComport,
                                           platform::kGuidDevinterfaceSerenumBusEnumerator,
                                           platform::kGuidDevinterfaceCdrom}));
}

TEST_F(Lifecycle, UnregisterTwiceGivesZeroThenThreeAndRegisterListensAgain)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    {
        StdoutCapture out;
        EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
        EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
        EXPECT_EQ(without_line_numbers(out.text()),
                  "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
        std::lock_guard<std::mutex> lock(script.mutex);
        EXPECT_EQ(script.releases, 1);
    }

    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(second_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(out.text(), "") << "a fresh registration, not an override";
    script.push(broadcast(kArrival, kEth0));
    ASSERT_TRUE(script.wait_delivered(1, 1));
    EXPECT_EQ(script.deliveries(1)[0].text, kEth0Text);
    EXPECT_TRUE(script.deliveries(0).empty());
}

std::atomic<int> callbacksEntered{0};
std::atomic<int> callbacksLeft{0};

void counting_callback(int, char *)
{
    ++callbacksEntered;
    std::this_thread::yield();
    ++callbacksLeft;
}

TEST_F(Lifecycle, NoCallbackRunsAfterUnregisterReturned)
{
    for (int i = 0; i < 500; ++i)
        script.push(broadcast(kArrival, kEth0));
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(counting_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    // No callback is half-way through.
    EXPECT_EQ(callbacksEntered.load(), callbacksLeft.load());
}

TEST_F(Lifecycle, RegisterAndUnregisterAtOnceNeverHangs)
{
    // A stop must reach a thread still in set-up, which here waits for it.
    script.holdSetUpUntilStop = true;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    }
    {
        std::lock_guard<std::mutex> lock(script.mutex);
        EXPECT_EQ(script.releases, 20);
        EXPECT_TRUE(script.subscribed.empty());
    }
    // The build's own event source, stopped wherever its thread is.
    kestrune::notify::use_device_event_source(nullptr);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    }
}

TEST_F(Lifecycle, FailedSetUpEndsTheThreadWithoutAWord)
{
    script.failSetUp = true;
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    ASSERT_TRUE(script.wait_until([&] { return script.releases == 1; }));
    script.push(broadcast(kArrival, kEth0));
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(script.deliveries(0).empty());
}

TEST_F(Lifecycle, ThreadThatCannotStartLeavesNoRegistration)
{
    // No event source, so no thread that could ever be told to stop.
    kestrune::notify::use_device_event_source([] { return std::unique_ptr<platform::DeviceEventSource>(); });
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Error new thread!\r\n"
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
}

TEST_F(Lifecycle, OnlyInterfaceEventsAreDecodedAndBadLinkNamesLogged)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    // Rejected by the filter; each would be decoded if its one flaw went unseen.
    script.push(broadcast(kArrival, kEth0, platform::kDbtDevtypVolume));
    script.push(broadcast(kArrival, kEth0, platform::kDbtDevtypPort));
    script.push(broadcast(platform::kDbtDeviceQueryRemove, kEth0));
    platform::DeviceMessage otherMessage = broadcast(kArrival, kEth0);
    otherMessage.message = 0x0401;
    script.push(otherMessage);
    platform::DeviceMessage truncated = broadcast(kArrival, kEth0);
    truncated.record[0] = 28; // dbcc_size without room for a name
    script.push(truncated);
    platform::DeviceMessage noRecord = broadcast(kArrival, kEth0);
    noRecord.record.clear();
    script.push(noRecord);
    // Decoded: names of four characters or without a number sign are logged and
    // dropped; an ID without a backslash is logged and called back empty.
    script.push(broadcast(kArrival, u"\\\\?\\"));
    script.push(broadcast(kArrival, u"\\\\?\\eth0"));
    script.push(broadcast(kArrival, u"\\\\?\\eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}"));
    script.push(broadcast(kRemoval, u"\\\\?\\NeT#EtH0#{AD498944-762F-11D0-8DCB-00C04FC3358C}\\{REFERENCE}"));

    ASSERT_TRUE(script.wait_drained());
    const std::vector<Delivery> got = script.deliveries(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "");
    EXPECT_EQ(got[0].kind, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL);
    EXPECT_EQ(got[1].text, kEth0Text);
    EXPECT_EQ(got[1].kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! dbcc_name\r\n"
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! no #\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: dbcc name fmt error! no \\\n");
}

TEST_F(Lifecycle, RepeatedRetrievalFailuresBackOffAndASingleOneIsRetriedAtOnce)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    script.push_failures(6);
    script.push(broadcast(kArrival, kEth0));
    script.push_failures(1);
    script.push(broadcast(kRemoval, kEth0));
    script.push_failures(2);
    ASSERT_TRUE(script.wait_drained());
    EXPECT_EQ(script.deliveries(0).size(), 2u);
    std::lock_guard<std::mutex> lock(script.mutex);
    // Doubling to a cap of a few milliseconds; a message starts afresh.
    EXPECT_EQ(script.pausesMs, (std::vector<long>{1, 2, 4, 4, 4, 1}));
}

void unregistering_callback(int, char *)
{
    const int result = QVX_KESTRUNE_Unregister_Device_Notification();
    std::lock_guard<std::mutex> lock(currentScript->mutex);
    currentScript->unregisterResults.push_back(result);
}

TEST_F(Lifecycle, UnregisterFromTheCallbackIsRefusedAndTheRegistrationStays)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(unregistering_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    script.push(broadcast(kArrival, kEth0));
    script.push(broadcast(kRemoval, kEth0));
    EXPECT_TRUE(script.wait_drained());
    {
        std::lock_guard<std::mutex> lock(script.mutex);
        EXPECT_EQ(script.unregisterResults, std::vector<int>(2, QVX_KESTRUNE_RESULT_INTERNAL_ERROR))
            << "refused each time, while the thread goes on listening";
    }
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_NE(out.text().find("QVX_KESTRUNE_Unregister_Device_Notification"), std::string::npos);
}

} // namespace
