// Registration, the notification thread and its window procedure, driven by a
// scripted event source and a fake sysfs tree through the product's seams.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/kestrune.h"
#include "notify/notify_backends.h"
#include "notify_fakes.h"
#include "platform/thread_id.h"
#include "support/stdout_capture.h"

using namespace kestrune::test;
namespace platform = kestrune::platform;

namespace {

const std::u16string kEth0Arrival = u"\\\\?\\net#eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}";
const std::string kEth0Text = "Intel Ethernet I219-LM;eth0;;Intel Corporation;";

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        firstRecorder.clear();
        secondRecorder.clear();
        sysfs.add_device("devices/pci0000:00/0000:00:1f.6", {{"vendor", "0x8086\n"},
                                                              {"model", "Intel Ethernet I219-LM\n"},
                                                              {"manufacturer", "Intel Corporation\n"}});
        sysfs.add_device("devices/pci0000:00/0000:00:1f.6/net/eth0", {{"uevent", "INTERFACE=eth0\n"}});
        sysfs.add_member("devices/pci0000:00/0000:00:1f.6/net/eth0/device", "devices/pci0000:00/0000:00:1f.6");
        sysfs.add_member("class/net/eth0", "devices/pci0000:00/0000:00:1f.6/net/eth0");
    }

    void TearDown() override
    {
        StdoutCapture quiet;
        QVX_KESTRUNE_Unregister_Device_Notification();
    }

    ScriptedEvents events;
    FakeSysfs sysfs;
};

TEST_F(Lifecycle, OverrideKeepsTheFirstThreadAndSwapsTheCallback)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    ASSERT_TRUE(firstRecorder.wait_for(1));
    Delivery arrival = firstRecorder.deliveries()[0];
    EXPECT_EQ(arrival.kind, QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL);
    EXPECT_EQ(arrival.text, kEth0Text);
    EXPECT_NE(arrival.thread, platform::current_thread_id());

    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Register_Device_Notification(second_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Register_Device_Notification #: Override register info! thread=" +
                  std::to_string(arrival.thread) + "\r\n");
    events->push(interface_message(platform::kDbtDeviceRemoveComplete, kEth0Arrival));
    ASSERT_TRUE(secondRecorder.wait_for(1));
    Delivery removal = secondRecorder.deliveries()[0];
    EXPECT_EQ(removal.kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(removal.text, kEth0Text);
    EXPECT_EQ(removal.thread, arrival.thread);
    EXPECT_EQ(firstRecorder.deliveries().size(), 1u);

    std::lock_guard<std::mutex> lock(events->mutex);
    EXPECT_EQ(events->created, 1);
    // The seven interface classes, in table order.
    EXPECT_EQ(events->subscribed,
              (std::vector<kestrune::Guid>{platform::kGuidDevinterfaceUsbDevice, platform::kGuidDevinterfaceDisk,
                                           platform::kGuidDevinterfaceHid, platform::kGuidNdisLanClass,
                                           platform::kGuidDevinterfaceComport,
                                           platform::kGuidDevinterfaceSerenumBusEnumerator,
                                           platform::kGuidDevinterfaceCdrom}));
}

TEST_F(Lifecycle, UnregisterTwiceGivesZeroThenThree)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_INVALID_PARAM);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
    std::lock_guard<std::mutex> lock(events->mutex);
    EXPECT_EQ(events->releases, 1);
    EXPECT_EQ(events->destroyed, 1);
}

TEST_F(Lifecycle, RegisterAfterUnregisterListensAgain)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(second_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(out.text(), "") << "a fresh registration, not an override";
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    ASSERT_TRUE(secondRecorder.wait_for(1));
    EXPECT_EQ(secondRecorder.deliveries()[0].text, kEth0Text);
    EXPECT_TRUE(firstRecorder.deliveries().empty());
    std::lock_guard<std::mutex> lock(events->mutex);
    EXPECT_EQ(events->created, 2);
    EXPECT_EQ(events->setUps, 2);
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
        events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(counting_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    // The thread has left its loop (release is its last act) and no callback is
    // half-way through.
    EXPECT_EQ(callbacksEntered.load(), callbacksLeft.load());
    std::lock_guard<std::mutex> lock(events->mutex);
    EXPECT_EQ(events->releases, 1);
    EXPECT_EQ(events->destroyed, 1);
}

TEST_F(Lifecycle, StopReachesAThreadStillSettingUp)
{
    events->holdSetUpUntilStop = true;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    }
    std::lock_guard<std::mutex> lock(events->mutex);
    EXPECT_EQ(events->releases, 20);
    EXPECT_TRUE(events->subscribed.empty());
}

TEST_F(Lifecycle, FailedSetUpEndsTheThreadWithoutAWord)
{
    events->failSetUp = true;
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    ASSERT_TRUE(events->wait_released(1));
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(firstRecorder.deliveries().empty());
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

TEST_F(Lifecycle, NullCallbackDeliversNothing)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(nullptr), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    ASSERT_TRUE(events->wait_drained());
    StdoutCapture quiet;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(interface_message(platform::kDbtDeviceRemoveComplete, kEth0Arrival));
    ASSERT_TRUE(firstRecorder.wait_for(1));
    EXPECT_EQ(firstRecorder.deliveries().size(), 1u);
    EXPECT_EQ(firstRecorder.deliveries()[0].kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
}

TEST_F(Lifecycle, OnlyInterfaceArrivalsAndRemovalsPassTheFilter)
{
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(volume_message(platform::kDbtDeviceArrival));
    events->push(volume_message(platform::kDbtDeviceRemoveComplete));
    events->push(port_message(platform::kDbtDeviceArrival, u"COM3"));
    events->push(interface_message(platform::kDbtDeviceQueryRemove, kEth0Arrival));
    events->push(interface_message(platform::kDbtDeviceRemovePending, kEth0Arrival));
    platform::DeviceMessage changed;
    changed.message = platform::kWmDeviceChange;
    changed.wParam = platform::kDbtDevNodesChanged;
    events->push(changed);
    platform::DeviceMessage otherMessage = interface_message(platform::kDbtDeviceArrival, kEth0Arrival);
    otherMessage.message = 0x0401;
    events->push(otherMessage);
    platform::DeviceMessage truncated = interface_message(platform::kDbtDeviceArrival, kEth0Arrival);
    truncated.record[0] = 28; // dbcc_size without room for a name
    events->push(truncated);
    platform::DeviceMessage noRecord;
    noRecord.message = platform::kWmDeviceChange;
    noRecord.wParam = platform::kDbtDeviceArrival;
    events->push(noRecord);
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));

    ASSERT_TRUE(firstRecorder.wait_for(1));
    ASSERT_TRUE(events->wait_drained());
    std::vector<Delivery> got = firstRecorder.deliveries();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, kEth0Text);
}

TEST_F(Lifecycle, LinkNameErrorsAreLoggedAndSkipped)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(interface_message(platform::kDbtDeviceArrival, u"\\\\?\\"));
    events->push(interface_message(platform::kDbtDeviceArrival, u"\\\\?\\eth0"));
    events->push(interface_message(platform::kDbtDeviceArrival, u"\\\\?\\eth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}"));
    events->push(interface_message(platform::kDbtDeviceRemoveComplete,
                                   u"\\\\?\\NeT#EtH0#{AD498944-762F-11D0-8DCB-00C04FC3358C}\\{REFERENCE}"));
    events->push(interface_message(platform::kDbtDeviceArrival, u"\\\\?\\usb#1-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
                                   platform::kGuidDevinterfaceUsbDevice));
    ASSERT_TRUE(firstRecorder.wait_for(3));
    std::vector<Delivery> got = firstRecorder.deliveries();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].text, "");
    EXPECT_EQ(got[1].text, kEth0Text);
    EXPECT_EQ(got[1].kind, QVX_KESTRUNE_DEVICE_EVENT_REMOVAL);
    EXPECT_EQ(got[2].text, "");
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! dbcc_name\r\n"
              "E KestruneCtl UpdateDevice #: dbcc name fmt error! no #\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: dbcc name fmt error! no \\\n"
              "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: ERR: SetupDiGetClassDevs(): 13\n");
}

std::atomic<int> unregisterFromCallback{-1};

void unregistering_callback(int, char *)
{
    unregisterFromCallback = QVX_KESTRUNE_Unregister_Device_Notification();
}

TEST_F(Lifecycle, UnregisterFromTheCallbackIsRefused)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(unregistering_callback), QVX_KESTRUNE_RESULT_SUCCESS);
    events->push(interface_message(platform::kDbtDeviceArrival, kEth0Arrival));
    ASSERT_TRUE(events->wait_drained());
    EXPECT_EQ(unregisterFromCallback.load(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_NE(out.text().find("QVX_KESTRUNE_Unregister_Device_Notification"), std::string::npos);
}

// The build's own event source: its stop request must reach the thread wherever
// it is, from set-up to the loop.
TEST(LifecycleOnKernelEvents, RegisterAndUnregisterAtOnceManyTimes)
{
    FakeSysfs sysfs;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(QVX_KESTRUNE_Register_Device_Notification(first_callback), QVX_KESTRUNE_RESULT_SUCCESS);
        ASSERT_EQ(QVX_KESTRUNE_Unregister_Device_Notification(), QVX_KESTRUNE_RESULT_SUCCESS);
    }
}

} // namespace
