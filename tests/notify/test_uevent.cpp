// Kernel uevents on byte arrays, the window messages they become, and the stop
// request of the uevent source.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <thread>

#include "notify_fakes.h"
#include "platform/posix/uevent_message.h"

using namespace kestrune::platform;

namespace {

using namespace std::string_literals;

const std::vector<kestrune::Guid> kAllClasses = {
    kGuidDevinterfaceUsbDevice, kGuidDevinterfaceDisk,     kGuidDevinterfaceHid,  kGuidNdisLanClass,
    kGuidDevinterfaceComport,   kGuidDevinterfaceSerenumBusEnumerator, kGuidDevinterfaceCdrom,
};

// The parsed views point into the bytes, which therefore stay for the test's life.
bool parse(std::string bytes, Uevent &event)
{
    static std::deque<std::string> kept;
    const std::string &stored = kept.emplace_back(std::move(bytes));
    return parse_uevent(stored.data(), stored.size(), event);
}

std::string uevent(const std::string &action, const std::string &devpath, const std::string &fields)
{
    return action + "@" + devpath + "\0ACTION="s + action + "\0DEVPATH="s + devpath + '\0' + fields;
}

TEST(Uevent, KernelMessagesParse)
{
    Uevent event;
    ASSERT_TRUE(parse("add@/devices/virtual/net/va\0ACTION=add\0DEVPATH=/devices/virtual/net/va\0"
                      "SUBSYSTEM=net\0INTERFACE=va\0IFINDEX=3\0SEQNUM=871\0"s,
                      event));
    EXPECT_EQ(event.action, "add");
    EXPECT_EQ(event.subsystem, "net");
    EXPECT_EQ(event.kernel_name(), "va");
    // Without a final NUL too.
    ASSERT_TRUE(parse(uevent("remove", "/devices/pci0000:00/0000:00:14.0/usb1/1-1", "SUBSYSTEM=usb\0DEVTYPE=usb_device"s),
                      event));
    EXPECT_EQ(event.devtype, "usb_device");
    EXPECT_EQ(event.kernel_name(), "1-1");
}

TEST(Uevent, AnythingElseIsRejected)
{
    Uevent event;
    EXPECT_FALSE(parse("", event));
    EXPECT_FALSE(parse("libudev\0\xfe\xed\xca\xfe"s + uevent("add", "/devices/x", "SUBSYSTEM=net\0"s), event));
    EXPECT_FALSE(parse(uevent("add", "/devices/x", ""), event)) << "no SUBSYSTEM";
    EXPECT_FALSE(parse("add@/devices/x\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=net\0"s, event));
    EXPECT_FALSE(parse("add@/\0ACTION=add\0DEVPATH=/\0SUBSYSTEM=net\0"s, event)) << "no kernel name";
}

const kestrune::Guid *class_of(const std::string &subsystem, const std::string &devtype, const std::string &devpath,
                              const std::string &major = "8")
{
    Uevent event;
    event.action = "add";
    event.subsystem = subsystem;
    event.devtype = devtype;
    event.devpath = devpath;
    event.major = major;
    return interface_class_of(event);
}

TEST(Uevent, InterfaceClassesOfDevices)
{
    EXPECT_EQ(class_of("usb", "usb_device", "/devices/usb1/1-1"), &kGuidDevinterfaceUsbDevice);
    EXPECT_EQ(class_of("usb", "usb_interface", "/devices/usb1/1-1/1-1:1.0"), nullptr);
    EXPECT_EQ(class_of("block", "disk", "/devices/pci/ata1/host0/block/sda"), &kGuidDevinterfaceDisk);
    EXPECT_EQ(class_of("block", "disk", "/devices/virtual/block/loop0", "7"), &kGuidDevinterfaceDisk);
    EXPECT_EQ(class_of("block", "disk", "/devices/pci/ata2/host1/block/sr0", "11"), &kGuidDevinterfaceCdrom);
    EXPECT_EQ(class_of("block", "partition", "/devices/pci/ata1/host0/block/sda/sda1"), nullptr);
    EXPECT_EQ(class_of("hid", "", "/devices/usb1/1-2/1-2:1.0/0003:046D:C077.0001"), &kGuidDevinterfaceHid);
    EXPECT_EQ(class_of("net", "", "/devices/virtual/net/veth0"), &kGuidNdisLanClass);
    EXPECT_EQ(class_of("tty", "", "/devices/pnp0/00:05/tty/ttyS0"), &kGuidDevinterfaceComport);
    EXPECT_EQ(class_of("tty", "", "/devices/virtual/tty/tty1"), nullptr);
    EXPECT_EQ(class_of("usb-serial", "", "/devices/usb1/1-3/1-3:1.0/ttyUSB0"), &kGuidDevinterfaceSerenumBusEnumerator);
    EXPECT_EQ(class_of("queues", "", "/devices/virtual/net/veth0/queues/rx-0"), nullptr);
}

std::u16string link_name_in(const DeviceMessage &message)
{
    DevBroadcastDeviceInterface head;
    std::memcpy(&head, message.record.data(), sizeof head);
    constexpr size_t kNameOffset = offsetof(DevBroadcastDeviceInterface, dbcc_name);
    std::u16string name((head.dbcc_size - kNameOffset) / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), reinterpret_cast<const unsigned char *>(message.record.data()) + kNameOffset,
                name.size() * sizeof(char16_t));
    EXPECT_EQ(name.back(), u'\0');
    name.pop_back();
    return name;
}

uint32_t record_type(const DeviceMessage &message)
{
    DevBroadcastHdr head;
    std::memcpy(&head, message.record.data(), sizeof head);
    return head.dbch_devicetype;
}

TEST(Uevent, MessagesOfEvents)
{
    Uevent event;
    DeviceMessage message;
    std::string veth = uevent("add", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0INTERFACE=veth0\0"s);
    ASSERT_TRUE(parse(veth, event));
    ASSERT_TRUE(device_message_for(event, kAllClasses, message));
    EXPECT_EQ(message.message, kWmDeviceChange);
    EXPECT_EQ(message.wParam, kDbtDeviceArrival);
    EXPECT_EQ(record_type(message), kDbtDevtypDeviceInterface);
    EXPECT_EQ(link_name_in(message), u"\\\\?\\net#veth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}");
    EXPECT_FALSE(device_message_for(event, {kGuidDevinterfaceDisk}, message)) << "class not subscribed";

    ASSERT_TRUE(parse(uevent("remove", "/devices/usb1/1-1", "SUBSYSTEM=usb\0DEVTYPE=usb_device\0"s), event));
    ASSERT_TRUE(device_message_for(event, kAllClasses, message));
    EXPECT_EQ(message.wParam, kDbtDeviceRemoveComplete);
    EXPECT_EQ(link_name_in(message), u"\\\\?\\usb#1-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

    // Number signs in a kernel name are escaped, so the name comes back whole.
    ASSERT_TRUE(parse(uevent("add", "/devices/virtual/net/a#b", "SUBSYSTEM=net\0"s), event));
    ASSERT_TRUE(device_message_for(event, kAllClasses, message));
    EXPECT_EQ(link_name_in(message), u"\\\\?\\net#a%23b#{AD498944-762F-11D0-8DCB-00C04FC3358C}");

    // A partition is a volume broadcast, whatever was subscribed.
    ASSERT_TRUE(parse(uevent("add", "/devices/pci/host0/block/sdb/sdb1", "SUBSYSTEM=block\0DEVTYPE=partition\0"s),
                      event));
    ASSERT_TRUE(device_message_for(event, {}, message));
    EXPECT_EQ(message.wParam, kDbtDeviceArrival);
    EXPECT_EQ(record_type(message), kDbtDevtypVolume);

    // Other actions and other devices: a broadcast without a record.
    ASSERT_TRUE(parse(uevent("change", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0"s), event));
    ASSERT_TRUE(device_message_for(event, kAllClasses, message));
    EXPECT_EQ(message.wParam, kDbtDevNodesChanged);
    EXPECT_TRUE(message.record.empty());
    ASSERT_TRUE(parse(uevent("add", "/devices/virtual/net/veth0/queues/rx-0", "SUBSYSTEM=queues\0"s), event));
    ASSERT_TRUE(device_message_for(event, kAllClasses, message));
    EXPECT_EQ(message.wParam, kDbtDevNodesChanged);
    EXPECT_EQ(message.lParam(), 0);
}

TEST(UeventSource, StopWakesAWaitingThreadAndStays)
{
    std::unique_ptr<DeviceEventSource> source = system_device_event_source();
    ASSERT_NE(source, nullptr);
    if (!source->set_up())
        GTEST_SKIP() << "no kernel uevent socket here";
    EXPECT_TRUE(source->subscribe(kGuidNdisLanClass));
    EXPECT_FALSE(source->subscribe(kestrune::Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}));

    DeviceWait first = DeviceWait::kMessage;
    std::thread waiter([&] {
        DeviceMessage message;
        // Messages of devices coming and going on this machine may come first.
        while ((first = source->wait(message)) == DeviceWait::kMessage) {
        }
    });
    source->request_stop();
    waiter.join();
    EXPECT_EQ(first, DeviceWait::kStop);
    DeviceMessage message;
    EXPECT_EQ(source->wait(message), DeviceWait::kStop);
    source->release();

    // A stop requested before set-up: the thread never starts listening.
    std::unique_ptr<DeviceEventSource> early = system_device_event_source();
    early->request_stop();
    EXPECT_FALSE(early->set_up());
}

} // namespace
