// Header parse of a diverted packet: a pure function over its bytes, the same for
// every backend.
#include "platform/diversion.h"

namespace kestrune::platform {

namespace {

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoIcmpv6 = 58;
constexpr uint32_t kIcmpHeaderSize = 8;
constexpr uint32_t kIpv6HeaderSize = 40;

bool parse_ipv4(uint8_t *packet, uint32_t length, DivertHeaders *headers)
{
    if (length < 20)
        return false;
    uint32_t headerLength = (packet[0] & 0x0Fu) * 4u;
    if (headerLength < 20 || headerLength > length)
        return false;
    headers->ipv4 = packet;
    headers->protocol = packet[9];
    // Only the first fragment carries the transport header.
    bool firstFragment = ((packet[6] & 0x1Fu) | packet[7]) == 0;
    if (headers->protocol == kProtoIcmp && firstFragment && length - headerLength >= kIcmpHeaderSize)
        headers->icmp = packet + headerLength;
    return true;
}

bool parse_ipv6(uint8_t *packet, uint32_t length, DivertHeaders *headers)
{
    if (length < kIpv6HeaderSize)
        return false;
    headers->ipv6 = packet;
    uint8_t next = packet[6];
    uint32_t offset = kIpv6HeaderSize;
    // Walk the extension headers; each is bounded by the packet.
    for (int hops = 0; hops < 8; ++hops) {
        if (next == 0 || next == 43 || next == 60 || next == 51) {
            // Hop-by-hop, routing and destination options count their length in
            // 8-byte units beyond the first; the authentication header in 4-byte
            // units beyond the first two.
            if (length - offset < 8)
                break;
            uint32_t size = next == 51 ? (packet[offset + 1] + 2u) * 4u : (packet[offset + 1] + 1u) * 8u;
            if (size > length - offset)
                break;
            next = packet[offset];
            offset += size;
        } else if (next == 44) { // fragment: only the first fragment carries the transport header
            if (length - offset < 8)
                break;
            bool first = ((packet[offset + 2] << 8 | packet[offset + 3]) & 0xFFF8) == 0;
            next = packet[offset];
            offset += 8;
            if (!first) {
                headers->protocol = next;
                return true;
            }
        } else {
            headers->protocol = next;
            if (next == kProtoIcmpv6 && length - offset >= kIcmpHeaderSize)
                headers->icmpv6 = packet + offset;
            return true;
        }
    }
    return true;
}

} // namespace

bool divert_parse_packet(uint8_t *packet, uint32_t length, DivertHeaders *headers) noexcept
{
    *headers = DivertHeaders{nullptr, nullptr, nullptr, nullptr, 0};
    if (packet == nullptr || length == 0)
        return false;
    switch (packet[0] >> 4) {
    case 4:
        return parse_ipv4(packet, length, headers);
    case 6:
        return parse_ipv6(packet, length, headers);
    default:
        return false;
    }
}

} // namespace kestrune::platform
