// Network permits: the deny-list value of each permission, the shaper they start
// and stop (over the in-memory diversion), the read-back with its speed, and the
// order and text of the checks.
#include <gtest/gtest.h>

#include <initializer_list>

#include "core/kestrune.h"
#include "policy/policy_store_fixture.h"
#include "shaper/memory_diversion.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

using kestrune::test::MemoryDiversion;
using kestrune::test::StdoutCapture;
using kestrune::test::without_line_numbers;

namespace {

constexpr int kEth = QVX_KESTRUNE_NET_DEVID_ETH_CARD;

class NetPermits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS); }
    void TearDown() override
    {
        QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
        QVX_KESTRUNE_Uninitialize();
    }

    int get(int *speed) { return QVX_KESTRUNE_get_net_device_permit(kEth, speed); }
    // A run of the shaper is open now.
    bool shaping() { return net.open_now(); }

    kestrune::test::ScratchRoot root;
    MemoryDiversion net;
};

// Runs first: the start speed is process-wide.
TEST_F(NetPermits, SpeedReadsOneMillionBeforeAnyLimitAndNullSpeedIsAllowed)
{
    int speed = -5;
    EXPECT_EQ(get(&speed), QVX_KESTRUNE_NET_PERM_ALLOW);
    EXPECT_EQ(speed, 1000000);
    EXPECT_EQ(get(nullptr), QVX_KESTRUNE_NET_PERM_ALLOW);
}

TEST_F(NetPermits, SpeedIsCheckedBeforeTheDeviceAndOnlyForLimit)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(5, QVX_KESTRUNE_NET_PERM_LIMIT, 1000001), 3);
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 4294967295u), 3);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error speed 1000001, [min 0, max 1000000]KB/s!\r\n"
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error speed -1, [min 0, max 1000000]KB/s!\r\n");
    EXPECT_EQ(net.opens(), 0);

    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_ALLOW, 1000001), 0) << "ignored";
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 1000000), 0);
    EXPECT_TRUE(shaping());
}

TEST_F(NetPermits, WrongDeviceIsRefusedAndLeavesSpeedOutAlone)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(1, QVX_KESTRUNE_NET_PERM_LIMIT, 10), 3);
    int speed = -7;
    EXPECT_EQ(QVX_KESTRUNE_get_net_device_permit(-1, &speed), QVX_KESTRUNE_NET_PERM_UNKNOWN);
    EXPECT_EQ(speed, -7);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: Error device_id=1!\n"
              "E KestruneCtl QVX_KESTRUNE_get_net_device_permit #: Error device_id=-1!\n");
    EXPECT_EQ(net.opens(), 0);
}

TEST_F(NetPermits, LimitReadsBackAsAllowWithItsSpeedAndDenyStopsTheShaper)
{
    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 500), 0);
    EXPECT_TRUE(shaping());
    int speed = 0;
    EXPECT_EQ(get(&speed), QVX_KESTRUNE_NET_PERM_ALLOW);
    EXPECT_EQ(speed, 500);

    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_DENY, 0), 0);
    EXPECT_FALSE(shaping());
    EXPECT_EQ(net.released(), 1) << "the call returns after the shaper's threads ended";
    EXPECT_EQ(get(&speed), QVX_KESTRUNE_NET_PERM_DENY);
    EXPECT_EQ(speed, 500) << "the speed of the last LIMIT request";
}

TEST_F(NetPermits, EveryOtherPermissionAllowsAndStopsTheShaper)
{
    for (int permission : std::initializer_list<int>{QVX_KESTRUNE_NET_PERM_NO_LIMIT, QVX_KESTRUNE_NET_PERM_ALLOW,
                           QVX_KESTRUNE_NET_PERM_UNKNOWN, 77, -3}) {
        ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_DENY, 0), 0);
        ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 100), 0);
        EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, permission, 9), 0) << permission;
        EXPECT_FALSE(shaping()) << permission;
        EXPECT_EQ(get(nullptr), QVX_KESTRUNE_NET_PERM_ALLOW) << permission;
    }
}

TEST_F(NetPermits, LimitWhileLimitedFailsButRecordsTheSpeed)
{
    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 100), 0);
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 200), 1);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_set_net_device_permit #: "
              "failed enable limit net speed or set limit net speed to 200!\r\n");
    int speed = 0;
    EXPECT_EQ(get(&speed), QVX_KESTRUNE_NET_PERM_ALLOW);
    EXPECT_EQ(speed, 200);
    EXPECT_EQ(net.opens(), 1) << "the running shaper kept its limit";

    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0), 0);
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 200), 0);
    EXPECT_EQ(net.opens(), 2);
}

TEST_F(NetPermits, FailedStartKeepsTheClassOffTheList)
{
    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_DENY, 0), 0);
    net.fail_next_open(5);
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 300), 1);
    EXPECT_NE(out.text().find("failed enable limit net speed or set limit net speed to 300!"), std::string::npos);
    int speed = 0;
    EXPECT_EQ(get(&speed), QVX_KESTRUNE_NET_PERM_ALLOW);
    EXPECT_EQ(speed, 300);
    EXPECT_FALSE(shaping());
}

class NetPermitsInPolicy : public kestrune::test::PolicyStoreTest {
protected:
    MemoryDiversion net;
};

TEST_F(NetPermitsInPolicy, DenyListsTheNetClassAndEveryOtherPermissionTakesItOff)
{
    const std::u16string netClass = u"{4D36E972-E325-11CE-BFC1-08002BE10318}";
    open();
    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_DENY, 0), 0);
    EXPECT_EQ(apply(), kestrune::test::deny_list_records({netClass}));
    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 10), 0);
    EXPECT_EQ(apply(), kestrune::test::deny_list_records({}));
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0), 0);
}

// The shaper needs no policy object: taking the class off a list that cannot be
// read writes nothing and succeeds, while putting it on fails before the shaper
// is touched.
TEST_F(NetPermitsInPolicy, WithoutPolicyObjectLimitWorksAndAFailedDenyLeavesTheShaperRunning)
{
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_LIMIT, 50), 0);
    EXPECT_TRUE(net.open_now());
    std::string lines = kestrune::test::logged(
        [] { EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_DENY, 0), 1); });
    EXPECT_EQ(lines, kestrune::test::kDenyWithoutPolicyObject);
    EXPECT_TRUE(net.open_now()) << "the shaper is not touched when the deny list fails";
    EXPECT_EQ(QVX_KESTRUNE_set_net_device_permit(kEth, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0), 0);
    EXPECT_FALSE(net.open_now());
}

} // namespace
