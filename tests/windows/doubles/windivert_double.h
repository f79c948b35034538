// The test's side of the WinDivert.dll double: what it records and the calls
// that feed it packets and drain what the library sent back. A test reaches them
// in the loaded double by name (DivertDouble), as the library reaches the six
// calls of the published interface.
#ifndef KESTRUNE_TESTS_WINDOWS_WINDIVERT_DOUBLE_H
#define KESTRUNE_TESTS_WINDOWS_WINDIVERT_DOUBLE_H

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

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

struct SentPacket {
    std::vector<uint8_t> bytes;
    WINDIVERT_ADDRESS address;
};

extern "C" {
using DivertDoubleReset = void (*)(DWORD openError, BOOL failInboundSends);
using DivertDoubleFeed = void (*)(const void *packet, UINT length, const WINDIVERT_ADDRESS *address);
using DivertDoubleCountsOf = void (*)(DivertCounts *counts);
using DivertDoubleSent = UINT (*)(UINT index, void *packet, UINT capacity, WINDIVERT_ADDRESS *address);
}

// The double as loaded in this process.
class DivertDouble {
public:
    DivertDouble()
    {
        HMODULE module = GetModuleHandleW(L"WinDivert.dll");
        if (module == nullptr)
            throw std::runtime_error("WinDivert.dll is not loaded");
        reset_ = find<DivertDoubleReset>(module, "KestruneDivertDoubleReset");
        feed_ = find<DivertDoubleFeed>(module, "KestruneDivertDoubleFeed");
        counts_ = find<DivertDoubleCountsOf>(module, "KestruneDivertDoubleCounts");
        sent_ = find<DivertDoubleSent>(module, "KestruneDivertDoubleSent");
    }

    // Forgets every packet and count; the next open fails with `openError` when
    // it is not 0; sends of inbound packets fail while `failInboundSends`.
    void reset(DWORD openError = 0, bool failInboundSends = false) { reset_(openError, failInboundSends); }
    void feed(const std::vector<uint8_t> &packet, const WINDIVERT_ADDRESS &address)
    {
        feed_(packet.data(), static_cast<UINT>(packet.size()), &address);
    }
    DivertCounts counts()
    {
        DivertCounts counts{};
        counts_(&counts);
        return counts;
    }
    std::vector<SentPacket> sent()
    {
        std::vector<SentPacket> packets;
        for (UINT i = 0;; ++i) {
            SentPacket packet{std::vector<uint8_t>(65535), {}};
            UINT length = sent_(i, packet.bytes.data(), 65535, &packet.address);
            if (length == 0)
                return packets;
            packet.bytes.resize(length);
            packets.push_back(std::move(packet));
        }
    }

private:
    template <typename Function>
    static Function find(HMODULE module, const char *name)
    {
        auto address = GetProcAddress(module, name);
        if (address == nullptr)
            throw std::runtime_error(name);
        return reinterpret_cast<Function>(reinterpret_cast<void *>(address));
    }

    DivertDoubleReset reset_;
    DivertDoubleFeed feed_;
    DivertDoubleCountsOf counts_;
    DivertDoubleSent sent_;
};

} // namespace kestrune::doubles

#endif
