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
using kestrune::platform::linux_backend::read_queued_packet;

namespace {

struct Message {
    uint16_t type = NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_PACKET;
    uint8_t hook = NF_INET_LOCAL_IN;
    size_t headerBytes = sizeof(nfqnl_msg_packet_hdr);
    uint32_t payloadBytes = 128; // 0: no payload attribute
    uint32_t capLength = 0;      // 0: no attribute
};

std::vector<uint8_t> build(const Message &spec)
{
    std::vector<uint8_t> buffer(4096);
    nlmsghdr *message = mnl_nlmsg_put_header(buffer.data());
    message->nlmsg_type = spec.type;
    auto *family = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    family->nfgen_family = AF_INET;
    nfqnl_msg_packet_hdr header{};
    header.packet_id = htonl(77);
    header.hook = spec.hook;
    mnl_attr_put(message, NFQA_PACKET_HDR, spec.headerBytes, &header);
    mnl_attr_put_u32(message, NFQA_IFINDEX_INDEV, htonl(3));
    mnl_attr_put_u32(message, NFQA_IFINDEX_OUTDEV, htonl(4));
    std::vector<uint8_t> payload(spec.payloadBytes, 0x45);
    if (spec.payloadBytes != 0)
        mnl_attr_put(message, NFQA_PAYLOAD, payload.size(), payload.data());
    if (spec.capLength != 0)
        mnl_attr_put_u32(message, NFQA_CAP_LEN, htonl(spec.capLength));
    buffer.resize(message->nlmsg_len);
    return buffer;
}

bool read(const Message &spec, QueuedPacket &packet)
{
    std::vector<uint8_t> bytes = build(spec);
    return read_queued_packet(reinterpret_cast<const nlmsghdr *>(bytes.data()), &packet);
}

TEST(QueueMessage, PacketsWithTheirFullLengthAndDirection)
{
    QueuedPacket packet{};
    Message cut;
    cut.capLength = 3028;
    ASSERT_TRUE(read(cut, packet));
    EXPECT_EQ(packet.id, 77u);
    EXPECT_FALSE(packet.outbound);
    EXPECT_EQ(packet.interfaceIndex, 3u);
    EXPECT_EQ(packet.captured, 128u);
    EXPECT_EQ(packet.length, 3028u) << "the length before the copy was cut";

    Message whole;
    whole.hook = NF_INET_LOCAL_OUT;
    whole.payloadBytes = 60;
    ASSERT_TRUE(read(whole, packet));
    EXPECT_TRUE(packet.outbound);
    EXPECT_EQ(packet.interfaceIndex, 4u);
    EXPECT_EQ(packet.length, 60u);

    Message shortCap;
    shortCap.capLength = 20; // no packet is shorter than what was copied of it
    ASSERT_TRUE(read(shortCap, packet));
    EXPECT_EQ(packet.length, 128u);

    Message empty;
    empty.payloadBytes = 0;
    ASSERT_TRUE(read(empty, packet)) << "known by its number, so that it can be dropped";
    EXPECT_EQ(packet.payload, nullptr);
}

TEST(QueueMessage, OtherMessagesAreNoPackets)
{
    QueuedPacket packet{};
    Message error;
    error.type = NLMSG_ERROR;
    EXPECT_FALSE(read(error, packet));
    Message config;
    config.type = NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_CONFIG;
    EXPECT_FALSE(read(config, packet));
    Message truncated;
    truncated.headerBytes = 4; // no room for the packet's number and hook
    EXPECT_FALSE(read(truncated, packet));
}

} // namespace
