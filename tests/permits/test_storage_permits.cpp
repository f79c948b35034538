// Storage permits through the exports: the Deny_Read / Deny_Write pair each
// permission writes, how stored pairs read back, and the lines on the way.
#include <gtest/gtest.h>

#include <optional>

#include "core/kestrune.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;

namespace {

const std::u16string kStorage = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\";
const std::u16string kCdrom = kStorage + u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::u16string kUdisk = kStorage + u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

std::vector<PolRecord> pair(const std::u16string &key, uint32_t read, uint32_t write)
{
    return {dword(key, u"Deny_Read", read), dword(key, u"Deny_Write", write)};
}

std::vector<PolRecord> operator+(std::vector<PolRecord> a, const std::vector<PolRecord> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kMissingKeyTwice = "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =2\n"
                                     "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =2\n";

class StoragePermitTest : public PolicyStoreTest {};

TEST_F(StoragePermitTest, EveryPermissionWritesItsPairAndReadsBackAsItsClass)
{
    struct Case {
        int permission;
        uint32_t read, write;
        int readsBackAs;
    };
    const Case cases[] = {
        {QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_DENY, 1, 1, QVX_KESTRUNE_STORAGE_PERM_DENY},
        {QVX_KESTRUNE_STORAGE_PERM_ALLOW, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, 0, 1, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY},
        {QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY, 0, 1, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY},
        {QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY, 1, 1, QVX_KESTRUNE_STORAGE_PERM_DENY},
    };
    open();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.permission);
        // The two devices take the permission in turn, the other one the next in the table.
        int other = (c.permission + 1) % 7;
        std::vector<int> results;
        EXPECT_EQ(logged([&] {
                      results = {QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, c.permission),
                                 QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK, other),
                                 QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM),
                                 QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK)};
                  }),
                  "");
        const Case &o = cases[other];
        EXPECT_EQ(results, (std::vector<int>{0, 0, c.readsBackAs, o.readsBackAs}));
        EXPECT_EQ(apply(), pair(kCdrom, c.read, c.write) + pair(kUdisk, o.read, o.write));
    }
}

TEST_F(StoragePermitTest, WithoutAnyPolicyBothDevicesAreUnknownAndIndependent)
{
    open();
    int cdrom = -1, udisk = -1, set = -1;
    EXPECT_EQ(logged([&] { cdrom = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM); }),
              kMissingKeyTwice);
    EXPECT_EQ(logged([&] {
                  set = QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM,
                                                               QVX_KESTRUNE_STORAGE_PERM_DENY);
                  udisk = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK);
              }),
              kMissingKeyTwice);
    EXPECT_EQ(cdrom, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
    EXPECT_EQ(set, 0);
    EXPECT_EQ(udisk, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
    EXPECT_EQ(apply(), pair(kCdrom, 1, 1));
}

TEST_F(StoragePermitTest, StoredPairsReadBackByTheirSignedValues)
{
    using Value = std::optional<uint32_t>;
    const Value absent;
    const std::string noRead = "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Deny_Read not found\r\n";
    const std::string noWrite = "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Deny_Write not found\r\n";
    const std::string warning = "E KestruneCtl QVX_KESTRUNE_get_storage_device_permit #: read deny is deny, "
                                "write deny is not set! ";
    const struct {
        Value read, write;
        int permission;
        std::string lines;
    } cases[] = {
        {absent, absent, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, noRead + noWrite},
        {1u, absent, QVX_KESTRUNE_STORAGE_PERM_DENY, noWrite + warning + "-1\r\n"},
        {1u, 0u, QVX_KESTRUNE_STORAGE_PERM_DENY, warning + "0\r\n"},
        {2u, 0xFFFFFFFFu, QVX_KESTRUNE_STORAGE_PERM_DENY, warning + "-1\r\n"},
        {1u, 1u, QVX_KESTRUNE_STORAGE_PERM_DENY, ""},
        {0u, 1u, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, ""},
        {0u, 0u, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, ""},
        {0u, absent, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, noWrite},
        {0u, 0x80000000u, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, ""},
        {absent, 1u, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, noRead},
        {absent, 0u, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, noRead},
        {0x80000000u, 7u, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, ""},
        {0xFFFFFFFFu, 0xFFFFFFFFu, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "Deny_Read " << (c.read ? std::to_string(*c.read) : "absent")
                                        << ", Deny_Write " << (c.write ? std::to_string(*c.write) : "absent"));
        std::vector<PolRecord> store = {dword(kUdisk, u"Other", 9)}; // the key exists
        if (c.read)
            store.push_back(dword(kUdisk, u"Deny_Read", *c.read));
        if (c.write)
            store.push_back(dword(kUdisk, u"Deny_Write", *c.write));
        seed(store);
        open();
        int permission = -1;
        EXPECT_EQ(logged([&] { permission = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK); }),
                  c.lines);
        EXPECT_EQ(permission, c.permission);
        close();
    }
}

TEST_F(StoragePermitTest, AValueLongerThanFourBytesMakesThePermissionUnknown)
{
    seed({sz(kCdrom, u"Deny_Read", u"yes"), dword(kCdrom, u"Deny_Write", 1)}); // 8 bytes
    open();
    int permission = -1;
    EXPECT_EQ(logged([&] { permission = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM); }),
              "E KestruneCtl get_group_policy_key_value #: RegQueryValueEx ret =234\n");
    EXPECT_EQ(permission, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
}

TEST_F(StoragePermitTest, OutOfRangeArgumentsAreRefusedDeviceFirst)
{
    open();
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_storage_device_permit(2, 9), QVX_KESTRUNE_set_storage_device_permit(0, -1),
                             QVX_KESTRUNE_set_storage_device_permit(1, 7), QVX_KESTRUNE_get_storage_device_permit(-1),
                             QVX_KESTRUNE_get_storage_device_permit(2)};
              }),
              "E KestruneCtl QVX_KESTRUNE_set_storage_device_permit #: Error device_id=2!\n"
              "E KestruneCtl QVX_KESTRUNE_set_storage_device_permit #: Error perm=-1!\n"
              "E KestruneCtl QVX_KESTRUNE_set_storage_device_permit #: Error perm=7!\n"
              "E KestruneCtl QVX_KESTRUNE_get_storage_device_permit #: Error device_id=-1!\n"
              "E KestruneCtl QVX_KESTRUNE_get_storage_device_permit #: Error device_id=2!\n");
    EXPECT_EQ(results, (std::vector<int>{3, 3, 3, 0, 0}));
    EXPECT_TRUE(apply().empty());
}

TEST(StoragePermitReleased, WithoutAPolicyObjectSetFailsAndGetIsUnknown)
{
    ScratchRoot root;
    int set = -1, get = -1;
    EXPECT_EQ(logged([&] {
                  set = QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM,
                                                               QVX_KESTRUNE_STORAGE_PERM_DENY);
                  get = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM);
              }),
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =6\n");
    EXPECT_EQ(set, QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(get, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);
}

TEST_F(StoragePermitTest, PermissionsSurviveAFreshPolicyObjectAndTakeEffect)
{
    open();
    ASSERT_EQ(QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM,
                                                     QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY), 0);
    ASSERT_EQ(QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK, QVX_KESTRUNE_STORAGE_PERM_DENY), 0);
    apply();
    EXPECT_EQ(effective(), pair(kCdrom, 0, 1) + pair(kUdisk, 1, 1));
    close();
    open();
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM), QVX_KESTRUNE_STORAGE_PERM_READ_ONLY);
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK), QVX_KESTRUNE_STORAGE_PERM_DENY);
}

} // namespace
