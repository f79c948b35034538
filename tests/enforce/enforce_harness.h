// The enforcement tests run the whole test program in mount and network
// namespaces of its own, entered before the first test that needs them: /sys,
// /run, /var and /dev are tmpfs, /etc an overlay kept in memory, udev's own rule
// folders empty, /proc/consoles names "ttyS0", and a card "eth0" carries the
// default route (private-system.sh sets it all up). Nothing reaches the
// machine's own /sys, /etc, devices or network.
#ifndef KESTRUNE_TESTS_ENFORCE_HARNESS_H
#define KESTRUNE_TESTS_ENFORCE_HARNESS_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace kestrune::test {

// The machine's own /dev (an O_PATH descriptor), where a test finds the loop
// device it attached.
int machine_dev();

// Runs a shell command; its exit status (-1: it did not end normally), with
// standard output and error in `output`.
int shell(const std::string &command, std::string *output = nullptr);

// One device of a fake sysfs tree, in the kernel's layout.
struct FakeDevice {
    std::string path;      // below /sys/devices
    std::string subsystem; // "usb", "input", "block", ...
    std::string driver;    // bound driver, if any
    std::string devtype;   // DEVTYPE of the uevent
    std::string dev;       // "major:minor" of a device node
    std::map<std::string, std::string> attributes; // files below the device (subdirectories allowed)
};
using Devices = std::vector<FakeDevice>;
Devices operator+(Devices a, const Devices &b);

// Empties /sys and builds the devices with their uevent files and the
// subsystem, driver, class, bus and dev links, relative as the kernel makes them.
void build_sysfs(const Devices &devices);
std::string sys(const std::string &devicePath); // "/sys/devices/" + devicePath

// Pieces of hardware of hardware.txt with everything below them, by name or as
// "name@port" for the USB port a piece is plugged into: "hub@1-1 keyboard@1-1.2".
Devices hardware(const std::string &pieces);
// The path of USB port "1-2" or "1-1.3" (below hub 1-1), or of interface
// "1-2:1.0", below the host controller.
std::string usb(const std::string &port);
// The USB stick on port 1-5 with its disk sdb numbered `dev`, without partition.
Devices usb_stick(const std::string &dev);

struct Permit {
    int category; // QVX_KESTRUNE_DEVICE_TYPE_*
    int device;
    int permission;
};

// Report lines as "outcome kind device", the device without "/sys/devices/".
using ReportLines = std::set<std::string>;
std::string line(const std::string &outcome, const std::string &kind, const std::string &device);

struct Applied {
    int result = -1;
    std::string log;    // diagnostic lines of the whole run
    std::string report; // Policies/Enforcement.txt
    ReportLines lines;
    std::map<std::string, std::string> details; // by line
};

// Permits on a scratch policy root, Apply with KESTRUNE_ENFORCE set, and the
// report it wrote, over a fake device tree.
class EnforcementTest : public ::testing::Test {
protected:
    void SetUp() override;
    void clear_runtime(); // empties /run/kestrune, /run/udev, /run/utmp and udev's rules and hardware database

    // Sets the permits on the test's policy root (kept from call to call), runs
    // `beforeApply` while the policy object is held, and applies in `mode`.
    Applied apply(const std::vector<Permit> &permits, const char *mode = "plan",
                  const std::function<void()> &beforeApply = {});

    ScratchRoot root_;
};

} // namespace kestrune::test

#endif
