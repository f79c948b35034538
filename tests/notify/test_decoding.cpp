// The pure steps of decoding: kernel uevents into window messages, device texts
// into the callback's 8-bit copy. (Link names are decoded in test_lifecycle.cpp.)
#include <gtest/gtest.h>

#include <clocale>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "notify/device_text.h"
#include "platform/linux/uevent_message.h"

using kestrune::notify::kCallbackTextBytes;
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

// What the window receives for a uevent: nothing when its class is not
// subscribed, else a broadcast whose record is an interface's link name, a volume
// or none.
std::u16string message_of(const std::string &bytes, const std::vector<kestrune::Guid> &subscribed = kAllClasses)
{
    Uevent event;
    DeviceMessage message;
    if (!parse_uevent(bytes.data(), bytes.size(), event) || !device_message_for(event, subscribed, message))
        return u"nothing";
    EXPECT_EQ(message.message, kWmDeviceChange);
    const std::u16string code = message.wParam == kDbtDeviceArrival          ? u"arrival "
                                : message.wParam == kDbtDeviceRemoveComplete ? u"removal "
                                : message.wParam == kDbtDevNodesChanged      ? u"nodes changed"
                                                                             : u"?";
    if (message.record.empty() || message.record.at(1) == kDbtDevtypVolume)
        return code + (message.record.empty() ? u"" : u"volume");
    constexpr size_t kNameOffset = offsetof(DevBroadcastDeviceInterface, dbcc_name);
    DevBroadcastDeviceInterface head;
    std::memcpy(&head, message.record.data(), sizeof head);
    EXPECT_EQ(head.dbcc_devicetype, kDbtDevtypDeviceInterface);
    std::u16string name((head.dbcc_size - kNameOffset) / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), reinterpret_cast<const unsigned char *>(message.record.data()) + kNameOffset,
                name.size() * sizeof(char16_t));
    EXPECT_EQ(name.back(), u'\0') << "terminated";
    name.pop_back();
    EXPECT_EQ(head.dbcc_classguid, *interface_class_of(event));
    return code + name;
}

TEST(Uevent, MessagesOfEvents)
{
    const std::pair<std::string, std::u16string> cases[] = {
        {uevent("add", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0INTERFACE=veth0\0"s),
         u"arrival \\\\?\\net#veth0#{AD498944-762F-11D0-8DCB-00C04FC3358C}"},
        {uevent("remove", "/devices/usb1/1-1", "SUBSYSTEM=usb\0DEVTYPE=usb_device"s), // without a final NUL
         u"removal \\\\?\\usb#1-1#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
        // Number signs in a kernel name are escaped, so the name comes back whole.
        {uevent("add", "/devices/virtual/net/a#b", "SUBSYSTEM=net\0"s),
         u"arrival \\\\?\\net#a%23b#{AD498944-762F-11D0-8DCB-00C04FC3358C}"},
        {uevent("add", "/devices/pci/ata1/host0/block/sda", "SUBSYSTEM=block\0DEVTYPE=disk\0MAJOR=8\0"s),
         u"arrival \\\\?\\block#sda#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"},
        {uevent("add", "/devices/virtual/block/loop0", "SUBSYSTEM=block\0DEVTYPE=disk\0MAJOR=7\0"s),
         u"arrival \\\\?\\block#loop0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"},
        {uevent("add", "/devices/pci/ata2/host1/block/sr0", "SUBSYSTEM=block\0DEVTYPE=disk\0MAJOR=11\0"s),
         u"arrival \\\\?\\block#sr0#{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}"},
        {uevent("add", "/devices/usb1/1-2/1-2:1.0/0003:046D:C077.0001", "SUBSYSTEM=hid\0"s),
         u"arrival \\\\?\\hid#0003:046D:C077.0001#{4D1E55B2-F16F-11CF-88CB-001111000030}"},
        {uevent("add", "/devices/pnp0/00:05/tty/ttyS0", "SUBSYSTEM=tty\0MAJOR=4\0"s),
         u"arrival \\\\?\\tty#ttyS0#{86E0D1E0-8089-11D0-9CE4-08003E301F73}"},
        {uevent("add", "/devices/usb1/1-3/1-3:1.0/ttyUSB0", "SUBSYSTEM=usb-serial\0"s),
         u"arrival \\\\?\\usb-serial#ttyUSB0#{4D36E978-E325-11CE-BFC1-08002BE10318}"},
        // A partition is a volume broadcast, whatever was subscribed.
        {uevent("add", "/devices/pci/host0/block/sdb/sdb1", "SUBSYSTEM=block\0DEVTYPE=partition\0"s), u"arrival volume"},
        // Other actions and devices of no interface class: a broadcast without a record.
        {uevent("change", "/devices/virtual/net/veth0", "SUBSYSTEM=net\0"s), u"nodes changed"},
        {uevent("add", "/devices/virtual/net/veth0/queues/rx-0", "SUBSYSTEM=queues\0"s), u"nodes changed"},
        {uevent("add", "/devices/usb1/1-1/1-1:1.0", "SUBSYSTEM=usb\0DEVTYPE=usb_interface\0"s), u"nodes changed"},
        {uevent("add", "/devices/virtual/tty/tty1", "SUBSYSTEM=tty\0MAJOR=4\0"s), u"nodes changed"},
        // Only the kernel's own messages, whole, are heard.
        {"", u"nothing"},
        {"libudev\0\xfe\xed\xca\xfe"s + uevent("add", "/devices/x", "SUBSYSTEM=net\0"s), u"nothing"},
        {uevent("add", "/devices/x", ""), u"nothing"}, // no SUBSYSTEM
        {"add@/devices/x\0ACTION=remove\0DEVPATH=/devices/x\0SUBSYSTEM=net\0"s, u"nothing"},
        {"add@/\0ACTION=add\0DEVPATH=/\0SUBSYSTEM=net\0"s, u"nothing"}, // no kernel name
    };
    for (const auto &[event, expected] : cases)
        EXPECT_EQ(message_of(event), expected) << event;
    EXPECT_EQ(message_of(cases[0].first, {kGuidDevinterfaceDisk}), u"nothing") << "class not subscribed";
    EXPECT_EQ(message_of(uevent("remove", "/devices/pci/host0/block/sdb/sdb1", "SUBSYSTEM=block\0DEVTYPE=partition\0"s), {}),
              u"removal volume");
}

// Fills the buffer with garbage first, so that a missing terminator shows.
std::string callback_text(std::u16string_view text)
{
    static char buffer[kCallbackTextBytes];
    std::memset(buffer, 'X', sizeof buffer);
    kestrune::notify::to_callback_text(text, buffer);
    for (size_t i = strnlen(buffer, sizeof buffer); i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], '\0') << "zero-filled from " << i;
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

TEST(CallbackText, CutAt511BytesBetweenCharactersWithUnrepresentableOnesAsQuestionMarks)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(callback_text(u"Disk;sda;;;"), "Disk;sda;;;");
    EXPECT_EQ(callback_text(std::u16string(700, u'a')), std::string(511, 'a'));
    EXPECT_EQ(callback_text(u"Caf\u00e9 \u4e2d;"), "Caf? ?;");

    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    // Two bytes each: 255 of them fill 510 bytes, the 256th would split.
    std::string cut = callback_text(std::u16string(300, u'\u00e9'));
    EXPECT_EQ(cut.size(), 510u);
    EXPECT_EQ(cut.substr(508), "\xc3\xa9");
    // A surrogate pair is one character of four bytes.
    std::u16string faces = u"x";
    for (int i = 0; i < 200; ++i)
        faces += u"\U0001F600";
    cut = callback_text(faces);
    EXPECT_EQ(cut.size(), 1u + 4u * 127u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\xf0\x9f\x98\x80");
    // A text that fits exactly is kept whole, of one-byte characters or not.
    EXPECT_EQ(callback_text(std::u16string(511, u'b')).size(), 511u);
    EXPECT_EQ(callback_text(std::u16string(255, u'\u00e9') + u"b").size(), 511u);
    std::setlocale(LC_ALL, saved.c_str());
}

} // namespace
