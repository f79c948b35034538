// Network permits: the deny-list value of each permission, the shaper they start
// and stop (over the in-memory diversion), the read-back with its speed, and the
// order and text of the checks.
#include <cstdlib>

#include <gtest/gtest.h>

#include "kestrune.h"
#include "policy/policy_store_fixture.h"
#include "shaper/memory_diversion.h"

using namespace kestrune::test;

namespace {

constexpr int kEth = QVX_KESTRUNE_NET_DEVID_ETH_CARD;
constexpr int kLimit = QVX_KESTRUNE_NET_PERM_LIMIT, kNoLimit = QVX_KESTRUNE_NET_PERM_NO_LIMIT,
              kDeny = QVX_KESTRUNE_NET_PERM_DENY, kAllow = QVX_KESTRUNE_NET_PERM_ALLOW;

int set(int permission, uint32_t speed, int device = kEth)
{
    return QVX_KESTRUNE_set_net_device_permit(device, permission, speed);
}

int get(int *speed)
{
    return QVX_KESTRUNE_get_net_device_permit(kEth, speed);
}

class NetPermits : public PolicyStoreTest {
protected:
    void TearDown() override { logged([] { set(kNoLimit, 0); }); }
    // A run of the shaper is open now.
    bool shaping() { return net.open_now(); }

    MemoryDiversion net;
};

// The start speed is process-wide, 1000000 before any LIMIT request: the reading
// happens in a process of its own (the threadsafe style starts the test anew), so
// that the order of the tests does not matter.
TEST_F(NetPermits, SpeedReadsOneMillionBeforeAnyLimitAndIsCheckedBeforeTheDeviceOnlyForLimit)
{
    open();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int fresh = -5;
            const bool ok = get(&fresh) == kAllow && fresh == 1000000 && get(nullptr) == kAllow;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");

    int speed = -7;
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {set(kLimit, 1000001, 5), set(kLimit, 4294967295u), set(kLimit, 10, 1),
                             QVX_KESTRUNE_get_net_device_permit(-1, &speed)};
              }),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error speed 1000001, [min 0, max 1000000]KB/s!\r\n"
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error speed -1, [min 0, max 1000000]KB/s!\r\n"
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error device_id=1!\n"
              "E KestruneCtl QVX_KESTRUNE_get_net_device_permit #: Error device_id=-1!\n");
    EXPECT_EQ(results, (std::vector<int>{3, 3, 3, QVX_KESTRUNE_NET_PERM_UNKNOWN}));
    EXPECT_EQ(speed, -7);
    EXPECT_EQ(net.opens(), 0);

    EXPECT_EQ(set(kAllow, 1000001), 0) << "ignored";
    EXPECT_EQ(set(kLimit, 1000000), 0);
    EXPECT_TRUE(shaping());
}

// DENY lists the Net class; LIMIT and every other value take it off. Only LIMIT
// runs the shaper, and the speed read back is that of the last LIMIT request.
TEST_F(NetPermits, LimitStartsTheShaperAndEveryOtherPermissionStopsIt)
{
    const auto listed = deny_list_records({u"{4D36E972-E325-11CE-BFC1-08002BE10318}"}), unlisted = deny_list_records({});
    open();
    for (int permission : {kDeny, kNoLimit, kAllow, int{QVX_KESTRUNE_NET_PERM_UNKNOWN}, 77, -3}) {
        SCOPED_TRACE(permission);
        ASSERT_EQ(set(kLimit, 500), 0);
        EXPECT_TRUE(shaping());
        int speed = 0, released = net.released();
        EXPECT_EQ(get(&speed), kAllow);
        EXPECT_EQ(speed, 500);

        ASSERT_EQ(set(permission, 9), 0);
        EXPECT_FALSE(shaping());
        EXPECT_EQ(net.released(), released + 1) << "the call returns after the shaper's threads ended";
        EXPECT_EQ(get(&speed), permission == kDeny ? kDeny : kAllow);
        EXPECT_EQ(speed, 500);
        EXPECT_EQ(apply(), permission == kDeny ? listed : unlisted);
    }
}

TEST_F(NetPermits, AFailedStartIsReportedAndRecordsTheSpeed)
{
    open();
    ASSERT_EQ(set(kDeny, 0), 0);
    net.fail_next_open(5);
    int result = 0, speed = 0;
    std::string lines = logged([&] { result = set(kLimit, 300); });
    EXPECT_EQ(result, 1);
    EXPECT_NE(lines.find("failed enable limit net speed or set limit net speed to 300!"), std::string::npos);
    EXPECT_EQ(get(&speed), kAllow) << "taken off the list although the shaper failed";
    EXPECT_EQ(speed, 300);
    EXPECT_FALSE(shaping());

    ASSERT_EQ(set(kLimit, 100), 0);
    EXPECT_EQ(logged([&] { result = set(kLimit, 200); }),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: "
              "failed enable limit net speed or set limit net speed to 200!\r\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(get(&speed), kAllow);
    EXPECT_EQ(speed, 200);
    EXPECT_EQ(net.opens(), 1) << "the running shaper kept its limit";
}

// The shaper needs no policy object: taking the class off a list that cannot be
// read writes nothing and succeeds, while putting it on fails before the shaper
// is touched.
TEST_F(NetPermits, WithoutPolicyObjectLimitWorksAndAFailedDenyLeavesTheShaperRunning)
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
