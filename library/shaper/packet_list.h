// The packets a loop has received and not yet put back or dropped: a doubly
// linked list between two fixed sentinels. Only the holder of the shaper's mutex
// touches it.
#ifndef KESTRUNE_SHAPER_PACKET_LIST_H
#define KESTRUNE_SHAPER_PACKET_LIST_H

#include <cstdint>

#include "platform/diversion.h"

namespace kestrune::shaper {

struct DivertedPacket {
    uint8_t *data;     // the received bytes, owned
    uint32_t length;   // the packet's full length: what the meter counts
    uint32_t captured; // bytes in `data`; less than `length` only for an offloaded
                       // segment larger than the receive buffer
    platform::DivertAddress address; // passed back unchanged when put back
    DivertedPacket *previous;
    DivertedPacket *next;
};

struct PacketList {
    DivertedPacket head;
    DivertedPacket tail;
};

extern PacketList packetList;

// Links the sentinels to each other the first time; later calls change nothing.
void linkPacketList() noexcept;
bool packetListEmpty() noexcept;
// Appends before the tail.
void appendPacket(DivertedPacket *packet) noexcept;
void unlinkPacket(DivertedPacket *packet) noexcept;

// A record holding a copy of `captured` bytes; null when out of memory.
DivertedPacket *newPacket(const uint8_t *bytes, uint32_t captured, uint32_t length,
                          const platform::DivertAddress &address) noexcept;
void freePacket(DivertedPacket *packet) noexcept;

} // namespace kestrune::shaper

#endif
