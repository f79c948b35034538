// Linux diversion backend: NFQUEUE through libnetfilter_queue over libmnl.
//
// Open binds a queue of this process, then sends every IP packet of the calling
// thread's network namespace to it through packet-filter rules (linux_xtables).
// The kernel holds each queued packet until it gets a verdict: `send` accepts a
// packet unchanged by verdict alone (offloaded segments reach 64 KB and more, past
// any copy), `drop` gives the drop verdict, and a packet the caller holds longer
// than the queue time is dropped here. The socket keeps up with a full link only
// with the GSO flag (no segmentation for the queue), NETLINK_NO_ENOBUFS and a
// large receive buffer; without them the reader dies of ENOBUFS under load.
//
// A stalled reader never cuts the namespace off: the queue is fail-open, so
// packets beyond a full queue pass unmetered, and the rules bypass a queue that
// nobody listens to. One diversion per network namespace: open first binds a
// lock queue that no rule uses, so a second limiter is refused before it touches
// the first one's rules, and rules of a process that died are cleared.
#include <arpa/inet.h>
#include <netinet/in.h>
// The kernel's netfilter headers after the C library's network headers.
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/diversion.h"
#include "platform/linux/linux_xtables.h"

namespace kestrune::platform {

namespace {

// The namespace's lock: bound by the live diversion, never the target of a rule.
// Binding a queue needs CAP_NET_ADMIN, so no unprivileged process can hold it.
constexpr uint16_t kLockQueue = 0x4B53;
constexpr uint16_t kFirstQueue = kLockQueue + 1; // data queue numbers tried from here
constexpr int kQueueTries = 64;
constexpr uint32_t kCopyRange = 0xFFFF;
constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
constexpr uint32_t kDefaultQueueLength = 2048;
constexpr uint64_t kDefaultQueueTimeMs = 1024;
// The ranges the Windows driver accepts; values outside are clamped.
constexpr uint64_t kQueueLengthMin = 32, kQueueLengthMax = 16384;
constexpr uint64_t kQueueTimeMin = 100, kQueueTimeMax = 16000;
// A blocked receive wakes this often to notice a close and to drop packets held
// past the queue time; a wake-up descriptor would cost a poll per packet.
constexpr int kReceiveWakeMs = 20;
constexpr uint64_t kSweepEveryMs = 10;

std::atomic<uint64_t> openCount{0};

uint32_t map_errno(int error)
{
    switch (error) {
    case EPERM:
    case EACCES:
        return kDivertErrorAccessDenied;
    case ENOMEM:
    case ENOBUFS:
        return kDivertErrorNotEnoughMemory;
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case EOPNOTSUPP:
        return kDivertErrorNotSupported;
    default:
        return kDivertErrorGenFailure;
    }
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

class NfqueueDiversion final : public Diversion {
public:
    ~NfqueueDiversion() override { close(); }

    uint32_t start(bool inbound, bool outbound);

    uint32_t set_param(DivertParam param, uint64_t value) noexcept override;
    uint32_t recv(void *packet, uint32_t capacity, uint32_t *length, DivertAddress *address) noexcept override;
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override;
    uint32_t drop(const DivertAddress *address) noexcept override;
    void close() noexcept override;

private:
    struct Held {
        uint32_t id;
        uint64_t deadline; // steady milliseconds
    };

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

    uint32_t configure(uint8_t command, uint32_t maxLength, bool params, bool flags, bool waitAck);
    uint32_t lock_namespace();
    uint32_t verdict(uint32_t id, int verdict);
    bool release_held(const DivertAddress *address, uint32_t *id);
    void expire_held();
    uint32_t inject(const void *packet, uint32_t length, const DivertAddress *address);
    uint32_t next_packet(void *packet, uint32_t capacity, uint32_t *length, DivertAddress *address, bool *found);

    mnl_socket *socket_ = nullptr;
    mnl_socket *lock_ = nullptr; // holds kLockQueue while the diversion is open
    int raw4_ = -1;
    int raw6_ = -1;
    uint16_t queue_ = 0;
    uint32_t portId_ = 0;
    uint64_t generation_ = 0;
    linux_backend::DivertRules rules_;
    std::atomic<bool> closed_{false};
    std::atomic<int> inUse_{0};
    std::atomic<uint64_t> queueTimeMs_{kDefaultQueueTimeMs};

    std::mutex heldLock_;
    std::deque<Held> held_;
    uint64_t nextSweep_ = 0; // receiving thread only

    // Receive side, used by the one receiving thread only.
    std::unique_ptr<char[]> buffer_;
    size_t bufferSize_ = 0;
    size_t pendingOffset_ = 0;
    size_t pendingEnd_ = 0;
};

uint64_t now_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Sends a configuration request for `queue` on `socket`. Only while no rule sends
// packets to the queue may it wait for the acknowledgement: later, packets could
// arrive before it. Waiting, it returns the errno of a refused request in `*refusal`.
uint32_t send_config(mnl_socket *socket, uint16_t queue, uint8_t command, uint32_t maxLength, bool params, bool flags,
                     bool waitAck, int *refusal = nullptr)
{
    char request[8192];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    if (waitAck)
        message->nlmsg_flags |= NLM_F_ACK;
    uint32_t sequence = static_cast<uint32_t>(now_ms());
    message->nlmsg_seq = sequence;
    if (command != NFQNL_CFG_CMD_NONE)
        nfq_nlmsg_cfg_put_cmd(message, AF_INET, command);
    if (params)
        nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, static_cast<int>(kCopyRange));
    if (maxLength != 0)
        nfq_nlmsg_cfg_put_qmaxlen(message, maxLength);
    if (flags) {
        // Fail-open: a packet that finds the queue full passes instead of being dropped.
        uint32_t wanted = htonl(NFQA_CFG_F_GSO | NFQA_CFG_F_FAIL_OPEN);
        mnl_attr_put_u32(message, NFQA_CFG_FLAGS, wanted);
        mnl_attr_put_u32(message, NFQA_CFG_MASK, wanted);
    }
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0)
        return map_errno(errno);
    while (waitAck) {
        ssize_t received = mnl_socket_recvfrom(socket, request, sizeof request);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return map_errno(errno);
        }
        int result = mnl_cb_run(request, static_cast<size_t>(received), sequence, mnl_socket_get_portid(socket),
                                nullptr, nullptr);
        if (result == MNL_CB_ERROR) {
            if (refusal != nullptr)
                *refusal = errno;
            return map_errno(errno);
        }
        return kDivertSuccess;
    }
    return kDivertSuccess;
}

uint32_t NfqueueDiversion::configure(uint8_t command, uint32_t maxLength, bool params, bool flags, bool waitAck)
{
    return send_config(socket_, queue_, command, maxLength, params, flags, waitAck);
}

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
    lock_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (lock_ == nullptr)
        return map_errno(errno);
    if (mnl_socket_bind(lock_, 0, MNL_SOCKET_AUTOPID) < 0)
        return map_errno(errno);
    int refusal = 0;
    uint32_t error = send_config(lock_, kLockQueue, NFQNL_CFG_CMD_BIND, 0, false, false, true, &refusal);
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
    bufferSize_ = kCopyRange + 8192;
    buffer_.reset(new (std::nothrow) char[bufferSize_]);
    if (!buffer_)
        return kDivertErrorNotEnoughMemory;
    socket_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (socket_ == nullptr)
        return map_errno(errno);
    if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0)
        return map_errno(errno);
    portId_ = mnl_socket_get_portid(socket_);
    int fd = mnl_socket_get_fd(socket_);
    int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    int size = kReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

    // With the lock held, a refused bind means that another program uses the queue.
    error = kDivertErrorNotSupported;
    for (int i = 0; i < kQueueTries; ++i) {
        queue_ = static_cast<uint16_t>(kFirstQueue + i);
        int refusal = 0;
        error = send_config(socket_, queue_, NFQNL_CFG_CMD_BIND, 0, false, false, true, &refusal);
        if (refusal != EPERM && refusal != EBUSY)
            break;
    }
    if (error != kDivertSuccess) {
        queue_ = 0;
        return error;
    }
    error = configure(NFQNL_CFG_CMD_NONE, kDefaultQueueLength, true, true, true);
    if (error != kDivertSuccess)
        return error;

    timeval wake{0, kReceiveWakeMs * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake) < 0)
        return map_errno(errno);
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
    case DivertParam::QueueLength:
        value = std::clamp(value, kQueueLengthMin, kQueueLengthMax);
        return configure(NFQNL_CFG_CMD_NONE, static_cast<uint32_t>(value), false, false, false);
    case DivertParam::QueueTime:
        queueTimeMs_.store(std::clamp(value, kQueueTimeMin, kQueueTimeMax));
        return kDivertSuccess;
    }
    return kDivertErrorInvalidParameter;
}

uint32_t NfqueueDiversion::verdict(uint32_t id, int verdictCode)
{
    char request[256];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_VERDICT, queue_);
    nfq_nlmsg_verdict_put(message, static_cast<int>(id), verdictCode);
    if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0)
        return map_errno(errno);
    return kDivertSuccess;
}

// Drops what the caller held past the queue time.
void NfqueueDiversion::expire_held()
{
    uint64_t now = now_ms();
    if (now < nextSweep_)
        return;
    nextSweep_ = now + kSweepEveryMs;
    std::lock_guard<std::mutex> lock(heldLock_);
    while (!held_.empty() && held_.front().deadline <= now) {
        (void)verdict(held_.front().id, NF_DROP);
        held_.pop_front();
    }
}

// Takes the packet of `address` off the held list; false when it is not held.
bool NfqueueDiversion::release_held(const DivertAddress *address, uint32_t *id)
{
    if (address->backendGeneration != generation_)
        return false;
    *id = static_cast<uint32_t>(address->backendId);
    std::lock_guard<std::mutex> lock(heldLock_);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (it->id == *id) {
            held_.erase(it);
            return true;
        }
    }
    return false;
}

uint32_t NfqueueDiversion::next_packet(void *packet, uint32_t capacity, uint32_t *length, DivertAddress *address,
                                       bool *found)
{
    *found = false;
    auto *message = reinterpret_cast<nlmsghdr *>(buffer_.get() + pendingOffset_);
    int left = static_cast<int>(pendingEnd_ - pendingOffset_);
    if (!mnl_nlmsg_ok(message, left)) {
        pendingOffset_ = pendingEnd_ = 0;
        return kDivertSuccess;
    }
    pendingOffset_ += NLMSG_ALIGN(message->nlmsg_len);
    if (pendingOffset_ > pendingEnd_)
        pendingOffset_ = pendingEnd_;
    if ((message->nlmsg_type & 0xFF) != NFQNL_MSG_PACKET)
        return kDivertSuccess;
    nlattr *attributes[NFQA_MAX + 1] = {};
    if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr ||
        attributes[NFQA_PAYLOAD] == nullptr)
        return kDivertSuccess;
    auto *header = static_cast<nfqnl_msg_packet_hdr *>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
    uint32_t id = ntohl(header->packet_id);
    uint32_t payloadLength = mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD]);
    uint32_t fullLength = payloadLength;
    if (attributes[NFQA_CAP_LEN] != nullptr)
        fullLength = ntohl(mnl_attr_get_u32(attributes[NFQA_CAP_LEN]));
    bool outbound = header->hook == NF_INET_LOCAL_OUT || header->hook == NF_INET_POST_ROUTING;
    uint64_t now = now_ms();
    try {
        std::lock_guard<std::mutex> lock(heldLock_);
        held_.push_back({id, now + queueTimeMs_.load()});
    } catch (...) {
        (void)verdict(id, NF_DROP);
        return kDivertErrorNotEnoughMemory;
    }
    uint32_t copied = payloadLength < capacity ? payloadLength : capacity;
    std::memcpy(packet, mnl_attr_get_payload(attributes[NFQA_PAYLOAD]), copied);
    *length = fullLength;
    *address = DivertAddress{};
    address->timestamp = now;
    nlattr *device = attributes[outbound ? NFQA_IFINDEX_OUTDEV : NFQA_IFINDEX_INDEV];
    address->interfaceIndex = device ? ntohl(mnl_attr_get_u32(device)) : 0;
    address->outbound = outbound ? 1 : 0;
    address->backendDirection = address->outbound;
    address->backendId = id;
    address->backendGeneration = generation_;
    *found = true;
    return kDivertSuccess;
}

uint32_t NfqueueDiversion::recv(void *packet, uint32_t capacity, uint32_t *length, DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    int fd = mnl_socket_get_fd(socket_);
    for (;;) {
        if (closed_.load())
            return kDivertErrorOperationAborted;
        if (pendingOffset_ < pendingEnd_) {
            bool found = false;
            uint32_t result = next_packet(packet, capacity, length, address, &found);
            if (found || result != kDivertSuccess)
                return result;
            continue;
        }
        expire_held();
        ssize_t received = ::recv(fd, buffer_.get(), bufferSize_, 0);
        if (received > 0) {
            pendingOffset_ = 0;
            pendingEnd_ = static_cast<size_t>(received);
            continue;
        }
        // A timeout only lets the loop look at the close flag and the held packets.
        if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return kDivertErrorGenFailure;
    }
}

uint32_t NfqueueDiversion::inject(const void *packet, uint32_t length, const DivertAddress *address)
{
    if (!address->outbound || length < 20)
        return kDivertErrorNotSupported;
    const auto *bytes = static_cast<const uint8_t *>(packet);
    ssize_t sent = -1;
    if (bytes[0] >> 4 == 4 && raw4_ >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, bytes + kIpv4DestinationOffset, kIpv4AddressSize);
        sent = sendto(raw4_, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else if (bytes[0] >> 4 == 6 && length >= 40 && raw6_ >= 0) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        std::memcpy(&to.sin6_addr, bytes + kIpv6DestinationOffset, kIpv6AddressSize);
        sent = sendto(raw6_, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else {
        return kDivertErrorNotSupported;
    }
    return sent < 0 ? map_errno(errno) : kDivertSuccess;
}

uint32_t NfqueueDiversion::send(const void *packet, uint32_t length, uint32_t *sent,
                                const DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    uint32_t id = 0;
    uint32_t result;
    if (release_held(address, &id)) {
        if (address->outbound == address->backendDirection) {
            result = verdict(id, NF_ACCEPT);
        } else {
            (void)verdict(id, NF_DROP);
            result = inject(packet, length, address);
        }
    } else {
        result = inject(packet, length, address);
    }
    if (result == kDivertSuccess && sent != nullptr)
        *sent = length;
    return result;
}

uint32_t NfqueueDiversion::drop(const DivertAddress *address) noexcept
{
    Use use(*this);
    if (!use.open())
        return kDivertErrorInvalidHandle;
    uint32_t id = 0;
    if (!release_held(address, &id))
        return kDivertSuccess;
    return verdict(id, NF_DROP);
}

void NfqueueDiversion::close() noexcept
{
    if (closed_.exchange(true))
        return;
    // A receive in progress notices the flag within kReceiveWakeMs.
    while (inUse_.load() != 0)
        std::this_thread::yield();
    // Unbinding first lets traffic pass at once (the rules bypass a queue nobody
    // listens to); the kernel drops what was still queued.
    if (socket_ != nullptr) {
        if (queue_ != 0)
            (void)configure(NFQNL_CFG_CMD_UNBIND, 0, false, false, false);
        mnl_socket_close(socket_);
        socket_ = nullptr;
    }
    linux_backend::remove_divert_rules(&rules_);
    // Last: a successor clears the rules it finds only once the lock is free.
    if (lock_ != nullptr) {
        mnl_socket_close(lock_);
        lock_ = nullptr;
    }
    for (int *fd : {&raw4_, &raw6_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    std::lock_guard<std::mutex> lock(heldLock_);
    held_.clear();
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
