#include "shaper/packet_list.h"

#include <cstring>
#include <new>

namespace kestrune::shaper {

PacketList packetList{};

void linkPacketList() noexcept
{
    if (packetList.head.next == nullptr && packetList.tail.previous == nullptr) {
        packetList.head.next = &packetList.tail;
        packetList.tail.previous = &packetList.head;
    }
}

bool packetListEmpty() noexcept
{
    return packetList.head.next == &packetList.tail;
}

void appendPacket(DivertedPacket *packet) noexcept
{
    DivertedPacket *last = packetList.tail.previous;
    packet->previous = last;
    packet->next = &packetList.tail;
    last->next = packet;
    packetList.tail.previous = packet;
}

void unlinkPacket(DivertedPacket *packet) noexcept
{
    packet->previous->next = packet->next;
    packet->next->previous = packet->previous;
    packet->previous = nullptr;
    packet->next = nullptr;
}

DivertedPacket *newPacket(const uint8_t *bytes, uint32_t captured, uint32_t length,
                          const platform::DivertAddress &address) noexcept
{
    auto *packet = new (std::nothrow) DivertedPacket{};
    if (packet == nullptr)
        return nullptr;
    packet->data = new (std::nothrow) uint8_t[captured];
    if (packet->data == nullptr) {
        delete packet;
        return nullptr;
    }
    if (captured != 0)
        std::memcpy(packet->data, bytes, captured);
    packet->length = length;
    packet->captured = captured;
    packet->address = address;
    return packet;
}

void freePacket(DivertedPacket *packet) noexcept
{
    delete[] packet->data;
    delete packet;
}

} // namespace kestrune::shaper
