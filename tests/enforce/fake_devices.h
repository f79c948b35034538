// Common hardware in the kernel's sysfs layout, as lists of fake devices to
// concatenate into a tree: each function gives a device with everything below it.
#ifndef KESTRUNE_TESTS_ENFORCE_FAKE_DEVICES_H
#define KESTRUNE_TESTS_ENFORCE_FAKE_DEVICES_H

#include <string>
#include <vector>

#include "private_system.h"

namespace kestrune::test {

using Devices = std::vector<FakeDevice>;
Devices operator+(Devices a, const Devices &b);

// Path below /sys/devices of USB port "1-2" or "1-1.3" (below hub 1-1), or of
// interface "1-2:1.0", on the one host controller.
std::string usb(const std::string &port);

Devices host_controller();                                  // xHCI controller and root hub usb1
Devices usb_keyboard_mouse_receiver(const std::string &port); // input3 keyboard, input4 mouse
Devices usb_keyboard(const std::string &port, const std::string &input);
Devices webcam(const std::string &port);                    // video 1.0, 1.1; audio 1.2, 1.3
Devices bluetooth_radio(const std::string &port);           // hci0 on interfaces 1.0 and 1.1
Devices bluetooth_keyboard(const std::string &radioPort);   // connected through hci0
// With `partition`, the disk has one partition numbered next to it.
Devices usb_stick(const std::string &port, const std::string &disk, const std::string &dev, bool partition = true);
Devices usb_serial_adapter(const std::string &port);        // ttyUSB0
Devices usb_network_adapter(const std::string &port, const std::string &interface);
Devices external_hub(const std::string &port);
Devices sata_optical_drive();                               // sr0 with its SCSI generic node sg1
Devices builtin_keyboard();                                 // i8042, input1
Devices virtual_interface(const std::string &name);         // a veth: no device behind it
// This machine's own shape: a virtio network card "eth0" and a UART "ttyS0"
// behind the serial core's controller and port (the console), and a UART
// without hardware "ttyS1".
Devices this_machine();

} // namespace kestrune::test

#endif
