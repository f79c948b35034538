// Platform seam: packet diversion. Takes every IP packet of the network stack out
// to the process and lets it put each one back or drop it.
//
// Porting contract.
// - A `DiversionBackend` opens diversions and supplies the two millisecond clocks
//   the shaper reads. The build provides `system_diversion()` (NFQUEUE on Linux,
//   the diversion driver on Windows); `install_diversion_backend` replaces it for
//   every later open, so that tests run the same shaper over an in-memory one.
// - A `Diversion` is one open handle. The shaper calls `recv` on its receive thread
//   without any lock of its own, and `send`, `drop` and `close` on either of its
//   two threads while it holds its mutex, so `recv` runs concurrently with the
//   other three. `set_param` runs on the caller's thread before any other thread
//   uses the handle; the destructor runs when no thread uses it any more.
// - `close` shuts the diversion down: accepts held back (below) go out, every
//   packet still without a verdict is dropped, the machine's traffic flows
//   undiverted again, a receive pending on another thread fails with
//   kDivertErrorOperationAborted, and every later call fails with
//   kDivertErrorInvalidHandle. The object stays valid until deleted, so
//   a thread that races with close gets an error, never a dangling handle.
// - Every received packet needs exactly one verdict: `send` (put back) or `drop`.
//   A backend may drop a packet the caller holds longer than the queue time. It
//   may hold back the accepts of `send` to send several as one message, until
//   the receiving thread's next `recv` (Linux: which sends them once 64 wait, the
//   oldest waited 1 ms, or before it waits for the next packet) or `close`; a
//   `drop` takes effect at once, and no later accept lets a dropped packet through.
// - Results are the Win32 codes below, mapped once inside the backend. Nothing
//   here throws: every member is noexcept.
// - On Windows (win32/win32_diversion.cpp) the mechanism is the WinDivert
//   driver, version 2 interface, bound when the library loads; each operation
//   names its call. Once closed, a handle is not passed to the driver again.
#ifndef KESTRUNE_PLATFORM_DIVERSION_H
#define KESTRUNE_PLATFORM_DIVERSION_H

#include <cstdint>

namespace kestrune::platform {

inline constexpr uint32_t kDivertSuccess = 0;
inline constexpr uint32_t kDivertErrorFileNotFound = 2;     // a tool of the mechanism is missing
inline constexpr uint32_t kDivertErrorAccessDenied = 5;     // no administrator rights
inline constexpr uint32_t kDivertErrorInvalidHandle = 6;    // the handle was closed
inline constexpr uint32_t kDivertErrorNotEnoughMemory = 8;
inline constexpr uint32_t kDivertErrorGenFailure = 31;      // transient: the call may be repeated
inline constexpr uint32_t kDivertErrorNotSupported = 50;    // the machine offers no way to divert
inline constexpr uint32_t kDivertErrorInvalidParameter = 87; // filter syntax, layer, priority, flags
inline constexpr uint32_t kDivertErrorBusy = 170;           // another process diverts this network already
inline constexpr uint32_t kDivertErrorOperationAborted = 995; // close ended a pending receive

enum class DivertLayer : uint32_t { Network = 0 };
enum class DivertParam : uint32_t { QueueLength = 0, QueueTime = 1 };

// The record that travels with a packet from `recv` to `send` or `drop`. Callers
// read and change only `outbound`; the rest belongs to the backend.
struct DivertAddress {
    uint64_t timestamp;      // backend's receive time, for its queue-time check
    uint32_t interfaceIndex; // interface the packet came in on or goes out of
    uint8_t outbound;        // 1 for a packet leaving the machine, 0 for one arriving
    uint8_t backendDirection; // `outbound` as received: a change marks a new packet
    uint16_t reserved;
    uint64_t backendId;      // the backend's name for the packet awaiting its verdict
    uint64_t backendGeneration; // the open that received it
    // The mechanism's own record of the packet, carried unchanged from recv to
    // send: the 80-byte WINDIVERT_ADDRESS on Windows, unused on Linux.
    alignas(8) uint8_t backendRecord[80];
};

// Headers found in a packet; null where the packet has none. Pointers point into
// the parsed bytes, which the caller may change through them.
struct DivertHeaders {
    uint8_t *ipv4;
    uint8_t *ipv6;
    uint8_t *icmp;
    uint8_t *icmpv6;
    uint8_t protocol; // transport protocol number, 0 when unknown
};

inline constexpr uint32_t kIpv4SourceOffset = 12;
inline constexpr uint32_t kIpv4DestinationOffset = 16;
inline constexpr uint32_t kIpv4AddressSize = 4;
inline constexpr uint32_t kIpv6SourceOffset = 8;
inline constexpr uint32_t kIpv6DestinationOffset = 24;
inline constexpr uint32_t kIpv6AddressSize = 16;

// Finds the IPv4 or IPv6 header at the start of `packet` and, behind it, an ICMP
// or ICMPv6 header. Pure function over the bytes; false when no IP header is
// found (then every pointer is null).
bool divert_parse_packet(uint8_t *packet, uint32_t length, DivertHeaders *headers) noexcept;

// One open diversion.
class Diversion {
public:
    virtual ~Diversion() = default;

    // Queue length in packets, queue time in milliseconds. Values the mechanism
    // cannot hold are clamped; kDivertErrorInvalidParameter for an unknown param.
    // Windows: WinDivertSetParam (32..16384 packets, 100..16000 ms).
    virtual uint32_t set_param(DivertParam param, uint64_t value) noexcept = 0;

    // Blocks until a packet arrives. Copies at most `capacity` bytes of it into
    // `packet`: a backend whose `send` needs the whole packet (the Windows
    // driver) copies all of it that fits; one that puts a packet back by verdict
    // alone may copy less (the Linux queue copies the headers, and small packets
    // whole). `*captured` receives the number of bytes copied, `*length` the
    // packet's full length, which may be larger than both (offloaded segments
    // reach 64 KB and more). kDivertErrorOperationAborted or
    // kDivertErrorInvalidHandle once closed; kDivertErrorGenFailure for a
    // failure after which the caller may receive again.
    // Windows: WinDivertRecv; the driver's address record goes into
    // backendRecord, its Outbound bit into `outbound`.
    virtual uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                          DivertAddress *address) noexcept = 0;

    // Puts a packet back. A packet passed back with the record it was received
    // with and `outbound` unchanged is re-injected as it was received: the Linux
    // queue does so by verdict alone and ignores `packet`, so callers must not
    // alter it in place. A record whose `outbound` the caller changed, or one of a
    // packet that already has its verdict, makes `packet` a new packet: the
    // received one, if still held, is dropped and `packet` is injected in the
    // record's direction (Linux can inject only outbound packets, and only whole
    // ones: bytes whose count differs from their IP header's length are refused).
    // `*sent` is `length` on success. Errors: kDivertErrorInvalidHandle,
    // kDivertErrorNotSupported, kDivertErrorGenFailure; on Windows the driver's
    // own code. Windows: WinDivertSend of `packet` with the received record,
    // its Outbound bit taken from `outbound` (every send injects `packet`).
    virtual uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept = 0;

    // Gives a received packet its drop verdict. A mechanism that drops a packet by
    // never putting it back (the Windows driver) does nothing here.
    virtual uint32_t drop(const DivertAddress *address) noexcept = 0;

    // Shuts the diversion down (see the contract above). Idempotent.
    // Windows: WinDivertClose; a pending WinDivertRecv fails with 995.
    virtual void close() noexcept = 0;

    // The IP and ICMP headers of a packet, as divert_parse_packet finds them; a
    // mechanism with a parser of its own (WinDivertHelperParsePacket) uses that.
    // Any thread; touches no state of the diversion.
    virtual bool parse(uint8_t *packet, uint32_t length, DivertHeaders *headers) noexcept
    {
        return divert_parse_packet(packet, length, headers);
    }
};

class DiversionBackend {
public:
    virtual ~DiversionBackend() = default;

    // `filter` selects the packets: "true", "inbound", "outbound", or those words
    // joined by "or". Layer network, priority -30000..30000, flags 0 (divert).
    // kDivertErrorInvalidParameter for anything else; kDivertErrorAccessDenied,
    // kDivertErrorNotSupported, kDivertErrorFileNotFound or
    // kDivertErrorNotEnoughMemory when the machine cannot divert (on Windows the
    // driver's own Win32 code, such as 5 without administrator rights or 577 for
    // an unsigned driver); kDivertErrorBusy when the mechanism allows one
    // diversion per network and another process holds it (Linux: one per network
    // namespace). Leaves nothing behind on failure, and nothing of another
    // process's diversion changed. `*diversion` is set only on success.
    // Windows: WinDivertOpen.
    virtual uint32_t open(const char *filter, DivertLayer layer, int16_t priority, uint64_t flags,
                          Diversion **diversion) noexcept = 0;

    // Milliseconds on a monotonic clock that may wrap (timeGetTime on Windows):
    // the meter's clock. Any thread.
    virtual uint32_t meter_clock_ms() noexcept = 0;
    // Milliseconds for the clock loop's period (GetTickCount on Windows). Any thread.
    virtual uint32_t tick_clock_ms() noexcept = 0;
};

// The backend the build provides.
DiversionBackend &system_diversion() noexcept;

// The backend that the next open uses: the installed one, else the system's.
DiversionBackend &diversion_backend() noexcept;

// Installs `backend` for every later open (null restores the system's). The
// caller keeps it alive while any diversion it opened is in use.
void install_diversion_backend(DiversionBackend *backend) noexcept;

// Milliseconds of the standard library's steady clock, truncated to 32 bits: the
// clocks of every backend that has no better one.
uint32_t steady_clock_ms() noexcept;

} // namespace kestrune::platform

#endif
