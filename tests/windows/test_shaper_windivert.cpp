// The shaper over the Windows diversion backend and the WinDivert.dll double:
// what it asks of the driver, which packets it puts back (with their address
// records) and which it drops, the ICMP retry, and close ending a pending
// receive. The decisions hold at any pace: a packet longer than the limit plus
// one byte never passes, a short one never meets a full budget.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "shaper/shaper.h"
#include "support/stdout_capture.h"
#include "windivert_double.h"

namespace {

struct Packet {
    std::vector<uint8_t> bytes;
    WINDIVERT_ADDRESS address;
    bool operator==(const Packet &other) const
    {
        return bytes == other.bytes && std::memcmp(&address, &other.address, sizeof address) == 0;
    }
};

kestrune::doubles::DivertCounts counts()
{
    kestrune::doubles::DivertCounts out{};
    KestruneDivertDoubleCounts(&out);
    return out;
}

std::vector<Packet> sent()
{
    std::vector<Packet> packets;
    for (Packet packet{std::vector<uint8_t>(65535), {}};; packet.bytes.resize(65535)) {
        UINT length = KestruneDivertDoubleSent(static_cast<UINT>(packets.size()), packet.bytes.data(), 65535, &packet.address);
        if (length == 0)
            return packets;
        packet.bytes.resize(length);
        packets.push_back(packet);
    }
}

template <typename Condition>
bool eventually(Condition done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
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

class ShaperOverDriver : public ::testing::Test {
protected:
    void SetUp() override { KestruneDivertDoubleReset(0, FALSE); }
    void TearDown() override { kestrune::shaper::stopShaper(); }

    static void start(uint32_t speed)
    {
        ASSERT_EQ(kestrune::shaper::startShaper(speed), 0);
        ASSERT_TRUE(eventually([] { return counts().pendingReceives == 1; }));
    }

    // Feeds a packet and waits until the receive loop is back for the next one,
    // so that the packet has its verdict.
    static void pass_through(const std::vector<uint8_t> &packet, const WINDIVERT_ADDRESS &record)
    {
        UINT before = counts().receives;
        KestruneDivertDoubleFeed(packet.data(), static_cast<UINT>(packet.size()), &record);
        ASSERT_TRUE(eventually([&] { return counts().receives == before + 1 && counts().pendingReceives == 1; }));
    }
};

TEST_F(ShaperOverDriver, PutsBackWhatFitsTheBudgetWithItsAddressRecord)
{
    start(1); // 1000 bytes a second
    const auto asked = counts();
    EXPECT_EQ(std::make_tuple(std::string(asked.filter), asked.opens, asked.layer, asked.priority, asked.flags,
                              asked.queueLength, asked.queueTime),
              std::make_tuple(std::string("outbound or inbound"), 1u, 0, 0, UINT64{0}, 2048u, 1024u));

    const std::vector<uint8_t> small = ipv4(100, 6);
    pass_through(ipv4(1500, 17), address(false, 7));
    pass_through(small, address(true, 7));
    pass_through(ipv4(1002, 17), address(false, 8));
    pass_through(small, address(false, 9));
    EXPECT_EQ(sent(), (std::vector<Packet>{{small, address(true, 7)}, {small, address(false, 9)}}))
        << "the two packets over the limit are dropped";
}

// The turn-around itself is the portable shaper's (its own tests cover IPv6):
// here the record that goes with it, and the driver's parser finding the headers.
TEST_F(ShaperOverDriver, AnInboundIcmpPacketThatCannotGoBackInIsSentOutTurnedAround)
{
    KestruneDivertDoubleReset(0, TRUE); // every inbound send fails
    start(1000000);
    std::vector<uint8_t> reply = ipv4(28, 1); // an echo reply
    pass_through(reply, address(false, 5));
    pass_through(ipv4(60, 6), address(false, 5));
    pass_through(ipv4(60, 6), address(true, 5));

    std::swap_ranges(reply.begin() + 12, reply.begin() + 16, reply.begin() + 16);
    // Only the direction of the address record changes; the inbound TCP packet is given up.
    EXPECT_EQ(sent(), (std::vector<Packet>{{reply, address(true, 5)}, {ipv4(60, 6), address(true, 5)}}));
    EXPECT_GE(counts().parses, 2u);
}

TEST_F(ShaperOverDriver, StopClosesTheHandleAndEndsThePendingReceive)
{
    start(5);
    EXPECT_EQ(kestrune::shaper::startShaper(7), -1) << "a running shaper keeps its run";
    kestrune::shaper::stopShaper();
    EXPECT_EQ(counts().opens, 1u);
    EXPECT_EQ(counts().closes, 1u);
    EXPECT_EQ(counts().pendingReceives, 0u);

    start(9);
    EXPECT_EQ(counts().opens, 2u) << "a new run opens anew";
    kestrune::shaper::stopShaper();
    EXPECT_EQ(counts().closes, 2u);
}

TEST_F(ShaperOverDriver, AnOpenTheDriverRefusesStartsNothing)
{
    // The driver's error reaches the shaper, which words the two it knows (its own tests own the lines).
    const std::pair<DWORD, std::string> refusals[] = {{ERROR_INVALID_PARAMETER, "filter syntax error"},
                                                      {ERROR_ACCESS_DENIED, "failed to open device (code:5)"}};
    for (const auto &[error, words] : refusals) {
        KestruneDivertDoubleReset(error, FALSE);
        kestrune::test::StdoutCapture out;
        EXPECT_EQ(kestrune::shaper::startShaper(3), -1);
        EXPECT_NE(out.text().find(words), std::string::npos) << out.text();
    }
    EXPECT_EQ(counts().opens, 0u);
    KestruneDivertDoubleReset(0, FALSE);
    start(3);
}

} // namespace
