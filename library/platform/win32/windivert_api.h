// The part of the packet-diversion library's published interface (WinDivert,
// version 2) that the shaper uses: the six calls and the types they take. The
// library is bound when Kestrune.dll loads (windivert.def); a test double of
// WinDivert.dll implements the same declarations.
#ifndef KESTRUNE_PLATFORM_WIN32_WINDIVERT_API_H
#define KESTRUNE_PLATFORM_WIN32_WINDIVERT_API_H

#include <windows.h>

#include <cstdint>

#ifndef WINDIVERT_API
#define WINDIVERT_API __declspec(dllimport)
#endif

extern "C" {

enum WINDIVERT_LAYER { WINDIVERT_LAYER_NETWORK = 0 };
enum WINDIVERT_PARAM { WINDIVERT_PARAM_QUEUE_LENGTH = 0, WINDIVERT_PARAM_QUEUE_TIME = 1 };

// Ranges the driver accepts for the two queue parameters.
inline constexpr uint64_t kWinDivertQueueLengthMin = 32;
inline constexpr uint64_t kWinDivertQueueLengthMax = 16384;
inline constexpr uint64_t kWinDivertQueueTimeMin = 100;
inline constexpr uint64_t kWinDivertQueueTimeMax = 16000;

// The address record of a packet, 80 bytes. Only the network layer's fields are
// named; the union behind them is as large as the largest layer's data.
struct WINDIVERT_ADDRESS {
    int64_t Timestamp;
    uint32_t Layer : 8;
    uint32_t Event : 8;
    uint32_t Sniffed : 1;
    uint32_t Outbound : 1;
    uint32_t Loopback : 1;
    uint32_t Impostor : 1;
    uint32_t IPv6 : 1;
    uint32_t IPChecksum : 1;
    uint32_t TCPChecksum : 1;
    uint32_t UDPChecksum : 1;
    uint32_t Reserved1 : 8;
    uint32_t Reserved2;
    union {
        struct {
            uint32_t IfIdx;
            uint32_t SubIfIdx;
        } Network;
        uint8_t Reserved3[64];
    };
};
static_assert(sizeof(WINDIVERT_ADDRESS) == 80, "the driver's address record has 80 bytes");

// Header types of the parser; the shaper handles them as bytes.
struct WINDIVERT_IPHDR;
struct WINDIVERT_IPV6HDR;
struct WINDIVERT_ICMPHDR;
struct WINDIVERT_ICMPV6HDR;
struct WINDIVERT_TCPHDR;
struct WINDIVERT_UDPHDR;

WINDIVERT_API HANDLE WinDivertOpen(const char *filter, WINDIVERT_LAYER layer, INT16 priority, UINT64 flags);
WINDIVERT_API BOOL WinDivertRecv(HANDLE handle, VOID *pPacket, UINT packetLen, UINT *pRecvLen,
                                 WINDIVERT_ADDRESS *pAddr);
WINDIVERT_API BOOL WinDivertSend(HANDLE handle, const VOID *pPacket, UINT packetLen, UINT *pSendLen,
                                 const WINDIVERT_ADDRESS *pAddr);
WINDIVERT_API BOOL WinDivertClose(HANDLE handle);
WINDIVERT_API BOOL WinDivertSetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64 value);
// The form of version 2.2. Versions 2.0 and 2.1 lack the last two outputs; the
// x64 calling convention lets the caller pass them to those versions unread.
WINDIVERT_API BOOL WinDivertHelperParsePacket(const VOID *pPacket, UINT packetLen, WINDIVERT_IPHDR **ppIpHdr,
                                              WINDIVERT_IPV6HDR **ppIpv6Hdr, UINT8 *pProtocol,
                                              WINDIVERT_ICMPHDR **ppIcmpHdr, WINDIVERT_ICMPV6HDR **ppIcmpv6Hdr,
                                              WINDIVERT_TCPHDR **ppTcpHdr, WINDIVERT_UDPHDR **ppUdpHdr,
                                              PVOID *ppData, UINT *pDataLen, PVOID *ppNext, UINT *pNextLen);

} // extern "C"

#endif
