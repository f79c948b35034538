// The enforcement tests run the whole test program in mount and network
// namespaces of its own, entered before any test starts:
//   /sys                  an empty tmpfs that each test fills with a fake device tree
//   /run                  a tmpfs (marks, udev's records and control socket)
//   /etc                  an overlay whose changes stay in memory (udev's rules.d)
//   /var                  a tmpfs: a filesystem "holding /var" for the guard
//   /usr/lib/udev/rules.d an empty tmpfs, so udevadm reads only our rules
//   /proc/consoles        "ttyS0", the serial console of the machines we run on
// and a network of its own with a card "eth0" that carries the default route.
// Nothing reaches the machine's own /sys, /etc or network.
#ifndef KESTRUNE_TESTS_ENFORCE_PRIVATE_SYSTEM_H
#define KESTRUNE_TESTS_ENFORCE_PRIVATE_SYSTEM_H

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace kestrune::test {

// Empty when the namespaces are in place; else why not (the tests then skip).
const std::string &private_system_failure();
// Runs a program with arguments (no shell); its exit status, -1 if it did not run.
int run_program(std::initializer_list<std::string> argv, std::string *output = nullptr,
                const std::vector<std::string> &environment = {});

// One device of a fake sysfs tree, in the kernel's layout.
struct FakeDevice {
    std::string path;      // below /sys/devices
    std::string subsystem; // "usb", "input", "block", ...
    std::map<std::string, std::string> attributes; // files below the device (subdirectories allowed)
    std::string driver;    // bound driver, if any
    std::string devtype;   // DEVTYPE of the uevent
    std::string dev;       // "major:minor" of a device node
};

// Empties /sys and builds the devices: directories, attributes, uevent files,
// subsystem and driver links, the class, bus and dev links, all relative as the
// kernel makes them.
void build_sysfs(const std::vector<FakeDevice> &devices);
void clear_runtime(); // empties /run/kestrune, /run/udev, /run/utmp and /etc/udev/rules.d

std::string sys(const std::string &devicePath); // "/sys/devices/" + devicePath

} // namespace kestrune::test

#endif
