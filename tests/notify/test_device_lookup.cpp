// The device lookup and the text join over a fake sysfs tree: the four texts, the
// empty fields, the read buffer's limit, the memory of removed devices, the index
// that the event source keeps current, and the three error lines.
#include <gtest/gtest.h>

#include <string>

#include "base/wide_text.h"
#include "notify/device_arrival.h"
#include "notify_fakes.h"
#include "support/stdout_capture.h"

using kestrune::notify::QVX_KESTRUNE_get_device_detail_info_by_devid;
using kestrune::test::FakeSysfs;
using kestrune::test::StdoutCapture;
using kestrune::test::without_line_numbers;

namespace {

using namespace kestrune::platform;
constexpr uint32_t kArrival = kDigcfPresent | kDigcfAllClasses, kRemoval = kDigcfAllClasses;

std::u16string detail(std::u16string_view instanceId, uint32_t flags = kArrival)
{
    std::u16string text;
    QVX_KESTRUNE_get_device_detail_info_by_devid(instanceId, flags, text);
    return text;
}

class DeviceLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A USB stick: the USB device, its SCSI disk and the block device.
        sysfs.add_device("devices/usb1/1-1",
                         {{"product", "Ultra USB 3.0\n"},
                          {"manufacturer", "USB Maker\n"},
                          {"uevent", "DEVTYPE=usb_device\nDEVNAME=bus/usb/001/002\n"}},
                         "bus/usb/devices/1-1");
        std::string scsi = "devices/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0";
        sysfs.add_device(scsi, {{"model", "  Cruzer Blade    \n"}, {"vendor", "SanDisk \n"}});
        sysfs.add_device(scsi + "/block/sdb", {{"uevent", "MAJOR=8\nMINOR=16\nDEVNAME=sdb\nDEVTYPE=disk\n"}},
                         "class/block/sdb");
        sysfs.add_member(scsi + "/block/sdb/device", scsi);
        // A mouse: a HID device without a device node.
        sysfs.add_device("devices/usb1/1-2", {{"product", "USB Optical Mouse\n"}, {"manufacturer", "Logitech\n"}});
        std::string hid = "devices/usb1/1-2/1-2:1.0/0003:046D:C077.0001";
        sysfs.add_device(hid, {{"uevent", "DRIVER=hid-generic\nHID_NAME=Logitech USB Optical Mouse\n"}},
                         "bus/hid/devices/0003:046D:C077.0001");
        add_interface("veth0"); // nothing but its name
    }

    // A virtual network interface.
    void add_interface(const std::string &name)
    {
        sysfs.add_device("devices/virtual/net/" + name, {{"uevent", "INTERFACE=" + name + "\n"}}, "class/net/" + name);
    }

    FakeSysfs sysfs;
};

TEST_F(DeviceLookup, TextsOfPresentDevices)
{
    // Products of 259 characters fit the read buffer with their terminator; of 260, not.
    sysfs.add_device("devices/usb1/1-3", {{"product", std::string(259, 'p')}, {"uevent", "DEVNAME=bus/usb/001/003\n"}},
                     "bus/usb/devices/1-3");
    sysfs.add_device("devices/usb1/1-4", {{"product", std::string(260, 'q')}, {"uevent", "DEVNAME=bus/usb/001/004\n"}},
                     "bus/usb/devices/1-4");
    add_interface("a#b%c"); // escaped number and percent signs of kernel names come back whole
    // Nothing but its driver describes this card.
    const std::string pci = "devices/pci0000:00/0000:00:1f.6";
    sysfs.add_device(pci + "/net/eth1", {{"uevent", "INTERFACE=eth1\n"}}, "class/net/eth1");
    sysfs.add_member(pci + "/net/eth1/device", pci);
    sysfs.add_member(pci + "/driver", "bus/pci/drivers/e1000e");
    const std::u16string fits(259, u'p');
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"BLOCK\\SDB", u"Cruzer Blade;/dev/sdb;Ultra USB 3.0;USB Maker;"},
        {u"USB\\1-1", u"Ultra USB 3.0;/dev/bus/usb/001/002;Ultra USB 3.0;USB Maker;"},
        // Missing friendly name: an empty field in its place.
        {u"HID\\0003:046D:C077.0001", u"Logitech USB Optical Mouse;;USB Optical Mouse;Logitech;"},
        // No description: the text begins with two semicolons.
        {u"NET\\VETH0", u";;veth0;;;"},
        // The comparison is case-sensitive: IDs are compared upper-cased.
        {u"NET\\veth0", u""},
        {u"NET\\VETH9", u""},
        {u"USB\\1-3", fits + u";/dev/bus/usb/001/003;" + fits + u";;"},
        {u"USB\\1-4", u";;/dev/bus/usb/001/004;;;"},
        {u"NET\\A%23B%25C", u";;a#b%c;;;"},
        {u"NET\\ETH1", u"e1000e;eth1;;;"},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(detail(cases[i].first), cases[i].second) << "case " << i;
}

TEST_F(DeviceLookup, RemovalFindsDevicesSeenBefore)
{
    // Seen at an arrival.
    EXPECT_EQ(detail(u"NET\\VETH0"), u";;veth0;;;");
    sysfs.remove("class/net/veth0");
    sysfs.remove("devices/virtual/net/veth0");
    EXPECT_EQ(detail(u"NET\\VETH0"), u"");
    EXPECT_EQ(detail(u"NET\\VETH0", kRemoval), u";;veth0;;;");

    // Seen only when the notification thread started listening.
    kestrune::notify::device_lookup()->remember_present();
    sysfs.remove("class/block/sdb");
    EXPECT_EQ(detail(u"BLOCK\\SDB", kRemoval), u"Cruzer Blade;/dev/sdb;Ultra USB 3.0;USB Maker;");

    // A subsystem that has gone altogether still has its remembered devices.
    sysfs.remove("bus/hid");
    EXPECT_EQ(detail(u"HID\\0003:046D:C077.0001", kRemoval), u"Logitech USB Optical Mouse;;USB Optical Mouse;Logitech;");
}

TEST_F(DeviceLookup, ErrorLinesLeaveTheTextUnchanged)
{
    // A member whose ID does not fit the read buffer fails its own search only:
    // a device listed after it is still found.
    const std::string longName(255, 'a');
    sysfs.add_device("devices/serial/" + longName, {{"uevent", "DEVNAME=x\n"}}, "bus/usb-serial/devices/" + longName);
    sysfs.add_device("devices/serial/ttyUSB0", {{"uevent", "DEVNAME=ttyUSB0\n"}}, "bus/usb-serial/devices/ttyUSB0");

    StdoutCapture out;
    const std::u16string longId = u"USB-SERIAL\\" + std::u16string(255, u'A');
    for (std::u16string_view id : {std::u16string_view(u"NET0"), std::u16string_view(u""),
                                   std::u16string_view(u"NOSUCHBUS\\1"), std::u16string_view(longId)})
        EXPECT_EQ(detail(id), u"");
    const std::string line = "E KestruneCtl QVX_KESTRUNE_get_device_detail_info_by_devid #: ";
    EXPECT_EQ(without_line_numbers(out.text()),
              line + "dbcc name fmt error! no \\\n" +
              line + "dbcc name fmt error! no \\\n" +
              line + "ERR: SetupDiGetClassDevs(): 13\n" +
              line + "ERR: SetupDiGetDeviceInstanceId(): 0, 122\n");
    EXPECT_EQ(detail(u"USB-SERIAL\\TTYUSB0"), u";;/dev/ttyUSB0;;;");
}

TEST_F(DeviceLookup, NamesThatDifferOnlyInCaseAreSearchedInTheOrderFirstSeen)
{
    add_interface("Veth0");
    // Read in name order at first: "Veth0" before "veth0".
    EXPECT_EQ(detail(u"NET\\VETH0"), u";;Veth0;;;");
    sysfs.remove("class/net/Veth0");
    EXPECT_EQ(detail(u"NET\\VETH0"), u";;veth0;;;");
}

TEST_F(DeviceLookup, AnIndexFedByTheEventSourceFollowsWhatItHeard)
{
    DeviceChanges &changes = sysfs.changes();
    changes.listening(true);
    EXPECT_EQ(detail(u"NET\\VETH0"), u";;veth0;;;");
    // News of devices it never saw, or of subsystems it does not keep, change nothing.
    changes.device_removed("net", "veth9");
    changes.device_added("queues", "rx-0");
    EXPECT_EQ(detail(u"NET\\VETH0"), u";;veth0;;;");

    add_interface("veth1");
    changes.device_added("net", "veth1");
    EXPECT_EQ(detail(u"NET\\VETH1"), u";;veth1;;;");
    sysfs.remove("class/net/veth1");
    changes.device_removed("net", "veth1");
    EXPECT_EQ(detail(u"NET\\VETH1"), u"");
    EXPECT_EQ(detail(u"NET\\VETH1", kRemoval), u";;veth1;;;");

    // Unheard of, after events were lost, or once no source listens: found by
    // reading the directory again.
    add_interface("veth2");
    changes.events_lost();
    EXPECT_EQ(detail(u"NET\\VETH2"), u";;veth2;;;");
    add_interface("veth3");
    changes.listening(false);
    EXPECT_EQ(detail(u"NET\\VETH3"), u";;veth3;;;");
}

TEST(DeviceMemory, EveryRemovalFindsItsTextsAndTheGoneAreBounded)
{
    // More devices than the memory of gone ones holds, all present, then all gone.
    constexpr size_t kRemembered = 16, kCount = 40;
    FakeSysfs sysfs(kRemembered);
    sysfs.changes().listening(true);
    auto name = [](size_t i) { return "v" + std::to_string(i); };
    auto text = [&](size_t i) { return u";;" + kestrune::widen(name(i)) + u";;;"; };
    auto id = [&](size_t i) { return u"NET\\V" + kestrune::widen(std::to_string(i)); };
    for (size_t i = 0; i < kCount; ++i) {
        sysfs.add_device("devices/virtual/net/" + name(i), {{"uevent", "INTERFACE=" + name(i) + "\n"}},
                         "class/net/" + name(i));
        sysfs.changes().device_added("net", name(i));
    }
    for (size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(detail(id(i)), text(i)) << i;
        sysfs.remove("class/net/" + name(i));
        sysfs.changes().device_removed("net", name(i));
        ASSERT_EQ(detail(id(i), kRemoval), text(i)) << i;
    }
    EXPECT_EQ(detail(id(kCount - kRemembered - 1), kRemoval), u"");
    EXPECT_EQ(detail(id(kCount - kRemembered), kRemoval), text(kCount - kRemembered));
}

} // namespace
