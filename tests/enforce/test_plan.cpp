// The plan and its lock-out guard over fake device trees in the kernel's layout:
// what a policy would do to each device, dry-run through Apply.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utmpx.h>

#include <filesystem>
#include <cctype>
#include <cstring>

#include <unistd.h>

#include "enforcement_fixture.h"
#include "kestrune.h"
#include "policy/policy_registry.h"
#include "support/scratch_dir.h"

using namespace kestrune::test;

namespace {

constexpr int kNormal = QVX_KESTRUNE_DEVICE_TYPE_NORMAL, kStorage = QVX_KESTRUNE_DEVICE_TYPE_STORAGE,
              kNet = QVX_KESTRUNE_DEVICE_TYPE_NET;
constexpr int kDeny = 1, kReadOnly = QVX_KESTRUNE_STORAGE_PERM_READ_ONLY;

const Permit kDenySerial{kNormal, QVX_KESTRUNE_NORMAL_DEVID_SERIAL, kDeny};
const Permit kDenyMouse{kNormal, QVX_KESTRUNE_NORMAL_DEVID_MOUSE, kDeny};
const Permit kDenyKeyboard{kNormal, QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, kDeny};
const Permit kDenyCamera{kNormal, QVX_KESTRUNE_NORMAL_DEVID_CAMERA, kDeny};
const Permit kDenyHubs{kNormal, QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, kDeny};
const Permit kDenyBluetooth{kNormal, QVX_KESTRUNE_NORMAL_DEVID_BT, kDeny};
const Permit kDenyCdrom{kStorage, QVX_KESTRUNE_STORAGE_DEVID_CDROM, kDeny};
const Permit kReadOnlyCdrom{kStorage, QVX_KESTRUNE_STORAGE_DEVID_CDROM, kReadOnly};
const Permit kDenyDisks{kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, kDeny};
const Permit kReadOnlyDisks{kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, kReadOnly};
const Permit kDenyCards{kNet, QVX_KESTRUNE_NET_DEVID_ETH_CARD, kDeny};
const std::vector<Permit> kDenyEverything = {kDenySerial, kDenyMouse,  kDenyKeyboard, kDenyCamera,
                                             kDenyHubs,   kDenyBluetooth, kDenyCdrom, kDenyDisks, kDenyCards};

const std::string kConsole = "pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0";
const std::string kReceiverKeyboard = usb("1-2:1.0") + "/0003:046D:C52B.0001/input/input3";
const std::string kReceiverMouse = usb("1-2:1.1") + "/0003:046D:C52B.0002/input/input4";
const std::string kI8042Keyboard = "platform/i8042/serio0/input/input1";
const std::string kStick = usb("1-5:1.0") + "/host0/target0:0:0/0:0:0:0/block/sdb";
const std::string kOptical = "pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sr0";

Devices without_attribute(Devices devices, size_t index, const std::string &attribute)
{
    devices[index].attributes.erase(attribute);
    return devices;
}

// The device number of the filesystem mounted on /var in the test's namespace.
std::string var_device()
{
    struct stat st;
    stat("/var", &st);
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

struct PlanCase {
    const char *name;
    Devices tree;
    std::vector<Permit> permits;
    ReportLines expected;
    std::map<std::string, std::string> detailHas; // line -> text its detail contains
};

class Plan : public EnforcementTest {};

TEST_F(Plan, WhatEachPolicyWouldDo)
{
    const Devices usbHost = host_controller();
    const PlanCase cases[] = {
        {"deny everything: this machine's own card and console stay",
         this_machine(), kDenyEverything,
         {line("exempt", "eth", "eth0"), line("exempt", "serial", kConsole)},
         {{line("exempt", "eth", "eth0"), "carries the default route"},
          {line("exempt", "serial", kConsole), "console ttyS0"}}},
        {"keyboard and mouse on one receiver: the built-in keyboard and the only mouse stay",
         usbHost + usb_keyboard_mouse_receiver("1-2") + builtin_keyboard(), {kDenyMouse, kDenyKeyboard},
         {line("would-deny", "keyboard", kReceiverKeyboard), line("exempt", "keyboard", kI8042Keyboard),
          line("exempt", "mouse", kReceiverMouse)},
         {{line("exempt", "keyboard", kI8042Keyboard), "built-in keyboard"},
          {line("exempt", "mouse", kReceiverMouse), "last usable pointing device"}}},
        {"only the mouse denied: the receiver's keyboard interface is not touched",
         usbHost + usb_keyboard_mouse_receiver("1-2") + usb_keyboard("1-3", "input7"), {kDenyMouse},
         {line("exempt", "mouse", kReceiverMouse)}, {}},
        {"a hub that carries the last keyboard stays",
         usbHost + external_hub("1-1") + usb_keyboard("1-1.2", "input7"), {kDenyHubs, kDenyKeyboard},
         {line("exempt", "usb", usb("1-1")),
          line("exempt", "keyboard", usb("1-1.2:1.0") + "/0003:04D9:1603.0003/input/input7")},
         {{line("exempt", "usb", usb("1-1")), "carries /sys/devices/" + usb("1-1.2:1.0")}}},
        {"a hub goes when the keyboard below it is not the last one",
         usbHost + external_hub("1-1") + usb_keyboard("1-1.2", "input7") + builtin_keyboard(), {kDenyHubs},
         {line("would-deny", "usb", usb("1-1"))}, {}},
        {"a webcam loses its video interfaces, its audio stays",
         usbHost + webcam("1-3"), {kDenyCamera},
         {line("would-deny", "camera", usb("1-3:1.0")), line("would-deny", "camera", usb("1-3:1.1"))}, {}},
        {"a Bluetooth radio that carries the last keyboard stays, both interfaces",
         usbHost + bluetooth_radio("1-4") + bluetooth_keyboard("1-4"), {kDenyBluetooth},
         {line("exempt", "bt", usb("1-4:1.0")), line("exempt", "bt", usb("1-4:1.1"))},
         {{line("exempt", "bt", usb("1-4:1.1")), "same radio as"}}},
        {"a Bluetooth radio goes when a built-in keyboard remains",
         usbHost + bluetooth_radio("1-4") + bluetooth_keyboard("1-4") + builtin_keyboard(), {kDenyBluetooth},
         {line("would-deny", "bt", usb("1-4:1.0")), line("would-deny", "bt", usb("1-4:1.1"))}, {}},
        {"a USB stick becomes read-only", usbHost + usb_stick("1-5", "sdb", "8:16"), {kReadOnlyDisks},
         {line("would-read-only", "udisk", kStick)}, {}},
        {"a USB stick loses its interface", usbHost + usb_stick("1-5", "sdb", "8:16"), {kDenyDisks},
         {line("would-deny", "udisk", kStick)}, {{line("would-deny", "udisk", kStick), usb("1-5:1.0")}}},
        {"a USB stick that holds /var stays", usbHost + usb_stick("1-5", "sdb", var_device()), {kDenyDisks},
         {line("exempt", "udisk", kStick)}, {{line("exempt", "udisk", kStick), "holds /var"}}},
        {"a USB serial adapter goes, the serial console stays",
         usbHost + usb_serial_adapter("1-6") + this_machine(), {kDenySerial},
         {line("would-deny", "serial", usb("1-6:1.0") + "/ttyUSB0/tty/ttyUSB0"), line("exempt", "serial", kConsole)}, {}},
        {"a USB network adapter goes, the card of the default route stays, a veth is no card",
         usbHost + usb_network_adapter("1-7", "eth1") + this_machine() + virtual_interface("veth0"), {kDenyCards},
         {line("would-deny", "eth", "eth1"), line("exempt", "eth", "eth0"), line("not-enforceable", "eth", "veth0")},
         {{line("not-enforceable", "eth", "veth0"), "virtual interface: not a card"}}},
        {"a SATA optical drive is taken offline", sata_optical_drive(), {kDenyCdrom},
         {line("would-deny", "cdrom", kOptical)}, {{line("would-deny", "cdrom", kOptical), "offline"}}},
        {"a SATA optical drive becomes read-only", sata_optical_drive(), {kReadOnlyCdrom},
         {line("would-read-only", "cdrom", kOptical)}, {}},
        {"a kernel without input inhibition cannot deny a keyboard",
         without_attribute(usbHost + usb_keyboard_mouse_receiver("1-2") + builtin_keyboard(), 5, "inhibited"),
         {kDenyKeyboard},
         // The receiver's keyboard stays usable, so the built-in one is not the last.
         {line("not-enforceable", "keyboard", kReceiverKeyboard), line("would-deny", "keyboard", kI8042Keyboard)},
         {{line("not-enforceable", "keyboard", kReceiverKeyboard), "kernel without input inhibition"}}},
    };
    for (const PlanCase &c : cases) {
        SCOPED_TRACE(c.name);
        build_sysfs(c.tree);
        Applied applied = apply(c.permits);
        EXPECT_EQ(applied.result, 0) << applied.log;
        EXPECT_EQ(applied.lines, c.expected);
        for (const auto &[key, text] : c.detailHas)
            EXPECT_NE(applied.details[key].find(text), std::string::npos) << key << ": " << applied.details[key];
        // A fresh policy root for the next case.
        std::filesystem::remove_all(rootPath_ + "/GroupPolicy");
    }
}

TEST_F(Plan, ReportsInTheLogAndChangesNothing)
{
    Devices tree = host_controller() + webcam("1-3") + this_machine();
    tree[1].attributes["authorized_default"] = "0"; // another USB authorisation manager
    build_sysfs(tree);
    Applied applied = apply({kDenyCamera, kDenyCards});
    EXPECT_NE(applied.log.find("W KestruneCtl enforce_effective_policy #: usb1 starts devices unauthorised "
                               "(authorized_default=0): it manages USB authorisation too, Kestrune does not fight it"),
              std::string::npos)
        << applied.log;
    // "# kestrune enforcement plan 2026-12-07T10:00:00Z"
    const std::string shape = "# kestrune enforcement plan dddd-dd-ddTdd:dd:ddZ";
    ASSERT_EQ(applied.header.size(), shape.size()) << applied.header;
    for (size_t i = 0; i < shape.size(); ++i)
        EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(applied.header[i])) != 0
                                    : applied.header[i] == shape[i])
            << applied.header;
    EXPECT_NE(applied.log.find("I KestruneCtl enforce_effective_policy #: exempt eth eth0: carries the default "
                               "route\r\n"),
              std::string::npos)
        << applied.log;
    EXPECT_EQ(kestrune::test::read_file(sys(usb("1-3:1.0")) + "/authorized"), "1\n");
    EXPECT_FALSE(std::filesystem::exists("/etc/udev/rules.d/72-kestrune.rules"));
    EXPECT_FALSE(std::filesystem::exists("/run/kestrune/marks"));
}

TEST_F(Plan, WithoutTheRetroactiveSwitchPresentDevicesWaitForTheRules)
{
    build_sysfs(host_controller() + webcam("1-3") + usb_stick("1-5", "sdb", "8:16"));
    Applied applied = apply({kDenyCamera, kReadOnlyDisks}, "plan", [] {
        uint32_t off = 0;
        kestrune::set_group_policy_key_value("Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions",
                                             "DenyDeviceClassesRetroactive", kestrune::GP_OP_SET_VALUE, 4, &off, 4);
    });
    // The storage values reach present devices whatever the switch says.
    EXPECT_EQ(applied.lines, (ReportLines{line("deferred", "camera", usb("1-3:1.0")),
                                          line("deferred", "camera", usb("1-3:1.1")),
                                          line("would-read-only", "udisk", kStick)}));
}

TEST_F(Plan, AnUnknownEnforcementSettingFailsTheRefresh)
{
    build_sysfs(this_machine());
    Applied applied = apply({kDenyCards}, "yes");
    EXPECT_EQ(applied.result, QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_NE(applied.log.find("E KestruneCtl enforce_effective_policy #: KESTRUNE_ENFORCE=yes is not 0, 1 or plan"),
              std::string::npos)
        << applied.log;
    EXPECT_TRUE(applied.lines.empty());
}

} // namespace

namespace {

// A TCP connection to port 22 over an address of interface `name`, inside the
// test's own network: the shape of a live remote shell session.
class ShellSession {
public:
    explicit ShellSession(const std::string &name) : name_(name)
    {
        run_program({"ip", "link", "add", name, "type", "veth", "peer", "name", "kpeer1"});
        run_program({"ip", "addr", "add", "192.0.2.10/24", "dev", name});
        run_program({"ip", "link", "set", name, "up"});
        run_program({"ip", "link", "set", "kpeer1", "up"});
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(22);
        inet_pton(AF_INET, "192.0.2.10", &address.sin_addr);
        auto *raw = reinterpret_cast<sockaddr *>(&address);
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ready_ = bind(listener_, raw, sizeof address) == 0 && listen(listener_, 1) == 0 &&
                 connect(client_, raw, sizeof address) == 0 && (server_ = accept(listener_, nullptr, nullptr)) >= 0;
    }
    ~ShellSession()
    {
        for (int fd : {server_, client_, listener_})
            if (fd >= 0)
                close(fd);
        run_program({"ip", "link", "del", name_});
    }
    bool ready() const { return ready_; }

private:
    std::string name_;
    int listener_ = -1, client_ = -1, server_ = -1;
    bool ready_ = false;
};

TEST_F(Plan, ATtyWithALoginStays)
{
    utmpx login{};
    login.ut_type = USER_PROCESS;
    std::strcpy(login.ut_line, "ttyUSB0");
    write_file("/run/utmp", std::string(reinterpret_cast<const char *>(&login), sizeof login));
    build_sysfs(host_controller() + usb_serial_adapter("1-6"));
    Applied applied = apply({kDenySerial});
    const std::string adapter = line("exempt", "serial", usb("1-6:1.0") + "/ttyUSB0/tty/ttyUSB0");
    EXPECT_EQ(applied.lines, ReportLines{adapter});
    EXPECT_EQ(applied.details[adapter], "login on ttyUSB0");
}

TEST_F(Plan, TheCardOfARemoteShellSessionStays)
{
    ShellSession session("eth1");
    ASSERT_TRUE(session.ready());
    build_sysfs(host_controller() + usb_network_adapter("1-7", "eth1") + this_machine());
    Applied applied = apply({kDenyCards});
    EXPECT_EQ(applied.lines, (ReportLines{line("exempt", "eth", "eth1"), line("exempt", "eth", "eth0")}));
    EXPECT_EQ(applied.details[line("exempt", "eth", "eth1")], "carries a remote shell session");
}

} // namespace
