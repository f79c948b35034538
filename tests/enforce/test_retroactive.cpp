// The retroactive pass over fake device trees: what it changes, what an allow
// undoes (only Kestrune's own changes, recorded by the pass or by udev), and how
// failures and vanished devices are reported.
#include <fcntl.h>

#include <cerrno>
#include <filesystem>

#include "enforce_harness.h"
#include "kestrune.h"
#include "platform/linux/enforce/device_io.h"

using namespace kestrune::test;
namespace fs = std::filesystem;

namespace {

constexpr int kNormal = QVX_KESTRUNE_DEVICE_TYPE_NORMAL;
const Permit kDenyCamera{kNormal, QVX_KESTRUNE_NORMAL_DEVID_CAMERA, 1};

std::string attribute(const std::string &device, const std::string &name)
{
    return read_file(sys(device) + "/" + name);
}

void set_attribute(const std::string &device, const std::string &name, const std::string &value)
{
    write_file(sys(device) + "/" + name, value + "\n");
}

class Retroactive : public EnforcementTest {
protected:
    void TearDown() override { kestrune::platform::device_io = kestrune::platform::kRealDeviceIo; }
};

TEST_F(Retroactive, AnAllowUndoesOnlyWhatKestruneDid)
{
    // Camera 1-8 was deauthorised by hand; camera 1-9 is plugged in again after the deny.
    build_sysfs(hardware("host-controller webcam@1-3 webcam@1-8 webcam@1-9"));
    set_attribute(usb("1-8:1.0"), "authorized", "0");

    Applied denied = apply({kDenyCamera}, "1");
    EXPECT_EQ(denied.result, 0) << denied.log;
    for (const char *port : {"1-3:1.0", "1-3:1.1", "1-8:1.0", "1-8:1.1", "1-9:1.0", "1-9:1.1"})
        EXPECT_EQ(attribute(usb(port), "authorized"), "0\n") << port;
    EXPECT_EQ(attribute(usb("1-3:1.2"), "authorized"), "1\n");
    EXPECT_NE(denied.details[line("denied", "camera", usb("1-8:1.0"))].find("already so"), std::string::npos);
    EXPECT_TRUE(fs::exists("/etc/udev/rules.d/72-kestrune.rules"));

    set_attribute(usb("1-9"), "devnum", "42");
    Applied allowed = apply({{kNormal, QVX_KESTRUNE_NORMAL_DEVID_CAMERA, 2}}, "1");
    EXPECT_EQ(allowed.result, 0) << allowed.log;
    EXPECT_EQ(allowed.lines, (ReportLines{line("restored", "camera", usb("1-3:1.0")),
                                          line("restored", "camera", usb("1-3:1.1")),
                                          line("restored", "camera", usb("1-8:1.1"))}));
    for (const char *port : {"1-3:1.0", "1-3:1.1", "1-8:1.1"})
        EXPECT_EQ(attribute(usb(port), "authorized"), "1\n") << port;
    for (const char *port : {"1-8:1.0", "1-9:1.0", "1-9:1.1"})
        EXPECT_EQ(attribute(usb(port), "authorized"), "0\n") << port;
    EXPECT_FALSE(fs::exists("/etc/udev/rules.d/72-kestrune.rules"));
    EXPECT_FALSE(fs::exists("/run/kestrune/marks"));
}

TEST_F(Retroactive, WhatTheRulesDidIsUndoneByUdevsRecord)
{
    build_sysfs(hardware("host-controller keyboard-mouse-receiver@1-2 builtin-keyboard sata-optical-drive"));
    const std::string mouse = usb("1-2:1.1") + "/0003:046D:C52B.0002/input/input4";
    const std::string keyboard = usb("1-2:1.0") + "/0003:046D:C52B.0001/input/input3";
    const std::string lun = "pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0";
    set_attribute(mouse, "inhibited", "1");
    set_attribute(keyboard, "inhibited", "1"); // by hand: no record
    set_attribute(lun, "state", "offline");
    write_file("/run/udev/data/+input:input4", "E:ID_INPUT=1\nE:KESTRUNE_DENIED=inhibit\n");
    write_file("/run/udev/data/b240:0", "E:KESTRUNE_DENIED=offline\n");

    Applied applied = apply({{kNormal, QVX_KESTRUNE_NORMAL_DEVID_MOUSE, 2}}, "1");
    EXPECT_EQ(applied.result, 0) << applied.log;
    EXPECT_EQ(applied.lines, (ReportLines{line("restored", "mouse", mouse),
                                          line("restored", "cdrom", lun + "/block/sr0")}));
    EXPECT_EQ(attribute(mouse, "inhibited"), "0\n");
    EXPECT_EQ(attribute(keyboard, "inhibited"), "1\n");
    EXPECT_EQ(attribute(lun, "state"), "running\n");
}

TEST_F(Retroactive, AnUnboundDriverIsBoundAgain)
{
    // A second UART, in the layout of kernels before the serial core's devices.
    build_sysfs(hardware("this-machine") + Devices{{"pnp0/00:01", "pnp", "serial", "", "", {}},
                                         {"pnp0/00:01/tty/ttyS2", "tty", "", "", "4:66", {{"type", "4"}}}});
    Applied denied = apply({{kNormal, QVX_KESTRUNE_NORMAL_DEVID_SERIAL, 1}}, "1");
    EXPECT_EQ(denied.result, 0) << denied.log;
    EXPECT_EQ(read_file("/sys/bus/pnp/drivers/serial/unbind"), "00:01");
    fs::remove(sys("pnp0/00:01/driver")); // as the kernel does

    Applied allowed = apply({{kNormal, QVX_KESTRUNE_NORMAL_DEVID_SERIAL, 2}}, "1");
    EXPECT_EQ(allowed.lines, ReportLines{line("restored", "serial", "pnp0/00:01/tty/ttyS2")});
    EXPECT_EQ(read_file("/sys/bus/pnp/drivers/serial/bind"), "00:01");
}

int failing_open(const char *path, int flags, mode_t mode)
{
    const std::string name = path;
    if (name.find("1-3:1.0") != std::string::npos) {
        errno = EIO;
        return -1;
    }
    if (name.find("1-9:1.0") != std::string::npos) { // unplugged meanwhile
        fs::remove_all(fs::path(name).parent_path());
        errno = ENOENT;
        return -1;
    }
    return ::open(path, flags, mode);
}

TEST_F(Retroactive, AFailedActionFailsApplyAVanishedDeviceDoesNot)
{
    build_sysfs(hardware("host-controller webcam@1-3 webcam@1-9"));
    kestrune::platform::device_io.open = failing_open;
    Applied applied = apply({kDenyCamera}, "1");
    EXPECT_EQ(applied.result, QVX_KESTRUNE_RESULT_FAILED);
    const std::string failed = line("failed", "camera", usb("1-3:1.0"));
    EXPECT_EQ(applied.details[failed], "open(" + sys(usb("1-3:1.0")) + "/authorized): errno 5 (Input/output error)");
    EXPECT_EQ(applied.lines.count(line("vanished", "camera", usb("1-9:1.0"))), 1u);
    EXPECT_NE(applied.log.find("E KestruneCtl enforce_effective_policy #: camera " + sys(usb("1-3:1.0")) + ": open("),
              std::string::npos)
        << applied.log;

    kestrune::platform::device_io.open = kestrune::platform::kRealDeviceIo.open;
    fs::remove_all(sys(usb("1-9")));
    EXPECT_EQ(apply({}, "1").result, 0);
}

} // namespace
