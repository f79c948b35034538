#include "platform/linux/nfqueue_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
// The kernel's netfilter headers after the C library's network headers.
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <new>

#include "platform/diversion.h"

namespace kestrune::platform::linux_backend {

uint32_t divert_error_of(int error) noexcept
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

uint32_t QueueSocket::open(int receiveBytes, int wakeMs) noexcept
{
    close();
    socket_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (socket_ == nullptr)
        return divert_error_of(errno);
    if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
        int error = errno;
        close();
        return divert_error_of(error);
    }
    int fd = mnl_socket_get_fd(socket_);
    int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    if (receiveBytes > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBytes, sizeof receiveBytes) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes);
    timeval wake{wakeMs / 1000, wakeMs % 1000 * 1000};
    if (wakeMs > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake) < 0) {
        int error = errno;
        close();
        return divert_error_of(error);
    }
    return kDivertSuccess;
}

void QueueSocket::close() noexcept
{
    if (socket_ != nullptr)
        mnl_socket_close(socket_);
    socket_ = nullptr;
}

int QueueSocket::fd() const noexcept
{
    return socket_ ? mnl_socket_get_fd(socket_) : -1;
}

uint32_t QueueSocket::configure(uint16_t queue, const QueueConfig &config, bool waitAck, int *refusal) noexcept
{
    char request[8192];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    uint32_t sequence = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    message->nlmsg_seq = sequence;
    if (waitAck)
        message->nlmsg_flags |= NLM_F_ACK;
    if (config.command != QueueCommand::None)
        nfq_nlmsg_cfg_put_cmd(message, AF_INET,
                              config.command == QueueCommand::Bind ? NFQNL_CFG_CMD_BIND : NFQNL_CFG_CMD_UNBIND);
    if (config.copyRange != 0)
        nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, static_cast<int>(config.copyRange));
    if (config.maxLength != 0)
        nfq_nlmsg_cfg_put_qmaxlen(message, config.maxLength);
    if (config.flags != 0) {
        mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(config.flags));
        mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(config.flags));
    }
    if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0)
        return divert_error_of(errno);
    while (waitAck) {
        ssize_t received = mnl_socket_recvfrom(socket_, request, sizeof request);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return divert_error_of(errno);
        }
        if (mnl_cb_run(request, static_cast<size_t>(received), sequence, mnl_socket_get_portid(socket_), nullptr,
                       nullptr) == MNL_CB_ERROR) {
            if (refusal != nullptr)
                *refusal = errno;
            return divert_error_of(errno);
        }
        break;
    }
    return kDivertSuccess;
}

bool QueueSocket::verdict(uint16_t queue, uint32_t id, bool accept) noexcept
{
    char request[128];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_VERDICT, queue);
    nfq_nlmsg_verdict_put(message, static_cast<int>(id), accept ? NF_ACCEPT : NF_DROP);
    return mnl_socket_sendto(socket_, message, message->nlmsg_len) >= 0;
}

bool QueueSocket::accept_through(uint16_t queue, uint32_t id) noexcept
{
    char request[128];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_VERDICT_BATCH, queue);
    nfq_nlmsg_verdict_put(message, static_cast<int>(id), NF_ACCEPT);
    return mnl_socket_sendto(socket_, message, message->nlmsg_len) >= 0;
}

bool read_queued_packet(const nlmsghdr *message, QueuedPacket *packet) noexcept
{
    if ((message->nlmsg_type & 0xFF) != NFQNL_MSG_PACKET)
        return false;
    nlattr *attributes[NFQA_MAX + 1] = {};
    // The parser only reads the message; its interface lacks the const.
    if (nfq_nlmsg_parse(const_cast<nlmsghdr *>(message), attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr ||
        mnl_attr_get_payload_len(attributes[NFQA_PACKET_HDR]) < sizeof(nfqnl_msg_packet_hdr))
        return false;
    const auto *header = static_cast<const nfqnl_msg_packet_hdr *>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
    *packet = QueuedPacket{};
    packet->id = ntohl(header->packet_id);
    packet->outbound = header->hook == NF_INET_LOCAL_OUT || header->hook == NF_INET_POST_ROUTING;
    nlattr *device = attributes[packet->outbound ? NFQA_IFINDEX_OUTDEV : NFQA_IFINDEX_INDEV];
    if (device != nullptr && mnl_attr_get_payload_len(device) >= sizeof(uint32_t))
        packet->interfaceIndex = ntohl(mnl_attr_get_u32(device));
    if (attributes[NFQA_PAYLOAD] != nullptr) {
        packet->payload = static_cast<const uint8_t *>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD]));
        packet->captured = mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD]);
    }
    packet->length = packet->captured;
    // Present when the copy was cut short: the packet's length before the cut.
    nlattr *fullLength = attributes[NFQA_CAP_LEN];
    if (fullLength != nullptr && mnl_attr_get_payload_len(fullLength) >= sizeof(uint32_t))
        packet->length = ntohl(mnl_attr_get_u32(fullLength));
    if (packet->length < packet->captured)
        packet->length = packet->captured;
    return true;
}

bool MessageBatch::allocate() noexcept
{
    buffer_.reset(new (std::nothrow) uint8_t[kSlots * kSlotSize]);
    if (!buffer_)
        return false;
    for (unsigned i = 0; i < kSlots; ++i) {
        vectors_[i] = {buffer_.get() + i * kSlotSize, kSlotSize};
        headers_[i].msg_hdr = msghdr{};
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
    return true;
}

int MessageBatch::fill(int fd, bool wait) noexcept
{
    received_ = slot_ = 0;
    offset_ = 0;
    int count = recvmmsg(fd, headers_, kSlots, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    if (count > 0)
        received_ = static_cast<unsigned>(count);
    return count;
}

const nlmsghdr *MessageBatch::next() noexcept
{
    while (slot_ < received_) {
        const uint8_t *start = buffer_.get() + slot_ * kSlotSize;
        size_t size = headers_[slot_].msg_len;
        // A message cut off by the slot's end is unreadable: the slot is skipped.
        if ((headers_[slot_].msg_hdr.msg_flags & MSG_TRUNC) == 0 && offset_ < size) {
            const auto *message = reinterpret_cast<const nlmsghdr *>(start + offset_);
            int left = static_cast<int>(size - offset_);
            if (mnl_nlmsg_ok(message, left)) {
                offset_ += NLMSG_ALIGN(message->nlmsg_len);
                return message;
            }
        }
        ++slot_;
        offset_ = 0;
    }
    return nullptr;
}

} // namespace kestrune::platform::linux_backend
