// One netlink socket to the kernel's packet queues (NFQUEUE over libmnl): queue
// configuration, verdicts one by one and in batches, and packet messages taken
// from the socket many at a time. Errors are mapped to the diversion codes here.
#ifndef KESTRUNE_PLATFORM_LINUX_NFQUEUE_SOCKET_H
#define KESTRUNE_PLATFORM_LINUX_NFQUEUE_SOCKET_H

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>

struct mnl_socket;
struct nlmsghdr;

namespace kestrune::platform::linux_backend {

// The diversion code for an errno.
uint32_t divert_error_of(int error) noexcept;

enum class QueueCommand : uint8_t { None, Bind, Unbind };

struct QueueConfig {
    QueueCommand command = QueueCommand::None;
    uint32_t maxLength = 0; // packets; 0 leaves it
    uint32_t copyRange = 0; // bytes of each packet to copy; 0 leaves the copy mode
    uint32_t flags = 0;     // NFQA_CFG_F_* to set
};

class QueueSocket {
public:
    QueueSocket() = default;
    ~QueueSocket() { close(); }
    QueueSocket(const QueueSocket &) = delete;
    QueueSocket &operator=(const QueueSocket &) = delete;

    // A socket whose receive buffer holds `receiveBytes` (0: the system's
    // default), that reports no ENOBUFS, and whose blocking receive wakes after
    // `wakeMs` (0: never).
    uint32_t open(int receiveBytes, int wakeMs) noexcept;
    void close() noexcept;
    int fd() const noexcept;

    // Sends one configuration request for `queue`. With `waitAck` it waits for
    // the kernel's answer and stores the errno of a refusal in `*refusal`; only
    // while no rule sends packets to the queue, which could arrive first.
    uint32_t configure(uint16_t queue, const QueueConfig &config, bool waitAck, int *refusal = nullptr) noexcept;

    // Verdict messages; false when the message could not be sent.
    bool verdict(uint16_t queue, uint32_t id, bool accept) noexcept;
    bool accept_through(uint16_t queue, uint32_t id) noexcept;

private:
    mnl_socket *socket_ = nullptr;
};

// A packet message of the queue.
struct QueuedPacket {
    uint32_t id;
    bool outbound;
    uint32_t interfaceIndex;
    const uint8_t *payload; // null when the message carries none
    uint32_t captured;      // bytes at `payload`
    uint32_t length;        // the packet's full length
};

// Reads a packet message; false for any other message.
bool read_queued_packet(const nlmsghdr *message, QueuedPacket *packet) noexcept;

// Messages taken from the socket with one receive call: everything that waits,
// up to kSlots. Used by one thread at a time.
class MessageBatch {
public:
    static constexpr unsigned kSlots = 64;
    // Room for a packet message: the copied bytes plus every attribute the queue
    // adds when asked for no extras (together under 300 bytes).
    static constexpr size_t kSlotSize = 1024;

    bool allocate() noexcept;
    // Receives what waits on `fd`; with `wait`, first waits for one message (up
    // to the socket's wake time). The number of messages, or -1 with errno.
    int fill(int fd, bool wait) noexcept;
    // The next message not yet handed out; null when there is none.
    const nlmsghdr *next() noexcept;
    // The last fill took fewer messages than it had room for: the socket had no more.
    bool drained() const noexcept { return received_ < kSlots; }

private:
    std::unique_ptr<uint8_t[]> buffer_;
    mmsghdr headers_[kSlots] = {};
    iovec vectors_[kSlots] = {};
    unsigned received_ = 0;
    unsigned slot_ = 0;   // slot of the message next() returns next
    size_t offset_ = 0;   // within that slot: a receive may carry several messages
};

} // namespace kestrune::platform::linux_backend

#endif
