// Domain policy in the refresh: Policies/Domain.pol goes over the local section in
// the effective policy, while the policy object's own operations neither read nor
// write it.
#include <gtest/gtest.h>

#include <string>

#include "kestrune.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;

namespace {

const std::u16string kMouse = u"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
const std::u16string kKeyboard = u"{4D36E96B-E325-11CE-BFC1-08002BE10318}";
const std::u16string kCamera = u"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}";
const std::u16string kStorage = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\";
const std::u16string kCdrom = kStorage + u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::u16string kUdisk = kStorage + u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

class DomainPolicy : public PolicyStoreTest {
protected:
    std::string domain_pol() const { return root_ / "Policies/Domain.pol"; }

    void write_domain(const std::vector<PolRecord> &records)
    {
        std::vector<uint8_t> bytes = kestrune::platform::serialize_registry_pol(records);
        write_file(domain_pol(), std::string(bytes.begin(), bytes.end()));
    }

    int apply_result()
    {
        int ret = -1;
        logged([&] { ret = QVX_KESTRUNE_Apply(); });
        return ret;
    }
};

// The domain's deny list replaces the local one (both start with "**delvals."),
// its storage values join the local ones, and the get operations still answer from
// the local section. Saving leaves the domain file as it was.
TEST_F(DomainPolicy, GoesOverTheLocalSectionWithoutBeingSavedOrRead)
{
    seed(deny_list_records({kKeyboard}) + std::vector<PolRecord>{dword(kCdrom, u"Deny_Write", 1)});
    const std::vector<PolRecord> domain =
        deny_list_records({kMouse}) + std::vector<PolRecord>{dword(kUdisk, u"Deny_Read", 0), dword(kUdisk, u"Deny_Write", 1)};
    write_domain(domain);
    const std::string domainBytes = read_file(domain_pol());
    open();
    EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_CAMERA, QVX_KESTRUNE_NORMAL_PERM_DENY),
              QVX_KESTRUNE_RESULT_SUCCESS);

    EXPECT_EQ(apply(), deny_list_records({kKeyboard, kCamera}) + std::vector<PolRecord>{dword(kCdrom, u"Deny_Write", 1)});
    EXPECT_EQ(read_file(domain_pol()), domainBytes);
    EXPECT_EQ(effective(), (std::vector<PolRecord>{dword(kRestrictions, u"DenyDeviceClasses", 1),
                                                   dword(kRestrictions, u"DenyDeviceClassesRetroactive", 1),
                                                   sz(kDenyList, u"1", kMouse), dword(kCdrom, u"Deny_Write", 1),
                                                   dword(kUdisk, u"Deny_Read", 0), dword(kUdisk, u"Deny_Write", 1)}));
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE), QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD), QVX_KESTRUNE_NORMAL_PERM_DENY);
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK), QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
}

// A missing or empty domain file is no domain policy; one that does not parse
// fails the refresh and leaves the last effective policy in place.
TEST_F(DomainPolicy, MissingEmptyAndCorruptFiles)
{
    const std::vector<PolRecord> local = {dword(kCdrom, u"Deny_Write", 1)};
    seed(local);
    open();
    EXPECT_EQ(apply(), local);
    EXPECT_EQ(effective(), local);

    write_file(domain_pol(), "");
    EXPECT_EQ(apply_result(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(effective(), local);

    write_domain({dword(kUdisk, u"Deny_Read", 1)});
    EXPECT_EQ(apply_result(), QVX_KESTRUNE_RESULT_SUCCESS);
    const std::vector<PolRecord> layered = {dword(kCdrom, u"Deny_Write", 1), dword(kUdisk, u"Deny_Read", 1)};
    EXPECT_EQ(effective(), layered);

    for (const std::string &corrupt : {std::string("PReg\1\0\0\0[", 9), std::string("not a policy file")}) {
        write_file(domain_pol(), corrupt);
        int ret = -1;
        std::string lines = logged([&] { ret = QVX_KESTRUNE_Apply(); });
        EXPECT_EQ(ret, QVX_KESTRUNE_RESULT_FAILED);
        EXPECT_NE(lines.find("Failed apply configs!"), std::string::npos) << lines;
        EXPECT_EQ(effective(), layered);
    }
}

} // namespace
