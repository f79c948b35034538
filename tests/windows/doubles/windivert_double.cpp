// Test double of WinDivert.dll: the six calls of the published interface over an
// in-memory queue that the test feeds, with a record of every packet sent back.
// One handle at a time, as the shaper uses it. A receive blocks until a packet is
// fed or the handle is closed; then it fails with ERROR_OPERATION_ABORTED, as the
// driver's pending read does. The parser is the library's own portable one, with
// the calls counted, so that a test sees the helper being used.
#define WINDIVERT_API __declspec(dllexport)

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/diversion.h"
#include "platform/win32/windivert_api.h"
#include "windivert_double.h"

namespace {

struct Packet {
    std::vector<uint8_t> bytes;
    WINDIVERT_ADDRESS address;
};

struct Handle {
    bool open = true;
};

std::mutex mutex;
std::condition_variable fed;
Handle *current = nullptr; // the open handle, if any; closed ones are kept, never reused
std::deque<Packet> queue;
std::vector<Packet> sent;
kestrune::doubles::DivertCounts counts{};
DWORD openError = 0;
bool failInboundSends = false;

bool usable(HANDLE handle)
{
    return handle != nullptr && handle == current && current->open;
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

HANDLE WinDivertOpen(const char *filter, WINDIVERT_LAYER layer, INT16 priority, UINT64 flags)
{
    std::lock_guard lock(mutex);
    if (openError != 0) {
        SetLastError(openError);
        return INVALID_HANDLE_VALUE;
    }
    ++counts.opens;
    counts.layer = layer;
    counts.priority = priority;
    counts.flags = flags;
    std::strncpy(counts.filter, filter, sizeof counts.filter - 1);
    current = new Handle;
    return current;
}

BOOL WinDivertSetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64 value)
{
    std::lock_guard lock(mutex);
    if (!usable(handle))
        return fail(ERROR_INVALID_HANDLE);
    (param == WINDIVERT_PARAM_QUEUE_LENGTH ? counts.queueLength : counts.queueTime) = static_cast<UINT>(value);
    return TRUE;
}

BOOL WinDivertRecv(HANDLE handle, VOID *pPacket, UINT packetLen, UINT *pRecvLen, WINDIVERT_ADDRESS *pAddr)
{
    std::unique_lock lock(mutex);
    if (!usable(handle))
        return fail(ERROR_INVALID_HANDLE);
    ++counts.receives;
    ++counts.pendingReceives;
    auto owner = static_cast<Handle *>(handle);
    fed.wait(lock, [&] { return !owner->open || !queue.empty(); });
    --counts.pendingReceives;
    fed.notify_all();
    if (!owner->open)
        return fail(ERROR_OPERATION_ABORTED);
    Packet packet = std::move(queue.front());
    queue.pop_front();
    UINT length = std::min<UINT>(packetLen, static_cast<UINT>(packet.bytes.size()));
    std::memcpy(pPacket, packet.bytes.data(), length);
    *pRecvLen = length;
    *pAddr = packet.address;
    return TRUE;
}

BOOL WinDivertSend(HANDLE handle, const VOID *pPacket, UINT packetLen, UINT *pSendLen, const WINDIVERT_ADDRESS *pAddr)
{
    std::lock_guard lock(mutex);
    if (!usable(handle))
        return fail(ERROR_INVALID_HANDLE);
    if (failInboundSends && !pAddr->Outbound)
        return fail(ERROR_HOST_UNREACHABLE);
    auto bytes = static_cast<const uint8_t *>(pPacket);
    sent.push_back({std::vector<uint8_t>(bytes, bytes + packetLen), *pAddr});
    *pSendLen = packetLen;
    return TRUE;
}

BOOL WinDivertClose(HANDLE handle)
{
    std::lock_guard lock(mutex);
    if (!usable(handle))
        return fail(ERROR_INVALID_HANDLE);
    current->open = false;
    ++counts.closes;
    fed.notify_all();
    return TRUE;
}

BOOL WinDivertHelperParsePacket(const VOID *pPacket, UINT packetLen, WINDIVERT_IPHDR **ppIpHdr,
                                WINDIVERT_IPV6HDR **ppIpv6Hdr, UINT8 *pProtocol, WINDIVERT_ICMPHDR **ppIcmpHdr,
                                WINDIVERT_ICMPV6HDR **ppIcmpv6Hdr, WINDIVERT_TCPHDR **, WINDIVERT_UDPHDR **, PVOID *,
                                UINT *, PVOID *, UINT *)
{
    {
        std::lock_guard lock(mutex);
        ++counts.parses;
    }
    kestrune::platform::DivertHeaders headers{};
    // The helper takes the packet as const and hands out writable header pointers.
    bool parsed = kestrune::platform::divert_parse_packet(static_cast<uint8_t *>(const_cast<VOID *>(pPacket)),
                                                          packetLen, &headers);
    if (ppIpHdr != nullptr)
        *ppIpHdr = reinterpret_cast<WINDIVERT_IPHDR *>(headers.ipv4);
    if (ppIpv6Hdr != nullptr)
        *ppIpv6Hdr = reinterpret_cast<WINDIVERT_IPV6HDR *>(headers.ipv6);
    if (pProtocol != nullptr)
        *pProtocol = headers.protocol;
    if (ppIcmpHdr != nullptr)
        *ppIcmpHdr = reinterpret_cast<WINDIVERT_ICMPHDR *>(headers.icmp);
    if (ppIcmpv6Hdr != nullptr)
        *ppIcmpv6Hdr = reinterpret_cast<WINDIVERT_ICMPV6HDR *>(headers.icmpv6);
    return parsed ? TRUE : FALSE;
}

void KestruneDivertDoubleReset(DWORD error, BOOL failInbound)
{
    std::lock_guard lock(mutex);
    queue.clear();
    sent.clear();
    counts = {};
    openError = error;
    failInboundSends = failInbound != FALSE;
}

void KestruneDivertDoubleFeed(const void *packet, UINT length, const WINDIVERT_ADDRESS *address)
{
    std::lock_guard lock(mutex);
    auto bytes = static_cast<const uint8_t *>(packet);
    queue.push_back({std::vector<uint8_t>(bytes, bytes + length), *address});
    fed.notify_all();
}

void KestruneDivertDoubleCounts(kestrune::doubles::DivertCounts *out)
{
    std::lock_guard lock(mutex);
    *out = counts;
}

UINT KestruneDivertDoubleSent(UINT index, void *packet, UINT capacity, WINDIVERT_ADDRESS *address)
{
    std::lock_guard lock(mutex);
    if (index >= sent.size())
        return 0;
    const Packet &record = sent[index];
    UINT length = std::min<UINT>(capacity, static_cast<UINT>(record.bytes.size()));
    std::memcpy(packet, record.bytes.data(), length);
    *address = record.address;
    return length;
}
