// The texts enforcement reads from /proc and keeps in /run, parsed and written
// back: escapes, flags and the lines that must not count.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/enforce/action_marks.h"
#include "platform/linux/enforce/device_inventory.h"
#include "platform/linux/enforce/system_facts.h"

using namespace kestrune::platform;

namespace {

TEST(SystemFacts, MountsRoutesConsolesAndSessions)
{
    std::vector<MountEntry> mounts = parse_mountinfo(
        "36 35 98:0 / /media/with\\040space\\011tab rw,noatime master:1 - ext3 /dev/sdb1 rw,errors=continue\n"
        "37 35 8:2 / /boot ro,relatime - vfat /dev/sda2 ro\n"
        "38 35 0:21 / /proc rw - proc proc rw\n"
        "garbage\n");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].device, makedev(98, 0));
    EXPECT_EQ(mounts[0].mountPoint, "/media/with space\ttab");
    EXPECT_TRUE(mounts[0].readWrite);
    EXPECT_FALSE(mounts[1].readWrite);

    const char *ipv4 = "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n"
                       "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                       "eth1\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                       "eth2\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n"; // a reject route
    const char *ipv6 = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                       "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 wlan0\n"
                       "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
                       "00000000000000000000000000000000 00000100 00000001 00000000 00000001 eth1\n"
                       "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                       "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n";
    EXPECT_EQ(parse_default_routes(ipv4, ipv6), (std::set<std::string>{"eth0", "wlan0"}));

    EXPECT_EQ(parse_consoles("tty0                 -WU (EC  p  )    4:1\nttyS0                -W- (E  p a)    4:64\n"),
              (std::set<std::string>{"tty0", "ttyS0"}));

    // Established to local port 22 counts; listening on it and other ports do not.
    const char *tcp = "  sl  local_address rem_address   st tx_queue rx_queue\n"
                      "   0: 0A0200C0:0016 00000000:0000 0A 00000000:00000000\n"
                      "   1: 0A0200C0:0016 0B0200C0:D3A2 01 00000000:00000000\n"
                      "   2: 0A0200C0:0050 0B0200C0:D3A4 01 00000000:00000000\n";
    std::vector<LocalAddress> sessions = parse_tcp_sessions(tcp, AF_INET, 22);
    ASSERT_EQ(sessions.size(), 1u);
    const uint8_t expected[4] = {192, 0, 2, 10};
    EXPECT_EQ(std::memcmp(sessions[0].bytes, expected, 4), 0);
}

TEST(ActionMarks, SurviveTheirOwnFileWhateverTheirTextsHold)
{
    ActionMark mark{DeviceKind::udisk, Mechanism::read_only, "/sys/devices/x/block/sdb", "8:16 7", {}, "sdb\tx"};
    mark.details["mounts"] = "/media/a b\n/media/tab\there\\=";
    mark.details["blkro"] = "1";
    ActionMark other{DeviceKind::camera, Mechanism::deauthorize, "/sys/devices/y/1-3:1.0", "1-4", {}, "cam"};
    std::string text = format_marks({mark, other});
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_EQ(parse_marks(text + "broken line\nudisk\tnonsense\t/x\t\t\n"), (std::vector<ActionMark>{mark, other}));
}

// An exemption must still match after a restart: instance numbers that the
// kernel hands out anew, and interface names that udev changes, are wildcards.
TEST(ExemptionPaths, SurviveRenumberingAndRenaming)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/devices/platform/i8042/serio0/input/input1", "/devices/platform/i8042/serio0/input/input*"},
        {"/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:046D:C52B.0001/input/input3",
         "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:046D:C52B.*/input/input*"},
        {"/devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0/host4/target4:0:0/4:0:0:0/block/sdc",
         "/devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0/host*/target*/*/block/sd*"},
        {"/devices/pci0000:00/0000:00:03.0/virtio2/net/enp0s3", "/devices/pci0000:00/0000:00:03.0/virtio*/net/*"},
        {"/devices/pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0", "/devices/pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0"},
        {"/devices/virtual/odd/a*b|c", "/devices/virtual/odd/a?b?c"},
    };
    for (const auto &[path, glob] : cases)
        EXPECT_EQ(stable_devpath_glob(path), glob);
}

} // namespace
