// Storage permits through the exports: the Deny_Read / Deny_Write pair each
// permission writes, how stored pairs read back, and the lines on the way.
#include <gtest/gtest.h>

#include "kestrune.h"
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

// A value reads as signed, -1 when absent; a failed read makes the permission unknown.
TEST_F(StoragePermitTest, StoredPairsReadBackByTheirSignedValues)
{
    auto read = [](uint32_t value) { return dword(kUdisk, u"Deny_Read", value); };
    auto write = [](uint32_t value) { return dword(kUdisk, u"Deny_Write", value); };
    const PolRecord other = dword(kUdisk, u"Other", 9); // the key exists, the pair need not
    const std::string noKey = "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =2\n";
    const std::string noRead = "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Deny_Read not found\r\n";
    const std::string noWrite = "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Deny_Write not found\r\n";
    const std::string warning = "E KestruneCtl QVX_KESTRUNE_get_storage_device_permit #: read deny is deny, "
                                "write deny is not set! ";
    const struct {
        std::vector<PolRecord> store;
        int permission;
        std::string lines;
    } cases[] = {
        {{}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, noKey + noKey},
        {{other}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, noRead + noWrite},
        {{read(1)}, QVX_KESTRUNE_STORAGE_PERM_DENY, noWrite + warning + "-1\r\n"},
        {{read(1), write(0)}, QVX_KESTRUNE_STORAGE_PERM_DENY, warning + "0\r\n"},
        {{read(2), write(0xFFFFFFFF)}, QVX_KESTRUNE_STORAGE_PERM_DENY, warning + "-1\r\n"},
        {{read(1), write(1)}, QVX_KESTRUNE_STORAGE_PERM_DENY, ""},
        {{read(0), write(1)}, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, ""},
        {{read(0), write(0)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, ""},
        {{read(0)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, noWrite},
        {{read(0), write(0x80000000)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, ""},
        {{write(1)}, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, noRead},
        {{write(0)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, noRead},
        {{read(0x80000000), write(7)}, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, ""},
        {{read(0xFFFFFFFF), write(0xFFFFFFFF)}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, ""},
        {{sz(kUdisk, u"Deny_Read", u"yes"), write(1)}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, // 8 bytes
         "E KestruneCtl get_group_policy_key_value #: RegQueryValueEx ret =234\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.store));
        seed(c.store);
        open();
        int permission = -1;
        EXPECT_EQ(logged([&] { permission = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK); }),
                  c.lines);
        EXPECT_EQ(permission, c.permission);
        close();
    }
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

} // namespace
