// Linux diversion backend: NFQUEUE through libnetfilter_queue over libmnl.
//
// Open binds a queue of this process, then sends every IP packet of the calling
// thread's network namespace to it through packet-filter rules (linux_xtables).
// The kernel holds each queued packet until it gets a verdict, and an unchanged
// packet goes back by verdict alone, so the queue copies only a packet's first
// kCopyRange bytes and reports its full length: a payload nobody reads is never
// copied (offloaded segments reach 64 KB and more). One receive call takes
// every message waiting on the socket; consecutive accepts go back as one batch
// verdict (verdict_ledger.h), at the latest when the receive is about to wait
// again; a drop goes at once. A packet the caller holds longer than the queue
// time is dropped here. The socket keeps up with a full link only with the GSO
// flag (no segmentation for the queue), NETLINK_NO_ENOBUFS and a large receive
// buffer; without them the reader dies of ENOBUFS under load.
//
// A stalled reader never cuts the namespace off: the queue is fail-open, so
// packets beyond a full queue pass unmetered, and the rules bypass a queue that
// nobody listens to. One diversion per network namespace: open first binds a
// lock queue that no rule uses, so a second limiter is refused before it touches
// the first one's rules, and rules of a process that died are cleared.
#include <netinet/in.h>
// The kernel's netfilter headers after the C library's network headers.
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/diversion.h"
#include "platform/linux/linux_xtables.h"
#include "platform/linux/nfqueue_socket.h"
#include "platform/linux/verdict_ledger.h"

namespace kestrune::platform {

namespace {

using linux_backend::QueueCommand;
using linux_backend::QueueConfig;

// The namespace's lock: bound by the live diversion, never the target of a rule.
// Binding a queue needs CAP_NET_ADMIN, so no unprivileged process can hold it.
constexpr uint16_t kLockQueue = 0x4B53;
constexpr uint16_t kFirstQueue = kLockQueue + 1; // data queue numbers tried from here
constexpr int kQueueTries = 64;
// Every IP and ICMP header the shaper reads, behind options of up to 80 bytes,
// and small packets (pings, acknowledgements) whole, so that an inbound ping can
// still be turned around. Each byte more costs time in the receive's copy.
constexpr uint32_t kCopyRange = 128;
static_assert(kCopyRange + 512 <= linux_backend::MessageBatch::kSlotSize);
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
constexpr uint32_t kDefaultQueueLength = 2048;
constexpr uint64_t kDefaultQueueTimeMs = 1024;
// The ranges the Windows driver accepts; values outside are clamped.
constexpr uint64_t kQueueLengthMin = 32, kQueueLengthMax = 16384;
constexpr uint64_t kQueueTimeMin = 100, kQueueTimeMax = 16000;
// A blocked receive wakes this often to notice a close and to drop packets held
// past the queue time; a wake-up descriptor would cost a poll per wait.
constexpr int kReceiveWakeMs = 20;
constexpr uint64_t kSweepEveryUs = 10000;

std::atomic<uint64_t> openCount{0};

uint64_t now_us()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Parses "true", "inbound", "outbound" joined by "or" into the two directions.
bool parse_filter(const char *filter, bool *inbound, bool *outbound)
{
    *inbound = *outbound = false;
    if (filter == nullptr)
        return false;
    std::string text(filter);
    size_t position = 0;
    bool expectWord = true;
    bool any = false;
    while (true) {
        position = text.find_first_not_of(" \t", position);
        if (position == std::string::npos)
            break;
        size_t end = text.find_first_of(" \t", position);
        std::string word = text.substr(position, end == std::string::npos ? std::string::npos : end - position);
        position = end;
        if (expectWord) {
            if (word == "true")
                *inbound = *outbound = true;
            else if (word == "inbound")
                *inbound = true;
            else if (word == "outbound")
                *outbound = true;
            else
                return false;
            any = true;
        } else if (word != "or") {
            return false;
        }
        expectWord = !expectWord;
        if (position == std::string::npos)
            break;
    }
    return any && !expectWord;
}

class NfqueueDiversion final : public Diversion, private linux_backend::VerdictSink {
public:
    ~NfqueueDiversion() override { close(); }

    uint32_t start(bool inbound, bool outbound);

    uint32_t set_param(DivertParam param, uint64_t value) noexcept override;
    uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                  DivertAddress *address) noexcept override;
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override;
    uint32_t drop(const DivertAddress *address) noexcept override;
    void close() noexcept override;

private:
    // Counts a call in progress, so that close waits for it to leave.
    class Use {
    public:
        explicit Use(NfqueueDiversion &owner) : owner_(owner)
        {
            owner_.inUse_.fetch_add(1);
            open_ = !owner_.closed_.load();
        }
        ~Use() { owner_.inUse_.fetch_sub(1); }
        bool open() const { return open_; }

    private:
        NfqueueDiversion &owner_;
        bool open_;
    };

    uint32_t lock_namespace();
    bool hand_out(const linux_backend::QueuedPacket &queued, void *packet, uint32_t capacity, uint32_t *captured,
                  uint32_t *length, DivertAddress *address);
    uint32_t inject(const void *packet, uint32_t length, const DivertAddress *address);
    bool ours(const DivertAddress *address) const { return address->backendGeneration == generation_; }

    // VerdictSink, called with ledgerLock_ held.
    bool verdict(uint32_t id, bool accept) noexcept override { return socket_.verdict(queue_, id, accept); }
    bool accept_through(uint32_t id) noexcept override { return socket_.accept_through(queue_, id); }

    linux_backend::QueueSocket socket_;
    linux_backend::QueueSocket lock_; // holds kLockQueue while the diversion is open
    int raw4_ = -1;
    int raw6_ = -1;
    uint16_t queue_ = 0;
    uint64_t generation_ = 0;
    linux_backend::DivertRules rules_;
    std::atomic<bool> closed_{false};
    std::atomic<int> inUse_{0};
    std::atomic<uint64_t> queueTimeUs_{kDefaultQueueTimeMs * 1000};

    // Verdicts are sent only with ledgerLock_ held: a batch must not overtake a
    // drop that another thread is sending.
    std::mutex ledgerLock_;
    linux_backend::VerdictLedger ledger_;
    bool receiverWaiting_ = false; // recv waits in the kernel: accepts go at once

    // The receiving thread's own.
    linux_backend::MessageBatch batch_;
    uint64_t receivedUs_ = 0; // when the messages in batch_ were received
    uint64_t nextSweepUs_ = 0;
};

// Whether the namespace of the calling thread has `queue` bound by some socket.
bool queue_bound(uint16_t queue)
{
    FILE *list = std::fopen("/proc/thread-self/net/netfilter/nfnetlink_queue", "re");
    if (list == nullptr)
        return false;
    bool found = false;
    unsigned number = 0;
    char rest[256];
    while (!found && std::fscanf(list, "%u%255[^\n]", &number, rest) == 2)
        found = number == queue;
    std::fclose(list);
    return found;
}

// Binds the lock queue. The kernel answers EPERM both for a queue that another
// socket holds and for a caller without the right to bind one; the queue list
// tells the two apart.
uint32_t NfqueueDiversion::lock_namespace()
{
    uint32_t error = lock_.open(0, 0);
    if (error != kDivertSuccess)
        return error;
    int refusal = 0;
    error = lock_.configure(kLockQueue, QueueConfig{QueueCommand::Bind}, true, &refusal);
    if (refusal == EPERM && queue_bound(kLockQueue))
        return kDivertErrorBusy;
    return error;
}

uint32_t NfqueueDiversion::start(bool inbound, bool outbound)
{
    generation_ = openCount.fetch_add(1) + 1;
    uint32_t error = lock_namespace();
    if (error != kDivertSuccess)
        return error;
    if (!batch_.allocate())
        return kDivertErrorNotEnoughMemory;
    error = socket_.open(kReceiveBufferBytes, kReceiveWakeMs);
    if (error != kDivertSuccess)
        return error;
    // With the lock held, a refused bind means that another program uses the queue.
    for (int i = 0; i < kQueueTries; ++i) {
        queue_ = static_cast<uint16_t>(kFirstQueue + i);
        int refusal = 0;
        error = socket_.configure(queue_, QueueConfig{QueueCommand::Bind}, true, &refusal);
        if (refusal != EPERM && refusal != EBUSY)
            break;
    }
    if (error != kDivertSuccess) {
        queue_ = 0;
        return error;
    }
    // Fail-open: a packet that finds the queue full passes instead of being dropped.
    QueueConfig config{QueueCommand::None, kDefaultQueueLength, kCopyRange, NFQA_CFG_F_GSO | NFQA_CFG_F_FAIL_OPEN};
    error = socket_.configure(queue_, config, true);
    if (error != kDivertSuccess)
        return error;
    // Injection of new packets (the shaper's turned-around ICMP); optional.
    raw4_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    raw6_ = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    return linux_backend::install_divert_rules(queue_, inbound, outbound, &rules_);
}

uint32_t NfqueueDiversion::set_param(DivertParam param, uint64_t value) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    switch (param) {
    case DivertParam::QueueLength: {
        QueueConfig config{};
        config.maxLength = static_cast<uint32_t>(std::clamp(value, kQueueLengthMin, kQueueLengthMax));
        return socket_.configure(queue_, config, false);
    }
    case DivertParam::QueueTime:
        queueTimeUs_.store(std::clamp(value, kQueueTimeMin, kQueueTimeMax) * 1000);
        return kDivertSuccess;
    }
    return kDivertErrorInvalidParameter;
}

// Lists a received packet and copies it out; false when it was dropped instead.
bool NfqueueDiversion::hand_out(const linux_backend::QueuedPacket &queued, void *packet, uint32_t capacity,
                                uint32_t *captured, uint32_t *length, DivertAddress *address)
{
    // The time of the receive that brought it: one clock reading per receive.
    uint64_t now = receivedUs_;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        if (ledger_.flush_due(now))
            ledger_.flush(*this);
        // A packet without bytes, or one the ledger has no room for, cannot be
        // metered: it does not pass unmetered either.
        if (queued.payload == nullptr || !ledger_.received(queued.id, now)) {
            (void)verdict(queued.id, false);
            return false;
        }
    }
    uint32_t copied = std::min(queued.captured, capacity);
    std::memcpy(packet, queued.payload, copied);
    *captured = copied;
    *length = queued.length;
    *address = DivertAddress{};
    address->timestamp = now / 1000;
    address->interfaceIndex = queued.interfaceIndex;
    address->outbound = queued.outbound ? 1 : 0;
    address->backendDirection = address->outbound;
    address->backendId = queued.id;
    address->backendGeneration = generation_;
    return true;
}

uint32_t NfqueueDiversion::recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                                DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    for (;;) {
        if (closed_.load())
            return kDivertErrorOperationAborted;
        while (const nlmsghdr *message = batch_.next()) {
            linux_backend::QueuedPacket queued{};
            if (linux_backend::read_queued_packet(message, &queued) &&
                hand_out(queued, packet, capacity, captured, length, address))
                return kDivertSuccess;
        }
        uint64_t now = now_us();
        // When the last receive emptied the socket, what was decided goes out
        // before this one waits for more.
        bool wait = batch_.drained();
        if (now >= nextSweepUs_ || wait) {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            if (now >= nextSweepUs_) {
                nextSweepUs_ = now + kSweepEveryUs;
                ledger_.expire(now, queueTimeUs_.load(), *this); // flushes first
            }
            if (wait) {
                ledger_.flush(*this);
                receiverWaiting_ = true;
            }
        }
        int count = batch_.fill(socket_.fd(), wait);
        int error = errno;
        receivedUs_ = now;
        if (wait) {
            receivedUs_ = now_us();
            std::lock_guard<std::mutex> lock(ledgerLock_);
            receiverWaiting_ = false;
        }
        // Nothing within the wake time, or nothing more without waiting: look
        // at the close flag and the held packets, then wait.
        if (count < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
            return kDivertErrorGenFailure;
    }
}

// Sends `packet` as a new packet. Only whole packets: the bytes of a packet the
// queue copied in part must not go out as a packet of their own.
uint32_t NfqueueDiversion::inject(const void *packet, uint32_t length, const DivertAddress *address)
{
    if (!address->outbound || length < 20)
        return kDivertErrorNotSupported;
    const auto *bytes = static_cast<const uint8_t *>(packet);
    ssize_t sent = -1;
    if (bytes[0] >> 4 == 4 && raw4_ >= 0 && (bytes[2] << 8 | bytes[3]) == static_cast<int>(length)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, bytes + kIpv4DestinationOffset, kIpv4AddressSize);
        sent = sendto(raw4_, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else if (bytes[0] >> 4 == 6 && length >= 40 && raw6_ >= 0 &&
               40 + (bytes[4] << 8 | bytes[5]) == static_cast<int>(length)) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        std::memcpy(&to.sin6_addr, bytes + kIpv6DestinationOffset, kIpv6AddressSize);
        sent = sendto(raw6_, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else {
        return kDivertErrorNotSupported;
    }
    return sent < 0 ? linux_backend::divert_error_of(errno) : kDivertSuccess;
}

uint32_t NfqueueDiversion::send(const void *packet, uint32_t length, uint32_t *sent,
                                const DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    uint32_t id = static_cast<uint32_t>(address->backendId);
    uint32_t result = kDivertSuccess;
    bool accepted = false;
    if (ours(address)) {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        if (address->outbound == address->backendDirection) {
            // Recorded only: the receiving thread sends it from recv, without the
            // caller's locks, unless it waits in the kernel and cannot.
            accepted = ledger_.accept(id);
            if (accepted && receiverWaiting_)
                ledger_.flush(*this);
        } else {
            (void)ledger_.drop(id, *this); // turned around: the original goes
        }
    }
    if (!accepted)
        result = inject(packet, length, address);
    if (result == kDivertSuccess && sent != nullptr)
        *sent = length;
    return result;
}

uint32_t NfqueueDiversion::drop(const DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    if (ours(address)) {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        (void)ledger_.drop(static_cast<uint32_t>(address->backendId), *this);
    }
    return kDivertSuccess;
}

void NfqueueDiversion::close() noexcept
{
    if (closed_.exchange(true))
        return;
    // A receive in progress notices the flag within kReceiveWakeMs.
    while (inUse_.load() != 0)
        std::this_thread::yield();
    {
        // Accepts already given go out; the kernel drops the undecided at unbind.
        std::lock_guard<std::mutex> lock(ledgerLock_);
        ledger_.flush(*this);
        ledger_.clear();
    }
    // Unbinding first lets traffic pass at once (the rules bypass a queue nobody
    // listens to).
    if (queue_ != 0)
        (void)socket_.configure(queue_, QueueConfig{QueueCommand::Unbind}, false);
    socket_.close();
    linux_backend::remove_divert_rules(&rules_);
    // Last: a successor clears the rules it finds only once the lock is free.
    lock_.close();
    for (int *fd : {&raw4_, &raw6_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

class NfqueueBackend final : public DiversionBackend {
public:
    uint32_t open(const char *filter, DivertLayer layer, int16_t priority, uint64_t flags,
                  Diversion **diversion) noexcept override
    {
        bool inbound = false, outbound = false;
        if (!parse_filter(filter, &inbound, &outbound) || layer != DivertLayer::Network || priority < -30000 ||
            priority > 30000 || flags != 0)
            return kDivertErrorInvalidParameter;
        auto *opened = new (std::nothrow) NfqueueDiversion;
        if (opened == nullptr)
            return kDivertErrorNotEnoughMemory;
        uint32_t error = opened->start(inbound, outbound);
        if (error != kDivertSuccess) {
            delete opened;
            return error;
        }
        *diversion = opened;
        return kDivertSuccess;
    }

    uint32_t meter_clock_ms() noexcept override { return steady_clock_ms(); }
    uint32_t tick_clock_ms() noexcept override { return steady_clock_ms(); }
};

} // namespace

DiversionBackend &system_diversion() noexcept
{
    static NfqueueBackend backend;
    return backend;
}

} // namespace kestrune::platform
