// The test's side of the WinDivert.dll double: what it records, and the calls
// that feed it packets and read back what the library sent. A test links the
// double's own import library for these.
#ifndef KESTRUNE_TESTS_WINDOWS_WINDIVERT_DOUBLE_H
#define KESTRUNE_TESTS_WINDOWS_WINDIVERT_DOUBLE_H

#include "platform/win32/windivert_api.h"

namespace kestrune::doubles {

struct DivertCounts {
    UINT opens;
    UINT closes;
    UINT receives;        // WinDivertRecv calls begun
    UINT pendingReceives; // of those, waiting for a packet now
    UINT parses;          // WinDivertHelperParsePacket calls
    UINT queueLength;     // last WINDIVERT_PARAM_QUEUE_LENGTH
    UINT queueTime;       // last WINDIVERT_PARAM_QUEUE_TIME
    int layer;            // of the last open
    int priority;
    UINT64 flags;
    char filter[64];
};

} // namespace kestrune::doubles

extern "C" {
// Forgets every packet and count; the next open fails with `openError` when it
// is not 0; sends of inbound packets fail while `failInboundSends`.
WINDIVERT_API void KestruneDivertDoubleReset(DWORD openError, BOOL failInboundSends);
WINDIVERT_API void KestruneDivertDoubleFeed(const void *packet, UINT length, const WINDIVERT_ADDRESS *address);
WINDIVERT_API void KestruneDivertDoubleCounts(kestrune::doubles::DivertCounts *counts);
// Copies the `index`th packet sent; its length, 0 past the last.
WINDIVERT_API UINT KestruneDivertDoubleSent(UINT index, void *packet, UINT capacity, WINDIVERT_ADDRESS *address);
}

#endif
