// The pure steps of decoding: kernel uevents into window messages, link names
// into instance IDs, device texts into the callback's 8-bit copy.
#include <gtest/gtest.h>

#include <clocale>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "notify/device_text.h"
#include "notify/link_name.h"
#include "platform/linux/uevent_message.h"

using kestrune::notify::kCallbackTextBytes;
using kestrune::notify::LinkNameError;
using namespace kestrune::platform;
using namespace std::string_literals;

namespace {

const std::vector<kestrune::Guid> kAllClasses = {
    kGuidDevinterfaceUsbDevice, kGuidDevinterfaceDisk,     kGuidDevinterfaceHid,  kGuidNdisLanClass,
    kGuidDevinterfaceComport,   kGuidDevinterfaceSerenumBusEnumerator, kGuidDevinterfaceCdrom,
};

std::string uevent(const std::string &action, const std::string &devpath, const std::string &fields)
{
    return action + "@" + devpath + "\0ACTION="s + action + "\0DEVPATH="s + devpath + '\0' + fields;
}

TEST(Uevent, OnlyKernelMessagesParse)
{
    Uevent event;
    const std::string veth = "add@/devices/virtual/net/va\0ACTION=add\0DEVPATH=/devices/virtual/net/va\0"
                             "SUBSYSTEM=net\0INTERFACE=va\0IFINDEX=3\0SEQNUM=871\0"s;
    ASSERT_TRUE(parse_uevent(veth.data(), veth.size(), event));
    EXPECT_EQ(event.action, "add");
    EXPECT_EQ(event.subsystem, "net");
    EXPECT_EQ(event.kernel_name(), "va");
    // Without a final NUL too.
    const std::string usb = uevent("remove", "/devices/usb1/1-1", "SUBSYSTEM=usb\0DEVTYPE=usb_device"s);
    ASSERT_TRUE(parse_uevent(usb.data(), usb.size(), event));
    EXPECT_EQ(event.devtype, "usb_device");
    EXPECT_EQ(event.kernel_name(), "1-1");

    const std::string rejected[] = {
        "",
        "libudev\0\xfe\xed\xca\xfe"s + uevent("add", "/devices/x", "SUBSYSTEM=net\0"s),
        uevent("add", "/devices/x", ""), // no SUBSYSTEM
        "add@/devices/x\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=net\0"s,
        "add@/\0ACTION=add\0DEVPATH=/\0SUBSYSTEM=net\0"s, // no kernel name
    };
    for (size_t i = 0; i < std::size(rejected); ++i)
        EXPECT_FALSE(parse_uevent(rejected[i].data(), rejected[i].size(), event)) << "case " << i;
}

TEST(Uevent, InterfaceClassesOfDevices)
{
    struct Case {
        const char *subsystem, *devtype, *devpath, *major;
        const kestrune::Guid *interfaceClass;
    };
    const Case cases[] = {
        {"usb", "usb_device", "/devices/usb1/1-1", "", &kGuidDevinterfaceUsbDevice},
        {"usb", "usb_interface", "/devices/usb1/1-1/1-1:1.0", "", nullptr},
        {"block", "disk", "/devices/pci/ata1/host0/block/sda", "8", &kGuidDevinterfaceDisk},
        {"block", "disk", "/devices/virtual/block/loop0", "7", &kGuidDevinterfaceDisk},
        {"block", "disk", "/devices/pci/ata2/host1/block/sr0", "11", &kGuidDevinterfaceCdrom},
        {"block", "partition", "/devices/pci/ata1/host0/block/sda/sda1", "8", nullptr},
        {"hid", "", "/devices/usb1/1-2/1-2:1.0/0003:046D:C077.0001", "", &kGuidDevinterfaceHid},
        {"net", "", "/devices/virtual/net/veth0", "", &kGuidNdisLanClass},
        {"tty", "", "/devices/pnp0/00:05/tty/ttyS0", "4", &kGuidDevinterfaceComport},
        {"tty", "", "/devices/virtual/tty/tty1", "4", nullptr},
        {"usb-serial", "", "/devices/usb1/1-3/1-3:1.0/ttyUSB0", "", &kGuidDevinterfaceSerenumBusEnumerator},
        {"queues", "", "/devices/virtual/net/veth0/queues/rx-0", "", nullptr},
    };
    for (const Case &c : cases) {
        const Uevent event{"add", c.devpath, c.subsystem, c.devtype, c.major};
        EXPECT_EQ(interface_class_of(event), c.interfaceClass) << c.devpath;
    }
}

// The message for a uevent, or nothing when the window receives none.
std::optional<DeviceMessage> message_of(const std::string &bytes, const std::vector<kestrune::Guid> &subscribed = kAllClasses)
{
    Uevent event;
    DeviceMessage message;
    if (!parse_uevent(bytes.data(), bytes.size(), event) || !device_message_for(event, subscribed, message))
        return std::nullopt;
    return message;
}

// The link name of an interface record, checked to end with its terminator.
std::u16string link_name_in(const DeviceMessage &message)
{
    constexpr size_t kNameOffset = offsetof(DevBroadcastDeviceInterface, dbcc_name);
    DevBroadcastDeviceInterface head;
    std::memcpy(&head, message.record.data(), sizeof head);
    EXPECT_EQ(head.dbcc_devicetype, kDbtDevtypDeviceInterface);
    std::u16string name((head.dbcc_size - kNameOffset) / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), reinterpret_cast<const unsigned char *>(message.record.data()) + kNameOffset,
                name.size() * sizeof(char16_t));
    EXPECT_EQ(name.back(), u'\0');
    name.pop_back();
    return name;
}

TEST(Uevent, MessagesOfEvents)
{
    const std::string veth = uevent("add", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0INTERFACE=veth0\0"s);
    std::optional<DeviceMessage> message = message_of(veth);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->message, kWmDeviceChange);
    EXPECT_EQ(message->wParam, kDbtDeviceArrival);
    EXPECT_EQ(link_name_in(*message), u"\\\\?\\net#veth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}");
    EXPECT_FALSE(message_of(veth, {kGuidDevinterfaceDisk})) << "class not subscribed";

    message = message_of(uevent("remove", "/devices/usb1/1-1", "SUBSYSTEM=usb\0DEVTYPE=usb_device\0"s));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->wParam, kDbtDeviceRemoveComplete);
    EXPECT_EQ(link_name_in(*message), u"\\\\?\\usb#1-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

    // Number signs in a kernel name are escaped, so the name comes back whole.
    message = message_of(uevent("add", "/devices/virtual/net/a#b", "SUBSYSTEM=net\0"s));
    ASSERT_TRUE(message);
    EXPECT_EQ(link_name_in(*message), u"\\\\?\\net#a%23b#{AD498944-762F-11D0-8DCB-00C04FC3358C}");

    // A partition is a volume broadcast, whatever was subscribed.
    message = message_of(uevent("add", "/devices/pci/host0/block/sdb/sdb1", "SUBSYSTEM=block\0DEVTYPE=partition\0"s), {});
    ASSERT_TRUE(message);
    EXPECT_EQ(message->wParam, kDbtDeviceArrival);
    EXPECT_EQ(message->record.at(1), kDbtDevtypVolume) << "dbch_devicetype";

    // Other actions and other devices: a broadcast without a record.
    for (const std::string &other : {uevent("change", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0"s),
                                     uevent("add", "/devices/virtual/net/veth0/queues/rx-0", "SUBSYSTEM=queues\0"s)}) {
        message = message_of(other);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->wParam, kDbtDevNodesChanged);
        EXPECT_EQ(message->lParam(), 0);
    }
}

TEST(LinkName, InstanceIdBehindThePrefixAndBeforeTheClass)
{
    struct Case {
        std::u16string_view link;
        LinkNameError error;
        std::u16string_view id; // "untouched" where the ID is not set
    };
    const Case cases[] = {
        {u"\\\\?\\USB#VID_1234&PID_5678#0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", LinkNameError::kNone,
         u"USB\\VID_1234&PID_5678\\0001"},
        // A reference string behind the class does not change the ID.
        {u"\\\\?\\ROOT#NET#0000#{ad498944-762f-11d0-8dcb-00c04fc3358c}\\{7A1B-REF}", LinkNameError::kNone,
         u"ROOT\\NET\\0000"},
        // Lower case is upper-cased; the four prefix characters are skipped whatever they are.
        {u"abcdnet#veth0#{x}", LinkNameError::kNone, u"NET\\VETH0"},
        // The only number sign before the class leaves an ID without a backslash.
        {u"\\\\?\\ETH0#{AD498944-762F-11D0-8DCB-00C04FC3358C}", LinkNameError::kNone, u"ETH0"},
        {u"", LinkNameError::kTooShort, u"untouched"},
        {u"\\\\?\\", LinkNameError::kTooShort, u"untouched"},
        {u"\\\\?\\A", LinkNameError::kNoNumberSign, u"untouched"},
        // A number sign inside the skipped prefix does not count.
        {u"##?#USB", LinkNameError::kNoNumberSign, u"untouched"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::u16string id = u"untouched";
        EXPECT_EQ(kestrune::notify::instance_id_from_link_name(cases[i].link, id), cases[i].error) << "case " << i;
        EXPECT_EQ(id, cases[i].id) << "case " << i;
    }
}

class CallbackText : public ::testing::Test {
protected:
    void SetUp() override { saved_ = std::setlocale(LC_ALL, nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }

    // Fills the buffer with garbage first, so that a missing terminator shows.
    std::string convert(std::u16string_view text)
    {
        std::memset(buffer, 'X', sizeof buffer);
        kestrune::notify::to_callback_text(text, buffer);
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }

    char buffer[kCallbackTextBytes];

private:
    std::string saved_;
};

TEST_F(CallbackText, ZeroFilledCutAt511BytesAndUnrepresentableAsQuestionMarks)
{
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(convert(u"Disk;sda;;;"), "Disk;sda;;;");
    for (size_t i = 11; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], '\0') << i;

    EXPECT_EQ(convert(std::u16string(700, u'a')), std::string(511, 'a'));
    EXPECT_EQ(convert(u"Caf\u00e9 \u4e2d;"), "Caf? ?;");
}

TEST_F(CallbackText, OverLongTextIsCutBetweenCharacters)
{
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no C.UTF-8 locale on this machine";

    // Two bytes each: 255 of them fill 510 bytes, the 256th would split.
    std::string cut = convert(std::u16string(300, u'\u00e9'));
    EXPECT_EQ(cut.size(), 510u);
    EXPECT_EQ(cut.substr(508), "\xc3\xa9");

    // A surrogate pair is one character of four bytes.
    std::u16string faces = u"x";
    for (int i = 0; i < 200; ++i)
        faces += u"\U0001F600";
    cut = convert(faces);
    EXPECT_EQ(cut.size(), 1u + 4u * 127u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\xf0\x9f\x98\x80");

    // A text that fits exactly is kept whole.
    EXPECT_EQ(convert(std::u16string(511, u'b')).size(), 511u);
}

} // namespace
