// Storage and normal permits around the policy object's life: refused before
// Initialize, and a whole cycle that persists, takes effect and writes under
// KESTRUNE_ROOT only.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "kestrune.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;
namespace fs = std::filesystem;

namespace {

class PermitPersistence : public PolicyStoreTest {};

TEST_F(PermitPersistence, WithoutAPolicyObjectWritesAndDeniesFailWhileAllowsAndReadsDoNothing)
{
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM,
                                                                    QVX_KESTRUNE_STORAGE_PERM_DENY),
                             QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM)};
              }),
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =6\n");
    EXPECT_EQ(logged([&] { results.push_back(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT, 1)); }),
              kDenyWithoutPolicyObject);
    EXPECT_EQ(logged([&] {
                  results.push_back(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT, 2));
                  results.push_back(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT));
              }),
              "");
    EXPECT_EQ(results, (std::vector<int>{QVX_KESTRUNE_RESULT_FAILED, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN,
                                         QVX_KESTRUNE_RESULT_FAILED, 0, QVX_KESTRUNE_NORMAL_PERM_ALLOW}));
}

// Names and modification times of what lies under `dir`.
std::set<std::string> listing(const fs::path &dir, bool recursive)
{
    std::set<std::string> names;
    std::error_code ec;
    auto add = [&](const fs::directory_entry &entry) {
        names.insert(fs::relative(entry.path(), dir).string() + " " +
                     std::to_string(entry.last_write_time(ec).time_since_epoch().count()));
    };
    if (recursive)
        for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != decltype(it)(); it.increment(ec))
            add(*it);
    else
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != decltype(it)(); it.increment(ec))
            add(*it);
    return names;
}

// An administrator's own entry stays on the deny list; the library's permits
// survive a fresh policy object and are in effect after Apply, the deny list
// behind its switches. The default root and the working directory stay as they were.
TEST_F(PermitPersistence, PermitsPersistTakeEffectAndStayUnderTheRoot)
{
    const fs::path defaultRoot = "/var/lib/kestrune", cwd = fs::current_path();
    const auto defaultBefore = listing(defaultRoot, true), cwdBefore = listing(cwd, false);
    const std::u16string printer = u"{4D36E979-E325-11CE-BFC1-08002BE10318}";
    const std::u16string mouse = u"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
    const std::u16string storage = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\";
    const std::u16string cdrom = storage + u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    const std::u16string udisk = storage + u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    seed(deny_list_records({printer}));
    open();
    std::vector<int> results = {
        QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, QVX_KESTRUNE_NORMAL_PERM_DENY),
        QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY),
        QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK, QVX_KESTRUNE_STORAGE_PERM_DENY)};
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0}));
    const std::vector<PolRecord> storagePairs = {dword(cdrom, u"Deny_Read", 0), dword(cdrom, u"Deny_Write", 1),
                                                 dword(udisk, u"Deny_Read", 1), dword(udisk, u"Deny_Write", 1)};
    std::vector<PolRecord> saved = deny_list_records({printer, mouse});
    EXPECT_EQ(apply(), saved + storagePairs);
    saved.erase(saved.begin() + 2); // the engine consumes the marker
    EXPECT_EQ(effective(), saved + storagePairs);
    close();
    open();
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE), QVX_KESTRUNE_NORMAL_PERM_DENY);
    EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD), QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM), QVX_KESTRUNE_STORAGE_PERM_READ_ONLY);
    EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK), QVX_KESTRUNE_STORAGE_PERM_DENY);
    close();
    EXPECT_EQ(listing(defaultRoot, true), defaultBefore);
    EXPECT_EQ(listing(cwd, false), cwdBefore);
}

} // namespace
