// The permit exports over a scratch policy store: the pair of values each storage
// permission writes and how stored pairs read back; each normal category's class
// on the deny list; the network permission with the shaper it starts and stops
// (over the in-memory diversion). And the lines of refused calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "kestrune.h"
#include "policy/policy_store_fixture.h"
#include "shaper/memory_diversion.h"

using namespace kestrune::test;

namespace {

constexpr int kLimit = QVX_KESTRUNE_NET_PERM_LIMIT, kNoLimit = QVX_KESTRUNE_NET_PERM_NO_LIMIT,
              kDeny = QVX_KESTRUNE_NET_PERM_DENY, kAllow = QVX_KESTRUNE_NET_PERM_ALLOW;

int set(int permission, uint32_t speed, int device = QVX_KESTRUNE_NET_DEVID_ETH_CARD)
{
    return QVX_KESTRUNE_set_net_device_permit(device, permission, speed);
}

int get(int *speed, int device = QVX_KESTRUNE_NET_DEVID_ETH_CARD)
{
    return QVX_KESTRUNE_get_net_device_permit(device, speed);
}

class PermitTest : public PolicyStoreTest {
protected:
    void TearDown() override { logged([] { set(kNoLimit, 0); }); }
    bool shaping() { return net.state().open; }

    MemoryDiversion net;
};

const std::u16string kStorage = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\";
const std::u16string kCdrom = kStorage + u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::u16string kUdisk = kStorage + u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

std::vector<PolRecord> pair(const std::u16string &key, uint32_t read, uint32_t write)
{
    return {dword(key, u"Deny_Read", read), dword(key, u"Deny_Write", write)};
}

TEST_F(PermitTest, EveryStoragePermissionWritesItsPairAndReadsBackAsItsClass)
{
    const struct {
        int permission;
        uint32_t read, write;
        int readsBackAs;
    } cases[] = {
        {QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_DENY, 1, 1, QVX_KESTRUNE_STORAGE_PERM_DENY},
        {QVX_KESTRUNE_STORAGE_PERM_ALLOW, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, 0, 0, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE},
        {QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, 0, 1, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY},
        {QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY, 0, 1, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY},
        {QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY, 1, 1, QVX_KESTRUNE_STORAGE_PERM_DENY},
    };
    open();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.permission);
        // The two devices take the permission in turn, the other one the next in the table.
        const auto &o = cases[(c.permission + 1) % 7];
        EXPECT_EQ(QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, c.permission), 0);
        EXPECT_EQ(QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK, o.permission), 0);
        EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM), c.readsBackAs);
        EXPECT_EQ(QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK), o.readsBackAs);
        EXPECT_EQ(apply(), pair(kCdrom, c.read, c.write) + pair(kUdisk, o.read, o.write));
    }
}

// A value reads as signed, -1 when absent; a failed read makes the permission
// unknown. Deny_Read without Deny_Write warns with the latter's value.
TEST_F(PermitTest, StoredStoragePairsReadBackByTheirSignedValues)
{
    auto read = [](uint32_t value) { return dword(kUdisk, u"Deny_Read", value); };
    auto write = [](uint32_t value) { return dword(kUdisk, u"Deny_Write", value); };
    const struct {
        std::vector<PolRecord> store;
        int permission;
        const char *warning; // the value the warning ends with, or none
    } cases[] = {
        {{}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, nullptr},
        {{read(1)}, QVX_KESTRUNE_STORAGE_PERM_DENY, "-1"},
        {{read(1), write(0)}, QVX_KESTRUNE_STORAGE_PERM_DENY, "0"},
        {{read(2), write(0xFFFFFFFF)}, QVX_KESTRUNE_STORAGE_PERM_DENY, "-1"},
        {{read(1), write(1)}, QVX_KESTRUNE_STORAGE_PERM_DENY, nullptr},
        {{read(0)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, nullptr},
        {{read(0), write(0x80000000)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, nullptr},
        {{write(1)}, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, nullptr},
        {{write(0)}, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE, nullptr},
        {{read(0x80000000), write(7)}, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY, nullptr},
        {{read(0xFFFFFFFF), write(0xFFFFFFFF)}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, nullptr},
        {{sz(kUdisk, u"Deny_Read", u"yes"), write(1)}, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN, nullptr}, // 8 bytes
    };
    const std::string warning =
        "E KestruneCtl QVX_KESTRUNE_get_storage_device_permit #: read deny is deny, write deny is not set! ";
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.store));
        seed(c.store);
        open();
        int permission = -1;
        std::string lines = logged([&] { permission = QVX_KESTRUNE_get_storage_device_permit(1); });
        EXPECT_EQ(permission, c.permission);
        size_t at = lines.find(warning); // the last line; the registry's lines before it are its own
        EXPECT_EQ(at == std::string::npos ? "" : lines.substr(at), c.warning ? warning + c.warning + "\r\n" : "");
        close();
    }
}

// Denying every normal category lists one class of its own for each that has one;
// every permission but DENY, in the table or not, takes exactly that class off.
TEST_F(PermitTest, EveryNormalCategoryIsDeniedAndAllowedOnItsOwn)
{
    const int withClass[] = {QVX_KESTRUNE_NORMAL_DEVID_SERIAL, QVX_KESTRUNE_NORMAL_DEVID_MOUSE,
                             QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_DEVID_CAMERA,
                             QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, QVX_KESTRUNE_NORMAL_DEVID_BT};
    auto permissions = [&] {
        std::vector<int> out;
        for (int device : withClass)
            out.push_back(QVX_KESTRUNE_get_normal_device_permit(device));
        return out;
    };
    open();
    EXPECT_EQ(permissions(), std::vector<int>(6, QVX_KESTRUNE_NORMAL_PERM_ALLOW)) << "no list: all allowed";
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  for (int device : withClass)
                      results.push_back(QVX_KESTRUNE_set_normal_device_permit(device, QVX_KESTRUNE_NORMAL_PERM_DENY));
              }),
              kMissingSwitches) << "only the first deny finds no switches";
    EXPECT_EQ(results, std::vector<int>(6, 0));
    EXPECT_EQ(permissions(), std::vector<int>(6, QVX_KESTRUNE_NORMAL_PERM_DENY));
    std::vector<PolRecord> saved = apply();
    ASSERT_EQ(saved.size(), 9u);
    std::vector<std::u16string> listed(6);
    for (size_t i = 0; i < 6; ++i) // each a REG_SZ: UTF-16 little-endian with its terminator
        for (size_t b = 0; b + 3 < saved[i + 3].data.size(); b += 2)
            listed[i] += static_cast<char16_t>(saved[i + 3].data[b] | saved[i + 3].data[b + 1] << 8);
    EXPECT_EQ(std::set<std::u16string>(listed.begin(), listed.end()).size(), 6u) << "a class of its own each";
    EXPECT_EQ(listed[1], u"{4D36E96F-E325-11CE-BFC1-08002BE10318}") << "the mouse class, upper case";
    EXPECT_EQ(saved, deny_list_records(listed));

    const int allowing[] = {QVX_KESTRUNE_NORMAL_PERM_ALLOW, QVX_KESTRUNE_NORMAL_PERM_UNKNOWN, 7, -1, 2, 0};
    std::vector<int> expected = permissions();
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(withClass[i]);
        EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(withClass[i], allowing[i]), 0);
        expected[i] = QVX_KESTRUNE_NORMAL_PERM_ALLOW;
        EXPECT_EQ(permissions(), expected);
        EXPECT_EQ(apply(), deny_list_records({listed.begin() + static_cast<std::ptrdiff_t>(i + 1), listed.end()}));
    }
}

// The device is checked first (the speed first for LIMIT); GPIO and dongles have
// no class, and the deny list refuses their empty text (the lines: golden/). Without a policy object
// no storage permission can be written or read (the registry's lines are its own).
TEST_F(PermitTest, RefusedArgumentsAreLoggedAndTouchNothing)
{
    std::vector<int> results;
    logged([&] {
        results = {QVX_KESTRUNE_set_storage_device_permit(0, 1), QVX_KESTRUNE_get_storage_device_permit(0)};
    });
    EXPECT_EQ(results, (std::vector<int>{QVX_KESTRUNE_RESULT_FAILED, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN}));
    open();
    int speed = -7;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_storage_device_permit(2, 9), QVX_KESTRUNE_set_storage_device_permit(0, -1),
                             QVX_KESTRUNE_set_storage_device_permit(1, 7), QVX_KESTRUNE_get_storage_device_permit(-1),
                             QVX_KESTRUNE_get_storage_device_permit(2),
                             QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO, 1),
                             QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_DONGLE, 2),
                             QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO),
                             QVX_KESTRUNE_set_normal_device_permit(8, 1), QVX_KESTRUNE_set_normal_device_permit(-1, 2),
                             QVX_KESTRUNE_get_normal_device_permit(8), QVX_KESTRUNE_get_normal_device_permit(-1),
                             set(kLimit, 1000001, 5), set(kLimit, 4294967295u), set(kLimit, 10, 1), get(&speed, -1)};
              }),
              read_file(std::filesystem::path(__FILE__).parent_path() / "golden/refused-arguments.txt"));
    EXPECT_EQ(results, (std::vector<int>{3, 3, 3, 0, 0, 3, 3, 0, 3, 3, 0, 0, 3, 3, 3, QVX_KESTRUNE_NET_PERM_UNKNOWN}));
    EXPECT_EQ(speed, -7);
    EXPECT_EQ(net.state().opens, 0);
    EXPECT_TRUE(apply().empty());
}

// The start speed is process-wide, 1000000 before any LIMIT request: it is read
// in a process of its own (the threadsafe style starts the test anew), so that
// the order of the tests does not matter.
TEST_F(PermitTest, SpeedReadsOneMillionBeforeAnyLimit)
{
    open();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int fresh = -5;
            std::exit(get(&fresh) == kAllow && fresh == 1000000 && get(nullptr) == kAllow ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// DENY lists the Net class; LIMIT and every other value take it off. Only LIMIT
// runs the shaper (the others carry any speed), and the speed read back is that
// of the last LIMIT request.
TEST_F(PermitTest, LimitStartsTheShaperAndEveryOtherPermissionStopsIt)
{
    const auto listed = deny_list_records({u"{4D36E972-E325-11CE-BFC1-08002BE10318}"}), unlisted = deny_list_records({});
    open();
    for (int permission : {kDeny, kNoLimit, kAllow, int{QVX_KESTRUNE_NET_PERM_UNKNOWN}, 77, -3}) {
        SCOPED_TRACE(permission);
        ASSERT_EQ(set(kLimit, 500), 0);
        EXPECT_TRUE(shaping());
        int speed = 0, released = net.state().released;
        EXPECT_EQ(get(&speed), kAllow);
        EXPECT_EQ(speed, 500);

        ASSERT_EQ(set(permission, 1000001), 0) << "the speed is checked only for LIMIT";
        EXPECT_FALSE(shaping());
        EXPECT_EQ(net.state().released, released + 1) << "the call returns after the shaper's threads ended";
        EXPECT_EQ(get(&speed), permission == kDeny ? kDeny : kAllow);
        EXPECT_EQ(speed, 500);
        EXPECT_EQ(apply(), permission == kDeny ? listed : unlisted);
    }
}

// A LIMIT the shaper refuses (it runs already, or cannot open the diversion) is
// reported, yet its speed is the one read back, and the class stays off the list.
TEST_F(PermitTest, AFailedStartIsReportedAndRecordsTheSpeed)
{
    open();
    ASSERT_EQ(set(kDeny, 0), 0);
    net.with([](MemoryDiversion::State &state) { state.failOpen = 5; });
    int result = 0, speed = 0;
    logged([&] { result = set(kLimit, 300); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(get(&speed), kAllow);
    EXPECT_EQ(speed, 300);
    EXPECT_FALSE(shaping());

    ASSERT_EQ(set(kLimit, 1000000), 0);
    EXPECT_EQ(logged([&] { result = set(kLimit, 200); }),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: "
              "failed enable limit net speed or set limit net speed to 200!\r\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(get(&speed), kAllow);
    EXPECT_EQ(speed, 200);
}

// The shaper needs no policy object: taking the class off a list that cannot be
// read writes nothing and succeeds, while putting it on fails before the shaper
// is touched.
TEST_F(PermitTest, WithoutPolicyObjectLimitWorksAndAFailedDenyLeavesTheShaperRunning)
{
    EXPECT_EQ(set(kLimit, 50), 0);
    EXPECT_TRUE(shaping());
    int result = 0;
    EXPECT_EQ(logged([&] { result = set(kDeny, 0); }), kDenyWithoutPolicyObject);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(shaping()) << "the shaper is not touched when the deny list fails";
    EXPECT_EQ(set(kNoLimit, 0), 0);
    EXPECT_FALSE(shaping());
}

} // namespace
