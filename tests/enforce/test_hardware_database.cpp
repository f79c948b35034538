// The device lookup's vendor names from udev's hardware database: one of our own,
// compiled by systemd-hwdb into this test's private /etc, over a fake tree.
#include <filesystem>

#include "enforce_harness.h"
#include "platform/linux/linux_sysfs_lookup.h"

using namespace kestrune::test;
namespace platform = kestrune::platform;

namespace {

class HardwareDatabase : public EnforcementTest {};

TEST_F(HardwareDatabase, NamesTheVendorBeforeTheDevicesOwnAttribute)
{
    write_file("/etc/udev/hwdb.d/60-kestrune-test.hwdb", "usb:v1D6Bp0002*\n ID_MODEL_FROM_DATABASE=2.0 root hub\n"
               " ID_VENDOR_FROM_DATABASE=Linux Foundation\n");
    std::string output;
    ASSERT_EQ(shell(KESTRUNE_UDEV_BIN "/systemd-hwdb update", &output), 0) << output;
    ASSERT_TRUE(std::filesystem::exists("/etc/udev/hwdb.bin"));
    Devices tree = hardware("host-controller webcam@1-3");
    tree[1].attributes["manufacturer"] = "Linux 6.1.0 xhci-hcd";
    tree[2].attributes["manufacturer"] = "Camera Maker";
    build_sysfs(tree);
    auto manufacturer = [lookup = platform::make_sysfs_device_lookup("/sys", true)](const std::u16string &id) {
        std::unique_ptr<platform::DeviceInfoSet> set;
        char16_t text[64] = u"none";
        if (lookup->open_matching(u"USB", id, platform::kDigcfPresent, set) == 0 && set->member(0))
            set->property(0, platform::DeviceProperty::kManufacturer, text, sizeof text);
        return std::u16string(text);
    };
    EXPECT_EQ(manufacturer(u"USB\\USB1"), u"Linux Foundation");
    EXPECT_EQ(manufacturer(u"USB\\1-3"), u"Camera Maker") << "not in the database";
}

} // namespace
