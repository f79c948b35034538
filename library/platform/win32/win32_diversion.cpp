// Packet diversion through the WinDivert driver, and the two clocks of the
// shaper: timeGetTime for the meter, GetTickCount for the clock loop.
//
// The driver's address record travels with each packet in the record of the seam
// (backendRecord); only its Outbound bit is mirrored into `outbound`, the one
// field a caller may change. A packet is dropped by never sending it back.
//
// Once closed, a handle is not passed to the driver again: the value may already
// name another object. A receive pending in the driver when close comes fails
// there, with ERROR_OPERATION_ABORTED.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "platform/diversion.h"
#include "platform/win32/windivert_api.h"

namespace kestrune::platform {

static_assert(sizeof(WINDIVERT_ADDRESS) == sizeof(DivertAddress::backendRecord),
              "the seam's record holds the driver's");

namespace {

// Receive failures other than the two that mean "closed" are transient for the
// caller, which receives again.
uint32_t receive_error(DWORD error)
{
    return error == ERROR_INVALID_HANDLE || error == ERROR_OPERATION_ABORTED ? static_cast<uint32_t>(error)
                                                                            : kDivertErrorGenFailure;
}

class WinDivertHandle final : public Diversion {
public:
    explicit WinDivertHandle(HANDLE handle) : handle_(handle) {}
    ~WinDivertHandle() override { close(); }
    WinDivertHandle(const WinDivertHandle &) = delete;
    WinDivertHandle &operator=(const WinDivertHandle &) = delete;

    uint32_t set_param(DivertParam param, uint64_t value) noexcept override
    {
        WINDIVERT_PARAM native;
        switch (param) {
        case DivertParam::QueueLength:
            native = WINDIVERT_PARAM_QUEUE_LENGTH;
            value = std::clamp(value, kWinDivertQueueLengthMin, kWinDivertQueueLengthMax);
            break;
        case DivertParam::QueueTime:
            native = WINDIVERT_PARAM_QUEUE_TIME;
            value = std::clamp(value, kWinDivertQueueTimeMin, kWinDivertQueueTimeMax);
            break;
        default:
            return kDivertErrorInvalidParameter;
        }
        if (closed_.load())
            return kDivertErrorInvalidHandle;
        return WinDivertSetParam(handle_, native, value) ? kDivertSuccess : GetLastError();
    }

    // The driver copies the whole packet (send needs it), so captured is length.
    uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                  DivertAddress *address) noexcept override
    {
        if (closed_.load())
            return kDivertErrorInvalidHandle;
        WINDIVERT_ADDRESS record{};
        UINT received = 0;
        if (!WinDivertRecv(handle_, packet, capacity, &received, &record))
            return receive_error(GetLastError());
        *address = DivertAddress{};
        std::memcpy(address->backendRecord, &record, sizeof record);
        address->timestamp = static_cast<uint64_t>(record.Timestamp);
        address->interfaceIndex = record.Network.IfIdx;
        address->outbound = static_cast<uint8_t>(record.Outbound);
        address->backendDirection = address->outbound;
        *captured = received;
        *length = received;
        return kDivertSuccess;
    }

    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override
    {
        *sent = 0;
        if (closed_.load())
            return kDivertErrorInvalidHandle;
        WINDIVERT_ADDRESS record;
        std::memcpy(&record, address->backendRecord, sizeof record);
        record.Outbound = address->outbound != 0 ? 1u : 0u;
        UINT written = 0;
        if (!WinDivertSend(handle_, packet, length, &written, &record))
            return GetLastError();
        *sent = written;
        return kDivertSuccess;
    }

    uint32_t drop(const DivertAddress *) noexcept override { return kDivertSuccess; }

    void close() noexcept override
    {
        if (!closed_.exchange(true))
            WinDivertClose(handle_);
    }

    bool parse(uint8_t *packet, uint32_t length, DivertHeaders *headers) noexcept override
    {
        *headers = DivertHeaders{nullptr, nullptr, nullptr, nullptr, 0};
        WINDIVERT_IPHDR *ipv4 = nullptr;
        WINDIVERT_IPV6HDR *ipv6 = nullptr;
        WINDIVERT_ICMPHDR *icmp = nullptr;
        WINDIVERT_ICMPV6HDR *icmpv6 = nullptr;
        UINT8 protocol = 0;
        // The result is not needed: the header pointers say what was found.
        WinDivertHelperParsePacket(packet, length, &ipv4, &ipv6, &protocol, &icmp, &icmpv6, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr);
        headers->ipv4 = reinterpret_cast<uint8_t *>(ipv4);
        headers->ipv6 = reinterpret_cast<uint8_t *>(ipv6);
        headers->icmp = reinterpret_cast<uint8_t *>(icmp);
        headers->icmpv6 = reinterpret_cast<uint8_t *>(icmpv6);
        headers->protocol = protocol;
        return ipv4 != nullptr || ipv6 != nullptr;
    }

private:
    HANDLE handle_;
    std::atomic<bool> closed_{false};
};

class WinDivertBackend final : public DiversionBackend {
public:
    uint32_t open(const char *filter, DivertLayer layer, int16_t priority, uint64_t flags,
                  Diversion **diversion) noexcept override
    {
        HANDLE handle = WinDivertOpen(filter, static_cast<WINDIVERT_LAYER>(layer), priority, flags);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            return error != ERROR_SUCCESS ? error : kDivertErrorNotSupported;
        }
        auto *opened = new (std::nothrow) WinDivertHandle(handle);
        if (opened == nullptr) {
            WinDivertClose(handle);
            return kDivertErrorNotEnoughMemory;
        }
        *diversion = opened;
        return kDivertSuccess;
    }

    uint32_t meter_clock_ms() noexcept override { return timeGetTime(); }
    uint32_t tick_clock_ms() noexcept override { return GetTickCount(); }
};

} // namespace

DiversionBackend &system_diversion() noexcept
{
    static WinDivertBackend backend;
    return backend;
}

} // namespace kestrune::platform
