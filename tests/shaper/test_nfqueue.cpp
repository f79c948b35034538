// The Linux diversion backend over the real packet queue, in network namespaces
// of the test's own: numbered datagrams go from far to near, the test takes them
// from the queue and gives the verdicts, and checks which ones arrived.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "netns_lab.h"
#include "nfqueue_reader.h"
#include "platform/diversion.h"

using namespace std::chrono_literals;
using kestrune::test::NetnsLab;
namespace platform = kestrune::platform;
using Numbers = std::vector<uint32_t>;

namespace {

// The first queue number the backend tries for its packets.
constexpr uint16_t kFirstDataQueue = 0x4B54;

sockaddr_in address_of(const char *ip, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// Datagrams from far to near that carry their number in their first 4 bytes.
class Datagrams {
public:
    Datagrams(NetnsLab &lab, uint16_t port)
        : receiver_(lab.socket_in(NetnsLab::Near, AF_INET, SOCK_DGRAM)),
          sender_(lab.socket_in(NetnsLab::Far, AF_INET, SOCK_DGRAM))
    {
        sockaddr_in near = address_of(kestrune::test::kNearAddress, port);
        int big = 4 << 20;
        setsockopt(receiver_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        ok_ = receiver_ >= 0 && sender_ >= 0 &&
              bind(receiver_, reinterpret_cast<sockaddr *>(&near), sizeof near) == 0 &&
              connect(sender_, reinterpret_cast<sockaddr *>(&near), sizeof near) == 0;
    }
    ~Datagrams()
    {
        for (int fd : {receiver_, sender_})
            if (fd >= 0)
                close(fd);
    }
    bool ok() const { return ok_; }

    void send(uint32_t first, uint32_t count, size_t size = 64)
    {
        std::vector<char> datagram(std::max<size_t>(size, sizeof first));
        for (uint32_t number = first; number < first + count; ++number) {
            std::memcpy(datagram.data(), &number, sizeof number);
            ::send(sender_, datagram.data(), datagram.size(), 0);
        }
    }

    // The numbers that arrived, until nothing more came for `quiet`.
    Numbers arrived(std::chrono::milliseconds quiet = 300ms)
    {
        timeval timeout{0, static_cast<suseconds_t>(std::chrono::microseconds(quiet).count())};
        setsockopt(receiver_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        Numbers numbers;
        uint32_t number = 0;
        while (recv(receiver_, &number, sizeof number, 0) == static_cast<ssize_t>(sizeof number))
            numbers.push_back(number);
        return numbers;
    }

private:
    int receiver_;
    int sender_;
    bool ok_ = false;
};

class Nfqueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!lab.create())
            GTEST_SKIP() << "the packet queue needs network namespaces of its own: " << lab.reason();
    }

    // Opens the system's diversion with the rules in the near namespace.
    uint32_t open(std::unique_ptr<platform::Diversion> &diversion)
    {
        platform::Diversion *opened = nullptr;
        if (!lab.enter(NetnsLab::Near))
            return platform::kDivertErrorGenFailure;
        uint32_t result =
            platform::system_diversion().open("outbound or inbound", platform::DivertLayer::Network, 0, 0, &opened);
        lab.leave();
        diversion.reset(opened);
        return result;
    }

    bool chain_exists() { return lab.run(NetnsLab::Near, {"iptables", "-n", "-L", "KESTRUNE"}) == 0; }

    NetnsLab lab;
};

// A reader that stalls (stopped, hung, or too slow) fills its queue; packets
// beyond the queue's length pass instead of being dropped.
TEST_F(Nfqueue, PacketsBeyondAFullQueuePassWhileTheReaderStalls)
{
    std::unique_ptr<platform::Diversion> diversion;
    ASSERT_EQ(open(diversion), platform::kDivertSuccess);
    ASSERT_EQ(diversion->set_param(platform::DivertParam::QueueLength, 32), platform::kDivertSuccess);
    Datagrams link(lab, 7001);
    ASSERT_TRUE(link.ok());
    link.send(0, 200);
    Numbers arrived = link.arrived();
    EXPECT_EQ(arrived.size(), 200u - 32u) << "the first 32 wait in the queue; no one reads them";
}

// One limit per network namespace: a second open while the first is live is
// refused as such, and leaves the first one's rules and queue alone. A queue
// that another program holds is passed over.
TEST_F(Nfqueue, OneDiversionPerNamespaceAndOtherProgramsQueuesPassedOver)
{
    kestrune::test::AcceptAllReader otherProgram;
    ASSERT_TRUE(lab.enter(NetnsLab::Near));
    bool bound = otherProgram.bind(kFirstDataQueue);
    lab.leave();
    ASSERT_TRUE(bound) << otherProgram.error();

    std::unique_ptr<platform::Diversion> first, second;
    ASSERT_EQ(open(first), platform::kDivertSuccess);
    EXPECT_EQ(open(second), platform::kDivertErrorBusy);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(chain_exists());

    Datagrams link(lab, 7002);
    ASSERT_TRUE(link.ok());
    link.send(1, 1);
    char packet[2048];
    uint32_t length = 0;
    platform::DivertAddress address{};
    ASSERT_EQ(first->recv(packet, sizeof packet, &length, &address), platform::kDivertSuccess)
        << "the first diversion still gets the namespace's packets";
    uint32_t sent = 0;
    ASSERT_EQ(first->send(packet, length, &sent, &address), platform::kDivertSuccess);
    EXPECT_EQ(link.arrived(), Numbers{1});

    first.reset();
    EXPECT_FALSE(chain_exists());
    EXPECT_EQ(open(second), platform::kDivertSuccess) << "a closed diversion frees the namespace";
}

} // namespace
