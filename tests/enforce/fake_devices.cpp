#include "fake_devices.h"

namespace kestrune::test {

namespace {

const std::string kKeyboardKeys = "1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe";

FakeDevice input_device(const std::string &path, const std::string &bus, const std::string &name, bool keyboard)
{
    FakeDevice device{path, "input", {}, "", "", ""};
    device.attributes = {{"name", name},
                         {"id/bustype", bus},
                         {"id/vendor", "046d"},
                         {"id/product", keyboard ? "c31c" : "c077"},
                         {"capabilities/ev", keyboard ? "120013" : "17"},
                         {"capabilities/key", keyboard ? kKeyboardKeys : "1f0000 0 0 0 0"},
                         {"capabilities/rel", keyboard ? "0" : "1943"},
                         {"capabilities/abs", "0"},
                         {"properties", "0"},
                         {"inhibited", "0"}};
    return device;
}

FakeDevice usb_device_node(const std::string &port, const std::string &vendor, const std::string &product,
                           const std::string &cls, const std::string &driver = "usb")
{
    return {usb(port),
            "usb",
            {{"idVendor", vendor}, {"idProduct", product}, {"bDeviceClass", cls}, {"authorized", "1"},
             {"busnum", "1"}, {"devnum", std::to_string(port.size())}, {"maxchild", cls == "09" ? "4" : "0"}},
            driver,
            "usb_device",
            ""};
}

FakeDevice interface(const std::string &name, const std::string &cls, const std::string &sub,
                     const std::string &proto, const std::string &driver)
{
    return {usb(name),
            "usb",
            {{"bInterfaceClass", cls}, {"bInterfaceSubClass", sub}, {"bInterfaceProtocol", proto},
             {"bInterfaceNumber", name.substr(name.size() - 1)}, {"authorized", "1"}},
            driver,
            "usb_interface",
            ""};
}

} // namespace

Devices operator+(Devices a, const Devices &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string usb(const std::string &port)
{
    std::string path = "pci0000:00/0000:00:14.0/usb1";
    std::string device = port.substr(0, port.find(':'));
    for (size_t dot = device.find('.'); dot != std::string::npos; dot = device.find('.', dot + 1))
        path += "/" + device.substr(0, dot);
    path += "/" + device;
    return port.find(':') == std::string::npos ? path : path + "/" + port;
}

Devices host_controller()
{
    return {{"pci0000:00/0000:00:14.0", "pci", {{"vendor", "0x8086"}, {"device", "0xa36d"}}, "xhci_hcd", "", ""},
            {"pci0000:00/0000:00:14.0/usb1", "usb",
             {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"bDeviceClass", "09"}, {"authorized", "1"},
              {"authorized_default", "1"}, {"devnum", "1"}, {"busnum", "1"}},
             "usb", "usb_device", "189:0"}};
}

Devices usb_keyboard_mouse_receiver(const std::string &port)
{
    std::string hidKeyboard = usb(port + ":1.0") + "/0003:046D:C52B.0001";
    std::string hidMouse = usb(port + ":1.1") + "/0003:046D:C52B.0002";
    return {usb_device_node(port, "046d", "c52b", "00"),
            interface(port + ":1.0", "03", "01", "01", "usbhid"),
            {hidKeyboard, "hid", {}, "hid-generic", "", ""},
            input_device(hidKeyboard + "/input/input3", "0003", "Logitech USB Receiver", true),
            interface(port + ":1.1", "03", "01", "02", "usbhid"),
            {hidMouse, "hid", {}, "hid-generic", "", ""},
            input_device(hidMouse + "/input/input4", "0003", "Logitech USB Receiver Mouse", false)};
}

Devices usb_keyboard(const std::string &port, const std::string &input)
{
    std::string hid = usb(port + ":1.0") + "/0003:04D9:1603.0003";
    return {usb_device_node(port, "04d9", "1603", "00"), interface(port + ":1.0", "03", "01", "01", "usbhid"),
            {hid, "hid", {}, "hid-generic", "", ""}, input_device(hid + "/input/" + input, "0003", "Keyboard", true)};
}

Devices webcam(const std::string &port)
{
    return {usb_device_node(port, "046d", "0825", "ef"), interface(port + ":1.0", "0e", "01", "00", "uvcvideo"),
            interface(port + ":1.1", "0e", "02", "00", "uvcvideo"),
            interface(port + ":1.2", "01", "01", "00", "snd-usb-audio"),
            interface(port + ":1.3", "01", "02", "00", "snd-usb-audio")};
}

Devices bluetooth_radio(const std::string &port)
{
    return {usb_device_node(port, "8087", "0a2b", "e0"), interface(port + ":1.0", "e0", "01", "01", "btusb"),
            {usb(port + ":1.0") + "/bluetooth/hci0", "bluetooth", {}, "", "host", ""},
            interface(port + ":1.1", "e0", "01", "01", "btusb")};
}

Devices bluetooth_keyboard(const std::string &radioPort)
{
    std::string link = usb(radioPort + ":1.0") + "/bluetooth/hci0/hci0:256";
    std::string hid = link + "/0005:046D:B342.0005";
    return {{link, "bluetooth", {}, "", "link", ""}, {hid, "hid", {}, "hid-generic", "", ""},
            input_device(hid + "/input/input9", "0005", "Bluetooth Keyboard", true)};
}

Devices usb_stick(const std::string &port, const std::string &disk, const std::string &dev, bool partition)
{
    std::string lun = usb(port + ":1.0") + "/host0/target0:0:0/0:0:0:0";
    size_t colon = dev.find(':');
    std::string partitionDev = dev.substr(0, colon) + ":" + std::to_string(std::stoi(dev.substr(colon + 1)) + 1);
    Devices devices = {usb_device_node(port, "0781", "5583", "00"),
            interface(port + ":1.0", "08", "06", "50", "usb-storage"),
            {usb(port + ":1.0") + "/host0", "scsi", {}, "", "scsi_host", ""},
            {usb(port + ":1.0") + "/host0/target0:0:0", "scsi", {}, "", "scsi_target", ""},
            {lun, "scsi", {{"type", "0"}, {"state", "running"}, {"vendor", "SanDisk"}}, "sd", "scsi_device", ""},
            {lun + "/block/" + disk, "block", {{"removable", "1"}, {"ro", "0"}}, "", "disk", dev}};
    if (partition)
        devices.push_back({lun + "/block/" + disk + "/" + disk + "1", "block", {{"partition", "1"}}, "", "partition",
                           partitionDev});
    return devices;
}

Devices usb_serial_adapter(const std::string &port)
{
    std::string intf = usb(port + ":1.0");
    return {usb_device_node(port, "0403", "6001", "00"), interface(port + ":1.0", "ff", "ff", "ff", "ftdi_sio"),
            {intf + "/ttyUSB0", "usb-serial", {}, "ftdi_sio", "", ""},
            {intf + "/ttyUSB0/tty/ttyUSB0", "tty", {}, "", "", "188:0"}};
}

Devices usb_network_adapter(const std::string &port, const std::string &name)
{
    return {usb_device_node(port, "0b95", "1790", "ff"), interface(port + ":1.0", "ff", "ff", "00", "ax88179_178a"),
            {usb(port + ":1.0") + "/net/" + name, "net", {{"ifindex", "7"}, {"address", "00:0e:c6:00:00:01"}}, "", "",
             ""}};
}

Devices external_hub(const std::string &port)
{
    return {usb_device_node(port, "05e3", "0610", "09", "usb"), interface(port + ":1.0", "09", "00", "00", "hub")};
}

Devices sata_optical_drive()
{
    std::string lun = "pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0";
    return {{"pci0000:00/0000:00:1f.2", "pci", {{"vendor", "0x8086"}, {"device", "0xa352"}}, "ahci", "", ""},
            {lun, "scsi", {{"type", "5"}, {"state", "running"}, {"vendor", "HL-DT-ST"}}, "sr", "scsi_device", ""},
            {lun + "/block/sr0", "block", {{"removable", "1"}, {"ro", "0"}}, "", "disk", "11:0"},
            {lun + "/scsi_generic/sg1", "scsi_generic", {}, "", "", "21:1"}};
}

Devices builtin_keyboard()
{
    return {{"platform/i8042", "platform", {}, "i8042", "", ""},
            {"platform/i8042/serio0", "serio", {}, "atkbd", "", ""},
            input_device("platform/i8042/serio0/input/input1", "0011", "AT Translated Set 2 keyboard", true)};
}

Devices virtual_interface(const std::string &name)
{
    return {{"virtual/net/" + name, "net", {{"ifindex", "9"}}, "", "", ""}};
}

Devices this_machine()
{
    std::string nic = "pci0000:00/0000:00:03.0";
    std::string uart = "pnp0/00:00";
    return {{nic, "pci", {{"vendor", "0x1af4"}, {"device", "0x1041"}}, "virtio-pci", "", ""},
            {nic + "/virtio2", "virtio", {{"vendor", "0x554d4551"}, {"device", "0x0001"}}, "virtio_net", "", ""},
            {nic + "/virtio2/net/eth0", "net", {{"ifindex", "2"}}, "", "", ""},
            {uart, "pnp", {{"id", "PNP0501"}}, "serial", "", ""},
            {uart + "/00:00:0", "serial-base", {}, "ctrl", "", ""},
            {uart + "/00:00:0/00:00:0.0", "serial-base", {}, "port", "", ""},
            {uart + "/00:00:0/00:00:0.0/tty/ttyS0", "tty", {{"type", "4"}}, "", "", "4:64"},
            {"platform/serial8250", "platform", {}, "serial8250", "", ""},
            {"platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1", "tty", {{"type", "0"}}, "", "", "4:65"},
            {"virtual/tty/tty0", "tty", {}, "", "", "4:0"}};
}

} // namespace kestrune::test
