// The rules file against udev's own engine: `udevadm test`, unpacked from the
// Debian package and run over the fake tree inside this test's namespaces, takes
// the same decisions for every device as the plan, and none at all when the
// kernel command line says kestrune.enforce=0.
#include <filesystem>
#include <cstring>

#include "enforcement_fixture.h"
#include "kestrune.h"

using namespace kestrune::test;

namespace {

constexpr int kNormal = QVX_KESTRUNE_DEVICE_TYPE_NORMAL, kStorage = QVX_KESTRUNE_DEVICE_TYPE_STORAGE;

std::vector<Permit> deny_everything(int storagePermission)
{
    std::vector<Permit> permits;
    for (int device : {QVX_KESTRUNE_NORMAL_DEVID_SERIAL, QVX_KESTRUNE_NORMAL_DEVID_MOUSE,
                       QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_DEVID_CAMERA,
                       QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, QVX_KESTRUNE_NORMAL_DEVID_BT})
        permits.push_back({kNormal, device, 1});
    permits.push_back({kStorage, QVX_KESTRUNE_STORAGE_DEVID_CDROM, storagePermission});
    permits.push_back({kStorage, QVX_KESTRUNE_STORAGE_DEVID_UDISK, storagePermission});
    permits.push_back({QVX_KESTRUNE_DEVICE_TYPE_NET, QVX_KESTRUNE_NET_DEVID_ETH_CARD, 1});
    return permits;
}

Devices everything()
{
    return host_controller() + usb_keyboard_mouse_receiver("1-2") + webcam("1-3") + bluetooth_radio("1-4") +
           usb_stick("1-5", "sdb", "8:16") + usb_serial_adapter("1-6") + usb_network_adapter("1-7", "eth1") +
           external_hub("1-1") + usb_keyboard("1-1.2", "input7") + sata_optical_drive() + builtin_keyboard() +
           this_machine() + virtual_interface("veth0");
}

std::string event_path(const std::string &device)
{
    return device.find('/') == std::string::npos ? "/sys/class/net/" + device : "/sys/devices/" + device;
}

// What the plan's detail says the rules must do for the device.
std::string expected_decision(const std::string &outcome, const std::string &detail)
{
    size_t space = detail.find(' ');
    if (space == std::string::npos || detail.compare(space + 1, 5, "/sys/") != 0)
        return "? " + outcome + " " + detail;
    std::string mechanism = detail.substr(0, space), target = detail.substr(space + 1);
    if (mechanism == "deauthorise")
        return "write " + target + "/authorized 0";
    if (mechanism == "inhibit")
        return "write " + target + "/inhibited 1";
    if (mechanism == "offline")
        return "write " + target + "/state offline";
    if (mechanism == "unbind")
        return "write " + std::filesystem::canonical(target + "/driver").string() + "/unbind " +
               std::filesystem::path(target).filename().string();
    if (mechanism == "read-only")
        return "run blockdev --setro /dev/" + std::filesystem::path(target).filename().string();
    return "? " + detail;
}

// The attribute writes and programs of udev's rules for one add event.
std::set<std::string> udev_decisions(const std::string &event, const std::string &cmdline)
{
    std::string output;
    int status = run_program({KESTRUNE_UDEVADM, "test", "--action=add", event}, &output,
                             {"SYSTEMD_DEVICE_VERIFY_SYSFS=0", "SYSTEMD_PROC_CMDLINE=" + cmdline});
    EXPECT_EQ(status, 0) << output;
    std::set<std::string> decisions;
    // Quoted texts after `marker`, `count` of them in a row ("'a' writing 'b'").
    auto quoted = [&](size_t &at, const char *marker) {
        at = output.find(marker, at);
        if (at == std::string::npos)
            return std::string();
        size_t begin = at + std::strlen(marker), end = output.find('\'', begin);
        at = end;
        return output.substr(begin, end - begin);
    };
    for (size_t at = 0; at != std::string::npos;) {
        std::string path = quoted(at, "ATTR '");
        std::string value = quoted(at, "' writing '");
        if (at != std::string::npos)
            decisions.insert("write " + std::filesystem::weakly_canonical(path).string() + " " + value);
    }
    for (size_t at = 0; at != std::string::npos;) {
        std::string program = quoted(at, "run: '");
        if (at != std::string::npos)
            decisions.insert("run " + program.substr(program.rfind('/', program.find(' ')) + 1));
    }
    return decisions;
}

class UdevRules : public EnforcementTest {};

TEST_F(UdevRules, TakeThePlansDecisionsAndTheEscapeSwitchTurnsThemOff)
{
    for (int storage : {QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, QVX_KESTRUNE_STORAGE_PERM_DENY}) {
        SCOPED_TRACE("storage permission " + std::to_string(storage));
        build_sysfs(everything());
        Applied plan = apply(deny_everything(storage), "plan");
        ASSERT_EQ(plan.result, 0) << plan.log;
        apply({}, "1"); // writes the rules file (and acts on the fake tree)
        ASSERT_TRUE(std::filesystem::exists("/etc/udev/rules.d/72-kestrune.rules"));
        build_sysfs(everything());

        std::map<std::string, std::set<std::string>> expected;
        for (const std::string &key : plan.lines) {
            std::string outcome = key.substr(0, key.find(' '));
            std::string device = key.substr(key.rfind(' ') + 1);
            std::set<std::string> &wanted = expected[event_path(device)];
            if (outcome.starts_with("would-"))
                wanted.insert(expected_decision(outcome, plan.details.at(key)));
        }
        EXPECT_EQ(expected.size(), 16u);
        for (const auto &[event, decisions] : expected) {
            EXPECT_EQ(udev_decisions(event, "quiet"), decisions) << event;
            EXPECT_EQ(udev_decisions(event, "quiet kestrune.enforce=0"), std::set<std::string>{}) << event;
        }
    }
}

} // namespace
