// The shaper over the Windows diversion backend and the WinDivert.dll double:
// what it asks of the driver, which packets it puts back (with their address
// records) and which it drops, the ICMP retry, and close ending a pending
// receive. The decisions are chosen to hold at any pace: a packet longer than the
// limit plus one byte never passes, a short one never meets a full budget.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "shaper/shaper.h"
#include "support/stdout_capture.h"
#include "windivert_double.h"

using kestrune::doubles::DivertDouble;
using kestrune::doubles::SentPacket;

namespace {

template <typename Condition>
bool eventually(Condition done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

WINDIVERT_ADDRESS address(bool outbound, uint32_t interfaceIndex)
{
    WINDIVERT_ADDRESS record{};
    record.Timestamp = 0x0123456789ABLL;
    record.Outbound = outbound ? 1u : 0u;
    record.IPChecksum = 1;
    record.Network.IfIdx = interfaceIndex;
    record.Network.SubIfIdx = 3;
    return record;
}

std::vector<uint8_t> ipv4(size_t length, uint8_t protocol)
{
    std::vector<uint8_t> packet(length);
    packet[0] = 0x45;
    packet[2] = static_cast<uint8_t>(length >> 8);
    packet[3] = static_cast<uint8_t>(length);
    packet[8] = 64;
    packet[9] = protocol;
    const uint8_t addresses[] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::copy(std::begin(addresses), std::end(addresses), packet.begin() + 12);
    return packet;
}

std::vector<uint8_t> icmpv6_reply()
{
    std::vector<uint8_t> packet(48);
    packet[0] = 0x60;
    packet[5] = 8;
    packet[6] = 58;
    packet[7] = 64;
    packet[8 + 15] = 1;  // source ::1
    packet[24] = 0xfe;   // destination fe80::2
    packet[24 + 1] = 0x80;
    packet[24 + 15] = 2;
    packet[40] = 129; // echo reply
    return packet;
}

bool same(const WINDIVERT_ADDRESS &a, const WINDIVERT_ADDRESS &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class ShaperOverDriver : public ::testing::Test {
protected:
    void SetUp() override { divert_.reset(); }
    void TearDown() override { kestrune::shaper::stopShaper(); }

    void start(uint32_t speed)
    {
        ASSERT_EQ(kestrune::shaper::startShaper(speed), 0);
        ASSERT_TRUE(eventually([&] { return divert_.counts().pendingReceives == 1; }));
    }

    // Feeds a packet and waits until the receive loop is back for the next one,
    // so that the packet has its verdict.
    void pass_through(const std::vector<uint8_t> &packet, const WINDIVERT_ADDRESS &record)
    {
        UINT before = divert_.counts().receives;
        divert_.feed(packet, record);
        ASSERT_TRUE(eventually([&] {
            auto counts = divert_.counts();
            return counts.receives == before + 1 && counts.pendingReceives == 1;
        }));
    }

    DivertDouble divert_;
};

TEST_F(ShaperOverDriver, PutsBackWhatFitsTheBudgetWithItsAddressRecord)
{
    start(1); // 1000 bytes a second
    auto counts = divert_.counts();
    EXPECT_EQ(counts.opens, 1u);
    EXPECT_STREQ(counts.filter, "outbound or inbound");
    EXPECT_EQ(counts.layer, 0);
    EXPECT_EQ(counts.priority, 0);
    EXPECT_EQ(counts.flags, 0u);
    EXPECT_EQ(counts.queueLength, 2048u);
    EXPECT_EQ(counts.queueTime, 1024u);

    const std::vector<uint8_t> large = ipv4(1500, 17);
    const std::vector<uint8_t> small = ipv4(100, 6);
    const std::vector<uint8_t> justOver = ipv4(1002, 17);
    pass_through(large, address(false, 7));
    pass_through(small, address(true, 7));
    pass_through(justOver, address(false, 8));
    pass_through(small, address(false, 9));

    std::vector<SentPacket> sent = divert_.sent();
    ASSERT_EQ(sent.size(), 2u) << "the two packets over the limit are dropped";
    EXPECT_EQ(sent[0].bytes, small);
    EXPECT_TRUE(same(sent[0].address, address(true, 7)));
    EXPECT_EQ(sent[1].bytes, small);
    EXPECT_TRUE(same(sent[1].address, address(false, 9)));
}

TEST_F(ShaperOverDriver, AnInboundIcmpPacketThatCannotGoBackInIsSentOutTurnedAround)
{
    divert_.reset(0, true); // every inbound send fails
    start(1000000);
    std::vector<uint8_t> reply = ipv4(28, 1);
    reply[20] = 0; // echo reply
    pass_through(reply, address(false, 5));
    pass_through(ipv4(60, 6), address(false, 5));
    pass_through(icmpv6_reply(), address(false, 6));
    pass_through(ipv4(60, 6), address(true, 5));

    std::vector<SentPacket> sent = divert_.sent();
    ASSERT_EQ(sent.size(), 3u) << "the inbound TCP packet is given up";
    std::vector<uint8_t> turned = reply;
    std::swap_ranges(turned.begin() + 12, turned.begin() + 16, turned.begin() + 16);
    EXPECT_EQ(sent[0].bytes, turned);
    WINDIVERT_ADDRESS outbound = address(true, 5);
    EXPECT_TRUE(same(sent[0].address, outbound)) << "only the direction changes";
    std::vector<uint8_t> turned6 = icmpv6_reply();
    std::swap_ranges(turned6.begin() + 8, turned6.begin() + 24, turned6.begin() + 24);
    EXPECT_EQ(sent[1].bytes, turned6);
    EXPECT_TRUE(same(sent[1].address, address(true, 6)));
    EXPECT_EQ(sent[2].bytes, ipv4(60, 6));
    EXPECT_GE(divert_.counts().parses, 3u) << "the driver's parser finds the headers";
}

TEST_F(ShaperOverDriver, StopClosesTheHandleAndEndsThePendingReceive)
{
    start(5);
    EXPECT_EQ(kestrune::shaper::startShaper(7), -1) << "a running shaper keeps its run";
    EXPECT_EQ(divert_.counts().opens, 1u);
    kestrune::shaper::stopShaper();
    auto counts = divert_.counts();
    EXPECT_EQ(counts.closes, 1u);
    EXPECT_EQ(counts.pendingReceives, 0u);

    start(9);
    EXPECT_EQ(divert_.counts().opens, 2u) << "a new run opens anew";
    kestrune::shaper::stopShaper();
    EXPECT_EQ(divert_.counts().closes, 2u);
}

TEST_F(ShaperOverDriver, AnOpenTheDriverRefusesStartsNothing)
{
    struct Case {
        DWORD error;
        std::string line;
    };
    const Case cases[] = {
        {ERROR_INVALID_PARAMETER, "E KestruneCtl startShaper #: Failed to start filtering : filter syntax error.\r\n"},
        {ERROR_ACCESS_DENIED, "E KestruneCtl startShaper #: Failed to start filtering : failed to open device "
                              "(code:5).\nMake sure you run program as Administrator.\r\n"},
    };
    for (const Case &c : cases) {
        divert_.reset(c.error);
        kestrune::test::StdoutCapture out;
        EXPECT_EQ(kestrune::shaper::startShaper(3), -1);
        EXPECT_EQ(kestrune::test::without_line_numbers(out.text()), c.line);
    }
    divert_.reset();
    start(3);
}

} // namespace
