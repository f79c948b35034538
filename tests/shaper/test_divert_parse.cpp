// The header parse the shaper uses to find ICMP packets, on byte arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "memory_diversion.h"
#include "platform/diversion.h"

using kestrune::platform::divert_parse_packet;
using kestrune::platform::DivertHeaders;

namespace {

const uint8_t kA4[4] = {192, 0, 2, 1}, kB4[4] = {192, 0, 2, 2};
const uint8_t kA6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

bool parse(std::vector<uint8_t> &packet, DivertHeaders &headers, size_t length = SIZE_MAX)
{
    return divert_parse_packet(packet.data(), static_cast<uint32_t>(std::min(length, packet.size())), &headers);
}

TEST(DivertParse, Ipv4IcmpOnlyInAWholeFirstFragment)
{
    auto packet = kestrune::test::ipv4_icmp_echo(kA4, kB4);
    DivertHeaders headers{};
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.ipv4, packet.data());
    EXPECT_EQ(headers.icmp, packet.data() + 20);
    EXPECT_EQ(headers.ipv6, nullptr);
    ASSERT_TRUE(parse(packet, headers, 27)) << "IP header whole, ICMP header cut";
    EXPECT_EQ(headers.icmp, nullptr);
    packet[7] = 1; // fragment offset 8 bytes
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.icmp, nullptr);

    packet[7] = 0;
    packet[0] = 0x46; // one word of options moves the ICMP header
    packet.insert(packet.begin() + 20, 4, 0);
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.icmp, packet.data() + 24);
    packet[0] = 0x4F; // header length beyond the packet
    EXPECT_FALSE(parse(packet, headers));
    EXPECT_EQ(headers.ipv4, nullptr);
}

TEST(DivertParse, Icmpv6BehindExtensionHeadersWithinThePacket)
{
    auto packet = kestrune::test::ipv6_icmp_echo(kA6, kA6);
    DivertHeaders headers{};
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.ipv6, packet.data());
    EXPECT_EQ(headers.icmpv6, packet.data() + 40);
    EXPECT_EQ(headers.protocol, 58);
    EXPECT_FALSE(parse(packet, headers, 39)) << "shorter than an IPv6 header";

    // A hop-by-hop options header of 8 bytes in front of ICMPv6.
    const std::vector<uint8_t> hop = {58, 0, 1, 4, 0, 0, 0, 0};
    packet[6] = 0;
    packet.insert(packet.begin() + 40, hop.begin(), hop.end());
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.icmpv6, packet.data() + 48);
    packet[41] = 200; // the same header claiming more length than the packet has
    ASSERT_TRUE(parse(packet, headers));
    EXPECT_EQ(headers.icmpv6, nullptr);

    std::vector<uint8_t> notIp(60, 0);
    EXPECT_FALSE(parse(notIp, headers));
    EXPECT_FALSE(divert_parse_packet(nullptr, 0, &headers));
}

} // namespace
