// The plan and its lock-out guard over fake device trees, dry-run through Apply;
// and the rules file against udev's own engine: `udevadm test`, unpacked from the
// Debian package and run over the same tree, takes the plan's decisions for every
// device, and none when the kernel command line says kestrune.enforce=0.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "enforce_harness.h"
#include "kestrune.h"
#include "policy/policy_registry.h"

using namespace kestrune::test;
namespace fs = std::filesystem;

namespace {

constexpr int kNormal = QVX_KESTRUNE_DEVICE_TYPE_NORMAL, kStorage = QVX_KESTRUNE_DEVICE_TYPE_STORAGE;
constexpr int kDeny = 1, kReadOnly = QVX_KESTRUNE_STORAGE_PERM_READ_ONLY;
const Permit kDenySerial{kNormal, QVX_KESTRUNE_NORMAL_DEVID_SERIAL, kDeny};
const Permit kDenyMouse{kNormal, QVX_KESTRUNE_NORMAL_DEVID_MOUSE, kDeny};
const Permit kDenyKeyboard{kNormal, QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, kDeny};
const Permit kDenyCamera{kNormal, QVX_KESTRUNE_NORMAL_DEVID_CAMERA, kDeny};
const Permit kDenyHubs{kNormal, QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, kDeny};
const Permit kDenyBluetooth{kNormal, QVX_KESTRUNE_NORMAL_DEVID_BT, kDeny};
const Permit kDenyDisks{kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, kDeny};
const Permit kReadOnlyDisks{kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, kReadOnly};
const Permit kDenyCards{QVX_KESTRUNE_DEVICE_TYPE_NET, QVX_KESTRUNE_NET_DEVID_ETH_CARD, kDeny};

const std::string kReceiverKeyboard = usb("1-2:1.0") + "/0003:046D:C52B.0001/input/input3";
const std::string kReceiverMouse = usb("1-2:1.1") + "/0003:046D:C52B.0002/input/input4";
const std::string kStick = usb("1-5:1.0") + "/host0/target0:0:0/0:0:0:0/block/sdb";

// Every kind of device, on a host controller whose devices start unauthorised
// (another USB authorisation manager).
Devices everything()
{
    Devices tree = hardware("host-controller keyboard-mouse-receiver@1-2 webcam@1-3 bluetooth-radio@1-4 usb-stick@1-5 "
                            "usb-serial-adapter@1-6 usb-network-adapter@1-7 hub@1-1 keyboard@1-1.2 "
                            "sata-optical-drive builtin-keyboard input-zoo this-machine virtual-interface");
    tree[1].attributes["authorized_default"] = "0";
    return tree;
}

// The attribute writes and programs of udev's rules for one add event.
std::set<std::string> udev_decisions(const std::string &event, const std::string &cmdline)
{
    std::string output;
    EXPECT_EQ(shell("SYSTEMD_DEVICE_VERIFY_SYSFS=0 SYSTEMD_PROC_CMDLINE='" + cmdline + "' " KESTRUNE_UDEV_BIN
                    "/udevadm test --action=add " + event, &output), 0) << output;
    std::set<std::string> decisions;
    for (size_t at = 0; (at = output.find("ATTR '", at)) != std::string::npos; ++at) {
        const size_t path = at + 6, pathEnd = output.find('\'', path);
        if (pathEnd == std::string::npos || output.compare(pathEnd, 11, "' writing '") != 0)
            continue;
        const size_t value = pathEnd + 11;
        decisions.insert("write " + fs::weakly_canonical(output.substr(path, pathEnd - path)).string() + " " +
                         output.substr(value, output.find('\'', value) - value));
    }
    for (size_t at = 0; (at = output.find("run: '", at)) != std::string::npos; ++at) {
        const std::string command = output.substr(at + 6, output.find('\'', at + 6) - at - 6);
        const size_t slash = command.rfind('/', command.find(' '));
        if (slash != std::string::npos)
            decisions.insert("run " + command.substr(slash + 1));
    }
    return decisions;
}

class Plan : public EnforcementTest {};

// The plan for every kind of device, with storage denied or read-only, and the
// decisions udev's engine takes from the rules file, match one golden: the plan's
// would-lines and udev's writes and programs tell the same.
TEST_F(Plan, OfEveryKind)
{
    for (const std::string storage : {"deny", "read-only"}) {
        SCOPED_TRACE("storage " + storage);
        const int permission = storage == "deny" ? kDeny : kReadOnly;
        std::vector<Permit> permits;
        for (int device : {QVX_KESTRUNE_NORMAL_DEVID_SERIAL, QVX_KESTRUNE_NORMAL_DEVID_MOUSE,
                           QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_DEVID_CAMERA,
                           QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, QVX_KESTRUNE_NORMAL_DEVID_BT})
            permits.push_back({kNormal, device, kDeny});
        permits.insert(permits.end(), {{kStorage, QVX_KESTRUNE_STORAGE_DEVID_CDROM, permission},
                                       {kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, permission}, kDenyCards});
        clear_runtime();
        fs::remove_all(root_ / "GroupPolicy"); // the other storage permission's policy
        build_sysfs(everything());
        Applied plan = apply(permits, "plan");
        ASSERT_EQ(plan.result, 0) << plan.log;
        // The first line dates the plan: the golden has zeros for its digits.
        std::string run = plan.report + "# its log lines\n";
        std::replace_if(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(run.find('\n')),
                        [](unsigned char c) { return std::isdigit(c) != 0; }, '0');
        std::istringstream log(plan.log);
        for (std::string entry; std::getline(log, entry);)
            if (entry.size() > 1 && entry.compare(1, 21, " KestruneCtl enforce_") == 0)
                run += entry.substr(0, entry.find('\r')) + "\n";
        // A plan changes nothing.
        EXPECT_EQ(read_file(sys(usb("1-3:1.0")) + "/authorized"), "1\n");
        EXPECT_FALSE(fs::exists("/etc/udev/rules.d/72-kestrune.rules"));
        EXPECT_FALSE(fs::exists("/run/kestrune/marks"));

        apply({}, "1"); // writes the rules file (and acts on the fake tree)
        ASSERT_TRUE(fs::exists("/etc/udev/rules.d/72-kestrune.rules"));
        build_sysfs(everything());
        run += "# udev's decisions\n";
        for (const std::string &key : plan.lines) {
            const std::string device = key.substr(key.rfind(' ') + 1);
            const std::string event = device.find('/') == std::string::npos ? "/sys/class/net/" + device : sys(device);
            for (const std::string &decision : udev_decisions(event, "quiet"))
                run += event + "\t" + decision + "\n";
            EXPECT_EQ(udev_decisions(event, "quiet kestrune.enforce=0"), std::set<std::string>{}) << event;
        }
        EXPECT_EQ(run, read_file(fs::path(__FILE__).parent_path() / "golden" / ("plan-" + storage + ".txt")));
    }
}

// The device number of the filesystem mounted on /var in the test's namespace.
std::string var_device()
{
    struct stat st;
    stat("/var", &st);
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

TEST_F(Plan, TheGuardKeepsWhatTheMachineCannotDoWithout)
{
    struct Case {
        const char *name;
        Devices tree;
        std::vector<Permit> permits;
        std::map<std::string, std::string> expected; // line -> text its detail contains
    };
    Devices noInhibition = hardware("host-controller keyboard-mouse-receiver@1-2 builtin-keyboard");
    noInhibition[5].attributes.erase("inhibited");
    const Case cases[] = {
        {"only the mouse denied: the receiver's keyboard interface is not touched",
         hardware("host-controller keyboard-mouse-receiver@1-2 keyboard@1-3"), {kDenyMouse},
         {{line("exempt", "mouse", kReceiverMouse), "last usable pointing device"}}},
        {"a hub that carries the last keyboard stays", hardware("host-controller hub@1-1 keyboard@1-1.2"),
         {kDenyHubs, kDenyKeyboard},
         {{line("exempt", "usb", usb("1-1")), "carries /sys/devices/" + usb("1-1.2:1.0")},
          {line("exempt", "keyboard", usb("1-1.2:1.0") + "/0003:04D9:1603.0003/input/input7"), "last usable keyboard"}}},
        {"a Bluetooth radio that carries the last keyboard stays, both interfaces",
         hardware("host-controller bluetooth-radio@1-4 bluetooth-keyboard@1-4"), {kDenyBluetooth},
         {{line("exempt", "bt", usb("1-4:1.0")), "carries"}, {line("exempt", "bt", usb("1-4:1.1")), "same radio as"}}},
        {"a USB stick that holds /var stays", hardware("host-controller") + usb_stick(var_device()), {kDenyDisks},
         {{line("exempt", "udisk", kStick), "holds /var"}}},
        // The receiver's keyboard stays usable, so the built-in one is not the last.
        {"a kernel without input inhibition cannot deny a keyboard", noInhibition, {kDenyKeyboard},
         {{line("not-enforceable", "keyboard", kReceiverKeyboard), "kernel without input inhibition"},
          {line("would-deny", "keyboard", "platform/i8042/serio0/input/input1"), "inhibit"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        build_sysfs(c.tree);
        fs::remove_all(root_ / "GroupPolicy"); // a fresh policy for each case
        Applied applied = apply(c.permits);
        EXPECT_EQ(applied.result, 0) << applied.log;
        ReportLines expected;
        for (const auto &[key, text] : c.expected) {
            expected.insert(key);
            EXPECT_NE(applied.details[key].find(text), std::string::npos) << key << ": " << applied.details[key];
        }
        EXPECT_EQ(applied.lines, expected);
    }
}

TEST_F(Plan, LoginsAndRemoteShellSessionsKeepTheirDevices)
{
    utmpx login{};
    login.ut_type = USER_PROCESS;
    std::strcpy(login.ut_line, "ttyUSB0");
    write_file("/run/utmp", std::string(reinterpret_cast<const char *>(&login), sizeof login));
    // A TCP connection to port 22 over an address of a real eth1 in the test's network.
    struct Unplug {
        ~Unplug() { shell("ip link del eth1"); }
    } unplug;
    ASSERT_EQ(shell("ip link add eth1 type veth peer name kpeer1 && ip addr add 192.0.2.10/24 dev eth1 && "
                    "ip link set eth1 up && ip link set kpeer1 up"), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(22);
    inet_pton(AF_INET, "192.0.2.10", &address.sin_addr);
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, raw, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(connect(client, raw, sizeof address), 0);
    const int server = accept(listener, nullptr, nullptr);

    build_sysfs(hardware("host-controller usb-serial-adapter@1-6 usb-network-adapter@1-7 this-machine"));
    Applied applied = apply({kDenySerial, kDenyCards});
    for (int fd : {server, client, listener})
        close(fd);
    const std::string adapter = line("exempt", "serial", usb("1-6:1.0") + "/ttyUSB0/tty/ttyUSB0");
    EXPECT_EQ(applied.lines, (ReportLines{adapter, line("exempt", "serial", "pnp0/00:00/00:00:0/00:00:0.0/tty/ttyS0"),
                                          line("exempt", "eth", "eth1"), line("exempt", "eth", "eth0")}));
    EXPECT_EQ(applied.details[adapter], "login on ttyUSB0");
    EXPECT_EQ(applied.details[line("exempt", "eth", "eth1")], "carries a remote shell session");
}

TEST_F(Plan, WithoutTheRetroactiveSwitchPresentDevicesWaitForTheRules)
{
    build_sysfs(hardware("host-controller webcam@1-3 usb-stick@1-5"));
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
    build_sysfs(hardware("this-machine"));
    Applied applied = apply({kDenyCards}, "yes");
    EXPECT_EQ(applied.result, QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_NE(applied.log.find("E KestruneCtl enforce_effective_policy #: KESTRUNE_ENFORCE=yes is not 0, 1 or plan"),
              std::string::npos)
        << applied.log;
    EXPECT_TRUE(applied.lines.empty());
}

} // namespace
