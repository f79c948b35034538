// The bandwidth stage over lists of packets, on the in-memory diversion's clock.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "memory_diversion.h"
#include "shaper/packet_list.h"
#include "shaper/shaping_stage.h"

using namespace kestrune::shaper;
using kestrune::test::MemoryDiversion;

namespace {

class ShapeBandwidth : public ::testing::Test {
protected:
    void start(uint32_t speedKBps)
    {
        linkPacketList();
        ASSERT_TRUE(shapingStage.startHook(speedKBps));
    }
    void TearDown() override { shapingStage.closeHook(&packetList.head, &packetList.tail); }

    // Offers packets of these lengths in one pass; returns the lengths that pass.
    std::vector<uint32_t> offer(std::initializer_list<uint32_t> lengths)
    {
        for (uint32_t length : lengths) {
            uint8_t byte = 0x45;
            appendPacket(newPacket(&byte, 1, length, kestrune::platform::DivertAddress{}));
        }
        int16_t dropped = shapeBandwidth(&packetList.head, &packetList.tail);
        std::vector<uint32_t> passed;
        while (!packetListEmpty()) {
            DivertedPacket *packet = packetList.head.next;
            passed.push_back(packet->length);
            unlinkPacket(packet);
            freePacket(packet);
        }
        EXPECT_EQ(dropped, passed.size() == lengths.size() ? 0 : 1);
        return passed;
    }

    MemoryDiversion net{5000};
};

using Lengths = std::vector<uint32_t>;

TEST_F(ShapeBandwidth, LimitHoldsFromTheFirstPacketToTheExactByte)
{
    start(1); // 1000 bytes per second
    EXPECT_EQ(offer({400, 600, 1}), (Lengths{400, 600}));
    net.advance_meter_clock(999);
    EXPECT_EQ(offer({1}), Lengths{}) << "the first packets are still inside the second";
    net.advance_meter_clock(1);
    EXPECT_EQ(offer({1000, 1}), Lengths{1000});
}

TEST_F(ShapeBandwidth, LargePacketIsDroppedWhileSmallerOnesPass)
{
    start(1);
    EXPECT_EQ(offer({300, 800, 200, 500, 500}), (Lengths{300, 200, 500}));
}

TEST_F(ShapeBandwidth, EmptyWindowPassesOnePacketUpToLimitPlusOne)
{
    start(1);
    EXPECT_EQ(offer({1002}), Lengths{});
    EXPECT_EQ(offer({1001, 1}), Lengths{1001}) << "metering resumes with the packet after it";
    net.advance_meter_clock(1000);
    EXPECT_EQ(offer({1001}), Lengths{1001}) << "1000 ms after the last packet the window is empty";
}

TEST_F(ShapeBandwidth, SpeedZeroDropsEverythingLongerThanOneByte)
{
    start(0);
    EXPECT_EQ(offer({40, 2, 1500, 65535}), Lengths{});
    EXPECT_EQ(offer({1, 1}), Lengths{1});
}

TEST_F(ShapeBandwidth, OffloadedSegmentCountsWithItsFullLength)
{
    start(100); // 100000 bytes per second
    EXPECT_EQ(offer({131072}), Lengths{});
    EXPECT_EQ(offer({65000, 36000, 35000}), (Lengths{65000, 35000}));
}

TEST_F(ShapeBandwidth, HighestLimitPassesAGigabytePerSecond)
{
    start(1000000);
    size_t passed = 0;
    for (int i = 0; i < 15259; ++i) // 15259 * 65535 = 999998565 bytes
        passed += offer({65535}).size();
    EXPECT_EQ(passed, 15259u);
    // 1435 bytes are left of 10^9; the meter's single-precision rate is exact to
    // within a few dozen bytes at this size.
    EXPECT_EQ(offer({2000, 1000}), Lengths{1000});
}

TEST_F(ShapeBandwidth, WithoutMeterEverythingPasses)
{
    start(1);
    shapingStage.closeHook(&packetList.head, &packetList.tail);
    EXPECT_EQ(offer({5000, 5000}), (Lengths{5000, 5000}));
}

} // namespace
