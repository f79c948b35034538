// The packet messages of the queue, read from bytes built here.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
// The kernel's netfilter headers after the C library's network headers.
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <vector>

#include "platform/linux/nfqueue_socket.h"

using kestrune::platform::linux_backend::QueuedPacket;

namespace {

constexpr uint16_t kPacket = NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_PACKET;
constexpr size_t kHeader = sizeof(nfqnl_msg_packet_hdr);

// A message of `type` for packet 77 that came in on interface 3 and goes out on
// 4, with `payloadBytes` copied (0: no payload attribute) and `capLength` as the
// length before the copy was cut (0: no attribute). Then what it reads as.
const struct {
    const char *what;
    uint16_t type;
    uint8_t hook;
    size_t headerBytes;
    uint32_t payloadBytes, capLength;
    bool packet, outbound;
    uint32_t interfaceIndex, captured, length;
} kCases[] = {
    {"a copy cut short reports the length before the cut", kPacket, NF_INET_LOCAL_IN, kHeader, 128, 3028,
     true, false, 3, 128, 3028},
    {"outbound, copied whole", kPacket, NF_INET_LOCAL_OUT, kHeader, 60, 0, true, true, 4, 60, 60},
    {"forwarded out", kPacket, NF_INET_POST_ROUTING, kHeader, 60, 0, true, true, 4, 60, 60},
    {"no packet is shorter than what was copied of it", kPacket, NF_INET_LOCAL_IN, kHeader, 128, 20,
     true, false, 3, 128, 128},
    {"without bytes, known by its number so that it can be dropped", kPacket, NF_INET_LOCAL_IN, kHeader, 0, 0,
     true, false, 3, 0, 0},
    {"an error", NLMSG_ERROR, NF_INET_LOCAL_IN, kHeader, 128, 0, false, false, 0, 0, 0},
    {"a configuration message", NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_CONFIG, NF_INET_LOCAL_IN, kHeader, 128, 0,
     false, false, 0, 0, 0},
    {"no room for the packet's number and hook", kPacket, NF_INET_LOCAL_IN, 4, 128, 0, false, false, 0, 0, 0},
};

TEST(QueueMessage, PacketsWithTheirFullLengthAndDirection)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buffer(4096);
        nlmsghdr *message = mnl_nlmsg_put_header(buffer.data());
        message->nlmsg_type = c.type;
        static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)))->nfgen_family = AF_INET;
        nfqnl_msg_packet_hdr header{htonl(77), 0, c.hook};
        mnl_attr_put(message, NFQA_PACKET_HDR, c.headerBytes, &header);
        mnl_attr_put_u32(message, NFQA_IFINDEX_INDEV, htonl(3));
        mnl_attr_put_u32(message, NFQA_IFINDEX_OUTDEV, htonl(4));
        std::vector<uint8_t> payload(c.payloadBytes, 0x45);
        if (c.payloadBytes != 0)
            mnl_attr_put(message, NFQA_PAYLOAD, payload.size(), payload.data());
        if (c.capLength != 0)
            mnl_attr_put_u32(message, NFQA_CAP_LEN, htonl(c.capLength));

        QueuedPacket packet{};
        ASSERT_EQ(kestrune::platform::linux_backend::read_queued_packet(message, &packet), c.packet);
        if (!c.packet)
            continue;
        EXPECT_EQ(packet.id, 77u);
        EXPECT_EQ(packet.outbound, c.outbound);
        EXPECT_EQ(packet.interfaceIndex, c.interfaceIndex);
        EXPECT_EQ(packet.captured, c.captured);
        EXPECT_EQ(packet.length, c.length);
        EXPECT_EQ(packet.payload == nullptr, c.payloadBytes == 0);
    }
}

} // namespace
