#include "accept_all_reader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
// The kernel's netfilter headers after the C library's network headers.
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kestrune::bench {

namespace {

// Sends one configuration request and waits for the kernel's answer; errno on refusal.
int configure(mnl_socket *socket, nlmsghdr *message)
{
    message->nlmsg_flags |= NLM_F_ACK;
    message->nlmsg_seq = 1;
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0)
        return errno;
    char answer[8192];
    ssize_t received = mnl_socket_recvfrom(socket, answer, sizeof answer);
    if (received < 0)
        return errno;
    if (mnl_cb_run(answer, static_cast<size_t>(received), 1, mnl_socket_get_portid(socket), nullptr, nullptr) < 0)
        return errno;
    return 0;
}

} // namespace

AcceptAllReader::~AcceptAllReader()
{
    stop();
    if (socket_ != nullptr)
        mnl_socket_close(socket_);
}

bool AcceptAllReader::bind(uint16_t queue)
{
    queue_ = queue;
    socket_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (socket_ == nullptr || mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0)
        return error_ = std::string("netlink socket: ") + std::strerror(errno), false;
    int fd = mnl_socket_get_fd(socket_);
    int on = 1, size = 16 << 20;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    timeval wake{0, 20000}; // to notice stop()
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);

    char request[512];
    nlmsghdr *message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    nfq_nlmsg_cfg_put_cmd(message, AF_INET, NFQNL_CFG_CMD_BIND);
    if (int error = configure(socket_, message))
        return error_ = std::string("bind queue: ") + std::strerror(error), false;
    // Whole packets, offloaded segments unsegmented, as a straightforward reader has them.
    message = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, queue);
    nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, 0xFFFF);
    nfq_nlmsg_cfg_put_qmaxlen(message, 2048);
    mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_GSO));
    mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(NFQA_CFG_F_GSO));
    if (int error = configure(socket_, message))
        return error_ = std::string("configure queue: ") + std::strerror(error), false;
    return true;
}

void AcceptAllReader::start()
{
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void AcceptAllReader::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

double AcceptAllReader::cpu_seconds() const
{
    clockid_t clock;
    timespec used{};
    if (!thread_.joinable() || pthread_getcpuclockid(const_cast<std::thread &>(thread_).native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void AcceptAllReader::run()
{
    std::vector<char> buffer(0xFFFF + 8192);
    char verdict[256];
    while (!stopping_.load()) {
        ssize_t received = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
        if (received <= 0)
            continue; // the wake-up timeout
        auto *message = reinterpret_cast<nlmsghdr *>(buffer.data());
        int left = static_cast<int>(received);
        for (; mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
            nlattr *attributes[NFQA_MAX + 1] = {};
            if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr)
                continue;
            auto *header = static_cast<nfqnl_msg_packet_hdr *>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
            nlmsghdr *answer = nfq_nlmsg_put(verdict, NFQNL_MSG_VERDICT, queue_);
            nfq_nlmsg_verdict_put(answer, static_cast<int>(ntohl(header->packet_id)), NF_ACCEPT);
            mnl_socket_sendto(socket_, answer, answer->nlmsg_len);
            packets_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

} // namespace kestrune::bench
