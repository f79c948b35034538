// Verdicts: putting the listed packets back into the network stack, and dropping.
#include <algorithm>

#include "platform/diversion.h"
#include "shaper/shaper_state.h"

namespace kestrune::shaper {

namespace {

// An inbound ICMP or ICMPv6 packet that cannot be re-injected goes back out with
// its addresses swapped, once; any other packet that fails is given up, and so
// is one of which the diversion copied only the headers: its bytes are no packet.
bool turnIcmpAround(platform::Diversion &diversion, DivertedPacket *packet)
{
    if (packet->captured < packet->length)
        return false;
    platform::DivertHeaders headers{};
    if (!diversion.parse(packet->data, packet->captured, &headers))
        return false;
    if ((headers.icmp == nullptr && headers.icmpv6 == nullptr) || packet->address.outbound)
        return false;
    packet->address.outbound = 1;
    if (headers.ipv4 != nullptr) {
        uint8_t *source = headers.ipv4 + platform::kIpv4SourceOffset;
        std::swap_ranges(source, source + platform::kIpv4AddressSize,
                         headers.ipv4 + platform::kIpv4DestinationOffset);
    } else {
        uint8_t *source = headers.ipv6 + platform::kIpv6SourceOffset;
        std::swap_ranges(source, source + platform::kIpv6AddressSize,
                         headers.ipv6 + platform::kIpv6DestinationOffset);
    }
    return true;
}

} // namespace

void flushPackets() noexcept
{
    platform::Diversion *diversion = shaperState.diversion;
    while (!packetListEmpty()) {
        DivertedPacket *packet = packetList.tail.previous;
        unlinkPacket(packet);
        uint32_t sent = 0;
        if (diversion->send(packet->data, packet->captured, &sent, &packet->address) != platform::kDivertSuccess) {
            if (turnIcmpAround(*diversion, packet)) {
                sent = 0;
                // The backend drops the held original when the direction changes.
                (void)diversion->send(packet->data, packet->captured, &sent, &packet->address);
            } else {
                (void)diversion->drop(&packet->address);
            }
        }
        freePacket(packet);
    }
}

void dropPacket(DivertedPacket *packet) noexcept
{
    if (shaperState.diversion != nullptr)
        (void)shaperState.diversion->drop(&packet->address);
    freePacket(packet);
}

} // namespace kestrune::shaper
