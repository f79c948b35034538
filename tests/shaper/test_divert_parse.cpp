// The header parse the shaper uses to find ICMP packets, on byte arrays.
#include <gtest/gtest.h>

#include <vector>

#include "memory_diversion.h"
#include "platform/diversion.h"

using kestrune::platform::divert_parse_packet;
using kestrune::platform::DivertHeaders;

namespace {

const uint8_t kA4[4] = {192, 0, 2, 1}, kB4[4] = {192, 0, 2, 2};
const uint8_t kA6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t kB6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

TEST(DivertParse, FindsIcmpBehindIpv4WithOptions)
{
    auto packet = kestrune::test::ipv4_icmp_echo(kA4, kB4);
    DivertHeaders headers{};
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.ipv4, packet.data());
    EXPECT_EQ(headers.icmp, packet.data() + 20);
    EXPECT_EQ(headers.ipv6, nullptr);
    EXPECT_EQ(headers.icmpv6, nullptr);

    packet[0] = 0x46; // one word of options moves the ICMP header
    packet.insert(packet.begin() + 20, 4, 0);
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.icmp, packet.data() + 24);
}

TEST(DivertParse, IcmpOnlyInTheFirstFragmentAndWhenWhole)
{
    auto packet = kestrune::test::ipv4_icmp_echo(kA4, kB4);
    DivertHeaders headers{};
    packet[7] = 1; // fragment offset 8 bytes
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.icmp, nullptr);
    packet[7] = 0;
    ASSERT_TRUE(divert_parse_packet(packet.data(), 27, &headers)) << "IP header whole, ICMP header cut";
    EXPECT_EQ(headers.icmp, nullptr);
    packet[0] = 0x4F; // header length beyond the packet
    EXPECT_FALSE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.ipv4, nullptr);
}

TEST(DivertParse, FindsIcmpv6BehindExtensionHeaders)
{
    auto packet = kestrune::test::ipv6_icmp_echo(kA6, kB6);
    DivertHeaders headers{};
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.ipv6, packet.data());
    EXPECT_EQ(headers.icmpv6, packet.data() + 40);
    EXPECT_EQ(headers.protocol, 58);

    // A hop-by-hop options header of 8 bytes in front of ICMPv6.
    std::vector<uint8_t> hop = {58, 0, 1, 4, 0, 0, 0, 0};
    packet[6] = 0;
    packet.insert(packet.begin() + 40, hop.begin(), hop.end());
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.icmpv6, packet.data() + 48);

    // The same header claiming more length than the packet has.
    packet[41] = 200;
    ASSERT_TRUE(divert_parse_packet(packet.data(), static_cast<uint32_t>(packet.size()), &headers));
    EXPECT_EQ(headers.icmpv6, nullptr);
}

TEST(DivertParse, RejectsWhatIsNotIp)
{
    std::vector<uint8_t> bytes(60, 0);
    DivertHeaders headers{};
    EXPECT_FALSE(divert_parse_packet(bytes.data(), 60, &headers));
    bytes[0] = 0x60;
    EXPECT_FALSE(divert_parse_packet(bytes.data(), 39, &headers)) << "shorter than an IPv6 header";
    EXPECT_FALSE(divert_parse_packet(nullptr, 0, &headers));
}

} // namespace
