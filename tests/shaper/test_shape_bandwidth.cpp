// The bandwidth stage over lists of packets, on the in-memory diversion's clock.
#include <gtest/gtest.h>

#include <vector>

#include "memory_diversion.h"
#include "shaper/packet_list.h"
#include "shaper/shaping_stage.h"

using namespace kestrune::shaper;
using Lengths = std::vector<uint32_t>;

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
    Lengths offer(const Lengths &lengths)
    {
        for (uint32_t length : lengths) {
            uint8_t byte = 0x45;
            appendPacket(newPacket(&byte, 1, length, kestrune::platform::DivertAddress{}));
        }
        int16_t dropped = shapeBandwidth(&packetList.head, &packetList.tail);
        Lengths passed;
        while (!packetListEmpty()) {
            DivertedPacket *packet = packetList.head.next;
            passed.push_back(packet->length);
            unlinkPacket(packet);
            freePacket(packet);
        }
        EXPECT_EQ(dropped, passed.size() == lengths.size() ? 0 : 1);
        return passed;
    }

    kestrune::test::MemoryDiversion net{5000};
};

// Passes of packets at one limit, the meter's clock moved before each.
struct Pass {
    uint32_t advanceMs;
    Lengths offered, passed;
};
const struct {
    const char *what;
    uint32_t speedKBps;
    std::vector<Pass> passes;
} kCases[] = {
    {"the limit holds from the first packet to the exact byte, the first second included", 1,
     {{0, {400, 600, 1}, {400, 600}}, {999, {1}, {}}, {1, {1000, 1}, {1000}}}},
    {"a large packet is dropped while smaller ones pass", 1, {{0, {300, 800, 200, 500, 500}, {300, 200, 500}}}},
    // An empty window has no rate: one packet of up to the limit plus one byte
    // passes, and metering resumes with the packet after it.
    {"an empty window passes one packet up to the limit plus one", 1,
     {{0, {1002}, {}}, {0, {1001, 1}, {1001}}, {1000, {1001}, {1001}}}},
    {"speed 0 drops everything longer than one byte", 0, {{0, {40, 2, 1500, 65535}, {}}, {0, {1, 1}, {1}}}},
    {"an offloaded segment counts with its full length", 100, // 100000 bytes per second
     {{0, {131072}, {}}, {0, {65000, 36000, 35000}, {65000, 35000}}}},
};

TEST_F(ShapeBandwidth, PassesAtALimit)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        start(c.speedKBps); // a fresh meter
        for (const Pass &pass : c.passes) {
            net.advance_meter_clock(pass.advanceMs);
            EXPECT_EQ(offer(pass.offered), pass.passed);
        }
    }
}

TEST_F(ShapeBandwidth, HighestLimitPassesAGigabytePerSecond)
{
    start(1000000);
    size_t passed = 0;
    for (int i = 0; i < 15259; ++i) // 15259 * 65535 = 999998565 bytes
        passed += offer(Lengths{65535}).size();
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
