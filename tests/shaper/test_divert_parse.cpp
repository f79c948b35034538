// The header parse the shaper uses to find ICMP packets, on byte arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "memory_diversion.h"
#include "platform/diversion.h"

using kestrune::platform::divert_parse_packet;
using kestrune::platform::DivertHeaders;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t kA4[4] = {192, 0, 2, 1}, kB4[4] = {192, 0, 2, 2};
const uint8_t kA6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

bool parse(Bytes &packet, DivertHeaders &headers, size_t length = SIZE_MAX)
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

    Bytes notIp(60, 0);
    EXPECT_FALSE(parse(notIp, headers));
    EXPECT_FALSE(divert_parse_packet(nullptr, 0, &headers));
}

// An ICMPv6 echo behind extension headers, each bounded by the packet: the IPv6
// header's next-header number, the headers in between, the bytes parsed (0: all),
// where the ICMPv6 header is found (0: nowhere) and the transport protocol found.
const struct {
    const char *what;
    uint8_t next;
    Bytes extensions;
    size_t length, icmpv6At;
    uint8_t protocol;
} kIpv6Cases[] = {
    {"right behind the IPv6 header", 58, {}, 0, 40, 58},
    {"an ICMPv6 header cut short", 58, {}, 47, 0, 58},
    {"hop-by-hop options count 8-byte units beyond the first", 0,
     {58, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 56, 58},
    {"the authentication header counts 4-byte units beyond the first two", 51,
     {58, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 52, 58},
    {"a first fragment carries the transport header", 44, {58, 0, 0, 1, 0, 0, 0, 0}, 0, 48, 58},
    {"a later fragment does not", 44, {58, 0, 0, 8, 0, 0, 0, 0}, 0, 0, 58},
    {"an extension header claiming more than the packet has", 0, {58, 200, 0, 0, 0, 0, 0, 0}, 0, 0, 0},
};

TEST(DivertParse, Icmpv6BehindExtensionHeadersWithinThePacket)
{
    for (const auto &c : kIpv6Cases) {
        SCOPED_TRACE(c.what);
        auto packet = kestrune::test::ipv6_icmp_echo(kA6, kA6);
        packet[6] = c.next;
        packet.insert(packet.begin() + 40, c.extensions.begin(), c.extensions.end());
        DivertHeaders headers{};
        ASSERT_TRUE(parse(packet, headers, c.length != 0 ? c.length : SIZE_MAX));
        EXPECT_EQ(headers.ipv6, packet.data());
        EXPECT_EQ(headers.icmpv6, c.icmpv6At != 0 ? packet.data() + c.icmpv6At : nullptr);
        EXPECT_EQ(headers.protocol, c.protocol);
        EXPECT_FALSE(parse(packet, headers, 39)) << "shorter than an IPv6 header";
    }
}

} // namespace
