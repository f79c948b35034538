#include "platform/linux/enforce/udev_rules.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/posix/posix_command.h"
#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

namespace {

// Every rule that denies leaves its mechanism in the device's udev record, so
// that a later allow can tell the rules' work from an administrator's.
std::string mark(const char *mechanism)
{
    return std::string(", ENV{KESTRUNE_DENIED}=\"") + mechanism + "\"";
}

const char *const kHeader =
    "# Kestrune: the machine's device policy for devices that arrive later and at boot.\n"
    "# Generated from the policy at every refresh; do not edit, the next refresh replaces it.\n"
    "# Boot with kestrune.enforce=0 on the kernel command line to switch it off.\n"
    "ACTION!=\"add|change\", GOTO=\"kestrune_end\"\n"
    "IMPORT{cmdline}=\"kestrune.enforce\"\n"
    "ENV{kestrune.enforce}==\"0\", GOTO=\"kestrune_end\"\n";

std::string serial_rules()
{
    return "# serial: CDC-ACM interfaces and USB serial adapters lose their authorisation, UARTs their driver\n"
           "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ATTR{bInterfaceClass}==\"02\", "
           "ATTR{bInterfaceSubClass}==\"02\", ATTR{authorized}=\"0\"" + mark("deauthorise") + "\n"
           "SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB[0-9]*\", SUBSYSTEMS==\"usb\", ATTR{../../../authorized}=\"0\"" +
           mark("deauthorise") + "\n"
           "SUBSYSTEM!=\"tty\", GOTO=\"kestrune_uart_end\"\n"
           "TEST!=\"type\", GOTO=\"kestrune_uart_end\"\n"
           "ATTR{type}==\"0\", GOTO=\"kestrune_uart_end\"\n"
           "SUBSYSTEMS==\"serial-base\", GOTO=\"kestrune_uart_core\"\n"
           "DRIVERS==\"?*\", ATTR{device/driver/unbind}=\"$id\"" + mark("unbind") + "\n"
           "GOTO=\"kestrune_uart_end\"\n"
           "LABEL=\"kestrune_uart_core\"\n"
           // The serial core's controller and port sit between the tty and its hardware.
           "SUBSYSTEMS!=\"serial-base|tty\", DRIVERS==\"?*\", ATTR{../../../../driver/unbind}=\"$id\"" +
           mark("unbind") + "\n"
           "LABEL=\"kestrune_uart_end\"\n";
}

std::string input_rules(const char *kind, std::initializer_list<const char *> properties)
{
    std::string text = std::string("# ") + kind + ": inhibited\n";
    for (const char *property : properties)
        text += std::string("SUBSYSTEM==\"input\", KERNEL==\"input[0-9]*\", ENV{") + property +
                "}==\"1\", ATTR{inhibited}=\"1\"" + mark("inhibit") + "\n";
    return text;
}

std::string usb_interface_rule(const char *comment, const std::string &classKeys)
{
    return std::string("# ") + comment + "\n" + "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", " +
           classKeys + ", ATTR{authorized}=\"0\"" + mark("deauthorise") + "\n";
}

std::string bluetooth_rules()
{
    return usb_interface_rule("bt: USB radios lose their authorisation, others their driver",
                              "ATTR{bInterfaceClass}==\"e0\", ATTR{bInterfaceSubClass}==\"01\", "
                              "ATTR{bInterfaceProtocol}==\"01\"") +
           "SUBSYSTEM!=\"bluetooth\", GOTO=\"kestrune_bt_end\"\n"
           "ENV{DEVTYPE}!=\"host\", GOTO=\"kestrune_bt_end\"\n"
           "SUBSYSTEMS==\"usb\", GOTO=\"kestrune_bt_end\"\n"
           "DRIVERS==\"?*\", ATTR{device/driver/unbind}=\"$id\"" + mark("unbind") + "\n"
           "LABEL=\"kestrune_bt_end\"\n";
}

// A block device of the kind: USB ones lose the mass-storage interface (above
// host, target and LUN), the others their driver or, for CD-ROMs, their SCSI state.
std::string storage_rules(DeviceKind kind, const StorageLimits &limits, const std::string &blockdev)
{
    bool cdrom = kind == DeviceKind::cdrom;
    std::string end = std::string("kestrune_") + device_kind_name(kind) + "_end";
    std::string hit = std::string("kestrune_") + device_kind_name(kind);
    std::string text = std::string("# ") + device_kind_name(kind) + ":" + (limits.denyRead ? " reading denied" : "") +
                       (limits.denyWrite ? " read-only" : "") + "\n";
    text += "SUBSYSTEM!=\"block\", GOTO=\"" + end + "\"\n" + "ENV{DEVTYPE}!=\"disk\", GOTO=\"" + end + "\"\n";
    if (cdrom) {
        text += "KERNEL!=\"sr[0-9]*\", GOTO=\"" + end + "\"\n";
    } else {
        text += "KERNEL==\"loop*|zram*|dm-*|md*|nbd*|ram*|sr*\", GOTO=\"" + end + "\"\n" +
                "ATTR{removable}==\"1\", GOTO=\"" + hit + "\"\n" + "SUBSYSTEMS==\"usb|mmc|firewire\", GOTO=\"" +
                hit + "\"\n" + "GOTO=\"" + end + "\"\n" + "LABEL=\"" + hit + "\"\n";
    }
    // A device that may not be read goes altogether: nothing left to make read-only.
    if (limits.denyWrite && !limits.denyRead)
        text += "RUN+=\"" + blockdev + " --setro $devnode\"" + mark("read-only") + "\n";
    if (limits.denyRead) {
        text += "SUBSYSTEMS==\"usb\", ATTR{../../../../../authorized}=\"0\"" + mark("deauthorise") + ", GOTO=\"" +
                end + "\"\n";
        text += cdrom ? "ATTR{device/state}=\"offline\"" + mark("offline") + "\n"
                      : "DRIVERS==\"?*\", ATTR{device/driver/unbind}=\"$id\"" + mark("unbind") + "\n";
    }
    text += "LABEL=\"" + end + "\"\n";
    if (cdrom && limits.denyWrite && !limits.denyRead)
        text += "# cdrom: no raw writing through the SCSI generic node\n"
                "SUBSYSTEM==\"scsi_generic\", ATTRS{type}==\"5\", OWNER=\"root\", GROUP=\"root\", MODE=\"0600\", "
                "TAG-=\"uaccess\"\n";
    return text;
}

std::string eth_rules()
{
    return "# eth: cards on USB lose their authorisation, the others their driver; virtual interfaces stay\n"
           "SUBSYSTEM!=\"net\", GOTO=\"kestrune_eth_end\"\n"
           "TEST!=\"device\", GOTO=\"kestrune_eth_end\"\n"
           "SUBSYSTEMS==\"usb\", ATTR{../../authorized}=\"0\"" + mark("deauthorise") + ", GOTO=\"kestrune_eth_end\"\n"
           "DRIVERS==\"?*\", ATTR{device/driver/unbind}=\"$id\"" + mark("unbind") + "\n"
           "LABEL=\"kestrune_eth_end\"\n";
}

} // namespace

std::string udev_rules_text(const Plan &plan, const std::string &blockdev)
{
    const EnforcedPolicy &policy = plan.policy;
    if (!policy.denies_anything())
        return {};
    std::string text = kHeader;
    if (policy.is_denied(DeviceKind::mouse) || policy.is_denied(DeviceKind::keyboard))
        text += "SUBSYSTEM==\"input\", KERNEL==\"input[0-9]*\", ENV{ID_INPUT}==\"\", IMPORT{builtin}=\"input_id\"\n";

    bool kept = false;
    for (const PlanEntry &entry : plan.entries) {
        if (!entry.exempt)
            continue;
        if (!kept)
            text += "\n# Kept by the lock-out guard, by path and vendor/product.\n";
        kept = true;
        text += std::string("# ") + device_kind_name(entry.device.kind) + " " + entry.device.path + ": " +
                entry.exemptReason + "\n" + entry.device.match + ", GOTO=\"kestrune_end\"\n";
    }
    text += "\n";
    if (policy.is_denied(DeviceKind::serial))
        text += serial_rules();
    if (policy.is_denied(DeviceKind::mouse))
        text += input_rules("mouse", {"ID_INPUT_MOUSE", "ID_INPUT_TOUCHPAD", "ID_INPUT_POINTINGSTICK"});
    if (policy.is_denied(DeviceKind::keyboard))
        text += input_rules("keyboard", {"ID_INPUT_KEYBOARD"});
    if (policy.is_denied(DeviceKind::camera))
        text += usb_interface_rule("camera: video interfaces lose their authorisation (audio stays)",
                                   "ATTR{bInterfaceClass}==\"0e\"");
    if (policy.is_denied(DeviceKind::usb))
        text += "# usb: external hubs lose their authorisation, never root hubs\n"
                "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{bDeviceClass}==\"09\", "
                "KERNEL!=\"usb[0-9]*\", ATTR{authorized}=\"0\"" + mark("deauthorise") + "\n";
    if (policy.is_denied(DeviceKind::bt))
        text += bluetooth_rules();
    for (DeviceKind kind : {DeviceKind::cdrom, DeviceKind::udisk})
        if (const StorageLimits &limits = policy.limits(kind); limits.denyRead || limits.denyWrite)
            text += storage_rules(kind, limits, blockdev);
    if (policy.is_denied(DeviceKind::eth))
        text += eth_rules();
    return text + "\nLABEL=\"kestrune_end\"\n";
}

RulesInstall install_udev_rules(const Plan &plan)
{
    RulesInstall result;
    struct stat st;
    if (::stat(kUdevRulesDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        result.skipped = true;
        return result;
    }
    std::string blockdev = posix::find_system_tool("blockdev");
    std::string text = udev_rules_text(plan, blockdev.empty() ? "/usr/sbin/blockdev" : blockdev);
    if (text.empty()) {
        if (posix_io.unlink(kUdevRulesFile) != 0 && errno != ENOENT)
            result.failure = {std::string("unlink(") + kUdevRulesFile + ")", errno};
    } else if (IoResult written = write_file_atomically(kUdevRulesFile, std::vector<uint8_t>(text.begin(), text.end()));
               written.failed()) {
        result.failure = {std::string(written.call) + "(" + written.path + ")", written.error};
    } else {
        result.installed = true;
    }
    std::string udevadm = posix::find_system_tool("udevadm");
    if (!result.failure && !udevadm.empty() && ::access("/run/udev/control", F_OK) == 0) {
        const char *argv[] = {udevadm.c_str(), "control", "--reload", nullptr};
        result.reloaded = posix::run_command(argv, std::chrono::seconds(10)).ok();
    }
    return result;
}

} // namespace kestrune::platform
