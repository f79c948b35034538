// Device discovery by the kernel's layout:
//   USB devices and interfaces   /sys/bus/usb/devices (hubs, cameras, Bluetooth
//                                radios, CDC-ACM serial interfaces)
//   input devices                /sys/class/input/inputN (keyboards, pointers)
//   ttys                         /sys/class/tty (USB serial adapters, UARTs)
//   Bluetooth controllers        /sys/class/bluetooth (those not on USB)
//   block devices                /sys/class/block (CD-ROMs, removable disks)
//   network interfaces           /sys/class/net
#include "platform/linux/enforce/device_inventory.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/linux/enforce/input_class.h"
#include "platform/linux/enforce/sysfs_reader.h"

namespace kestrune::platform {

namespace {

using namespace sysfs;

const std::string kSys = kRoot;

// Bus types of <linux/input.h> whose devices are part of the machine.
constexpr unsigned kBusI8042 = 0x11, kBusI2c = 0x18, kBusHost = 0x19;

std::string udev_value(std::string text)
{
    for (char &c : text)
        if (c == '*' || c == '?' || c == '[' || c == '|' || c == '"' || c == '\\')
            c = '?';
    return text;
}

// Vendor and product of the nearest device at or above `path` that has them, as
// udev parent keys (all on the same device).
std::string vendor_keys(const std::string &path)
{
    std::string keys;
    nearest(path, [&](const std::string &dir) {
        static constexpr std::pair<const char *, const char *> kPairs[] = {
            {"idVendor", "idProduct"}, {"id/vendor", "id/product"}, {"vendor", "device"}};
        for (auto [vendorName, productName] : kPairs) {
            auto vendor = attribute(dir, vendorName);
            auto product = attribute(dir, productName);
            if (vendor && product && !vendor->empty() && !product->empty()) {
                keys = std::string("ATTRS{") + vendorName + "}==\"" + udev_value(*vendor) + "\", ATTRS{" +
                       productName + "}==\"" + udev_value(*product) + "\"";
                return true;
            }
        }
        return false;
    });
    return keys;
}

// Digits separated by `separator`, `count` groups of them.
bool digit_groups(std::string_view text, char separator, size_t count)
{
    size_t groups = 1;
    bool digitSeen = false;
    for (char c : text) {
        if (c == separator) {
            if (!digitSeen)
                return false;
            ++groups;
            digitSeen = false;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            digitSeen = true;
        } else {
            return false;
        }
    }
    return digitSeen && groups == count;
}

// One path component with the instance numbers that the kernel hands out anew
// at every start as wildcards.
std::string renumbered_glob(const std::string &part)
{
    static constexpr const char *kNumbered[] = {"input", "event", "mouse",  "hci", "host", "ttyUSB",
                                                "ttyACM", "mmcblk", "sr", "sg", "virtio"};
    for (const char *prefix : kNumbered) {
        std::string_view name = prefix;
        if (part.starts_with(name) && digit_groups(std::string_view(part).substr(name.size()), ':', 1))
            return std::string(name) + "*";
    }
    if (part.starts_with("hci") && digit_groups(std::string_view(part).substr(3), ':', 2))
        return "hci*:*";
    if (part.starts_with("target") && digit_groups(std::string_view(part).substr(6), ':', 3))
        return "target*";
    if (digit_groups(part, ':', 4))
        return "*";
    // HID devices: bus:vendor:product.instance
    if (part.size() == 19 && part[4] == ':' && part[9] == ':' && part[14] == '.' &&
        std::all_of(part.begin(), part.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; }))
        return part.substr(0, 14) + ".*";
    if (part.size() > 2 && part.starts_with("sd") &&
        std::all_of(part.begin() + 2, part.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return "sd*";
    return udev_value(part);
}

FoundDevice found(DeviceKind kind, const std::string &path, const std::string &event, const std::string &target,
                  Mechanism deny)
{
    FoundDevice device;
    device.kind = kind;
    device.path = path;
    device.label = path;
    device.event = event;
    device.target = target;
    device.deny = deny;
    std::string devpath = event.substr(kSys.size());
    device.match = "DEVPATH==\"" + stable_devpath_glob(devpath) + "\"";
    if (std::string keys = vendor_keys(event); !keys.empty())
        device.match += ", " + keys;
    return device;
}

// A deny through `attr` of the target: not enforceable when the kernel lacks it.
void need_attribute(FoundDevice &device, const char *attr, const char *why)
{
    if (!has_entry(device.target, attr))
        device.unenforceable = why;
}

void deauthorize_through(FoundDevice &device)
{
    need_attribute(device, "authorized", "no USB authorisation for this device");
    device.off = attribute(device.target, "authorized") == "0";
}

// The unbind target's driver: none bound means it has nothing left to take away.
void unbind_through(FoundDevice &device)
{
    if (device.target.empty() || !has_entry(device.target, "driver")) {
        device.unenforceable = "no driver bound to unbind";
        device.off = true;
    }
}

void scan_usb(std::vector<FoundDevice> &out)
{
    for (const std::string &name : entries(kSys + "/bus/usb/devices")) {
        std::string path = canonical(kSys + "/bus/usb/devices/" + name);
        if (path.empty())
            continue;
        std::string type = uevent_value(path, "DEVTYPE");
        FoundDevice device;
        if (type == "usb_device") {
            // Root hubs stand for their host controller: never a candidate.
            if (name.starts_with("usb") || attribute(path, "bDeviceClass") != "09")
                continue;
            device = found(DeviceKind::usb, path, path, path, Mechanism::deauthorize);
        } else if (type == "usb_interface") {
            std::string cls = attribute(path, "bInterfaceClass").value_or("");
            std::string sub = attribute(path, "bInterfaceSubClass").value_or("");
            std::string proto = attribute(path, "bInterfaceProtocol").value_or("");
            DeviceKind kind;
            if (cls == "0e")
                kind = DeviceKind::camera;
            else if (cls == "e0" && sub == "01" && proto == "01")
                kind = DeviceKind::bt;
            else if (cls == "02" && sub == "02")
                kind = DeviceKind::serial;
            else
                continue;
            device = found(kind, path, path, path, Mechanism::deauthorize);
        } else {
            continue;
        }
        deauthorize_through(device);
        out.push_back(std::move(device));
    }
}

InputCapabilities capabilities_of(const std::string &path)
{
    auto bits = [&](const char *name) { return CapabilityBits(attribute(path, name).value_or("")); };
    return {bits("capabilities/ev"), bits("capabilities/key"), bits("capabilities/rel"), bits("capabilities/abs"),
            bits("properties")};
}

void scan_input(std::vector<FoundDevice> &out)
{
    for (const std::string &name : entries(kSys + "/class/input")) {
        if (!name.starts_with("input"))
            continue;
        std::string path = canonical(kSys + "/class/input/" + name);
        if (path.empty())
            continue;
        unsigned bus = static_cast<unsigned>(std::strtoul(attribute(path, "id/bustype").value_or("0").c_str(),
                                                          nullptr, 16));
        InputClass cls = classify_input(capabilities_of(path), bus);
        for (auto [is, kind] : {std::pair{cls.keyboard, DeviceKind::keyboard}, {cls.pointer, DeviceKind::mouse}}) {
            if (!is)
                continue;
            FoundDevice device = found(kind, path, path, path, Mechanism::inhibit);
            need_attribute(device, "inhibited", "kernel without input inhibition");
            device.off = attribute(path, "inhibited") == "1";
            device.builtin = bus == kBusI8042 || bus == kBusI2c || bus == kBusHost;
            out.push_back(std::move(device));
        }
    }
}

void scan_tty(std::vector<FoundDevice> &out)
{
    for (const std::string &name : entries(kSys + "/class/tty")) {
        std::string path = canonical(kSys + "/class/tty/" + name);
        if (path.empty() || !has_entry(path, "device"))
            continue;
        FoundDevice device;
        if (name.starts_with("ttyUSB")) {
            device = found(DeviceKind::serial, path, path, usb_interface_of(path), Mechanism::deauthorize);
            deauthorize_through(device);
        } else if (auto type = attribute(path, "type"); type && *type != "0") {
            // A UART with a real port: unbind the hardware that carries it (above
            // the serial core's own controller and port devices).
            std::string hardware = nearest(parent_path(path), [](const std::string &dir) {
                std::string subsystem = link_name(dir, "subsystem");
                return subsystem != "serial-base" && subsystem != "tty" && !subsystem.empty();
            });
            device = found(DeviceKind::serial, path, path, hardware, Mechanism::unbind);
            unbind_through(device);
        } else {
            continue; // virtual terminals, ptys, CDC-ACM (found by interface), ports without hardware
        }
        out.push_back(std::move(device));
    }
}

void scan_bluetooth(std::vector<FoundDevice> &out)
{
    for (const std::string &name : entries(kSys + "/class/bluetooth")) {
        std::string path = canonical(kSys + "/class/bluetooth/" + name);
        if (path.empty() || uevent_value(path, "DEVTYPE") != "host" || !usb_interface_of(path).empty())
            continue; // radios on USB are found by their interfaces
        FoundDevice device = found(DeviceKind::bt, path, path, canonical(path + "/device"), Mechanism::unbind);
        unbind_through(device);
        out.push_back(std::move(device));
    }
}

bool on_bus(const std::string &path, std::initializer_list<const char *> buses)
{
    return !nearest(path, [&](const std::string &dir) {
                std::string subsystem = link_name(dir, "subsystem");
                for (const char *bus : buses)
                    if (subsystem == bus)
                        return true;
                return false;
            }).empty();
}

void scan_block(std::vector<FoundDevice> &out)
{
    static constexpr const char *kNotRemovable[] = {"loop", "zram", "dm-", "md", "nbd", "ram"};
    for (const std::string &name : entries(kSys + "/class/block")) {
        std::string path = canonical(kSys + "/class/block/" + name);
        if (path.empty() || has_entry(path, "partition"))
            continue;
        bool virtualDisk = false;
        for (const char *prefix : kNotRemovable)
            virtualDisk = virtualDisk || name.starts_with(prefix);
        DeviceKind kind;
        if (name.starts_with("sr"))
            kind = DeviceKind::cdrom;
        else if (!virtualDisk && (attribute(path, "removable") == "1" || on_bus(path, {"usb", "mmc", "firewire"})))
            kind = DeviceKind::udisk;
        else
            continue;
        std::string usbInterface = usb_interface_of(path);
        std::string backing = canonical(path + "/device");
        FoundDevice device;
        if (!usbInterface.empty()) {
            device = found(kind, path, path, usbInterface, Mechanism::deauthorize);
            deauthorize_through(device);
        } else if (kind == DeviceKind::cdrom) {
            device = found(kind, path, path, backing, Mechanism::offline);
            need_attribute(device, "state", "no SCSI device state to take offline");
            device.off = attribute(backing, "state") == "offline";
        } else {
            device = found(kind, path, path, backing, Mechanism::unbind);
            unbind_through(device);
        }
        device.block = device_number(path);
        for (const std::string &generic : entries(backing + "/scsi_generic"))
            device.generic = device_number(backing + "/scsi_generic/" + generic);
        out.push_back(std::move(device));
    }
}

void scan_net(std::vector<FoundDevice> &out)
{
    for (const std::string &name : entries(kSys + "/class/net")) {
        std::string path = canonical(kSys + "/class/net/" + name);
        if (path.empty())
            continue;
        std::string backing = canonical(path + "/device");
        std::string usbInterface = usb_interface_of(path);
        FoundDevice device;
        if (backing.empty()) {
            device = found(DeviceKind::eth, path, path, {}, Mechanism::none);
            device.unenforceable = "virtual interface: not a card";
        } else if (!usbInterface.empty()) {
            device = found(DeviceKind::eth, path, path, usbInterface, Mechanism::deauthorize);
            deauthorize_through(device);
        } else {
            device = found(DeviceKind::eth, path, path, backing, Mechanism::unbind);
            unbind_through(device);
        }
        device.label = name;
        out.push_back(std::move(device));
    }
}

} // namespace

const char *mechanism_name(Mechanism mechanism)
{
    switch (mechanism) {
    case Mechanism::deauthorize: return "deauthorise";
    case Mechanism::inhibit: return "inhibit";
    case Mechanism::unbind: return "unbind";
    case Mechanism::offline: return "offline";
    case Mechanism::read_only: return "read-only";
    case Mechanism::none: break;
    }
    return "none";
}

std::string stable_devpath_glob(const std::string &devpath)
{
    std::string glob, previous;
    size_t at = 1;
    while (at <= devpath.size()) {
        size_t end = devpath.find('/', at);
        if (end == std::string::npos)
            end = devpath.size();
        std::string part = devpath.substr(at, end - at);
        // An interface's name changes after its first event (udev renames it).
        glob += "/" + (previous == "net" ? std::string("*") : renumbered_glob(part));
        previous = std::move(part);
        at = end + 1;
    }
    return glob;
}

std::vector<FoundDevice> scan_devices()
{
    std::vector<FoundDevice> devices;
    scan_usb(devices);
    scan_input(devices);
    scan_tty(devices);
    scan_bluetooth(devices);
    scan_block(devices);
    scan_net(devices);
    return devices;
}

} // namespace kestrune::platform
