// The Linux diversion backend over the real packet queue, in network namespaces
// of the test's own: numbered datagrams go from far to near, the test takes them
// from the queue and gives the verdicts, and checks which ones arrived.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "netns_lab.h"
#include "nfqueue_reader.h"
#include "platform/diversion.h"

using namespace std::chrono_literals;
using kestrune::test::Datagrams;
using kestrune::test::NetnsLab;
namespace platform = kestrune::platform;
using Numbers = std::vector<uint32_t>;

namespace {

// The first queue number the backend tries for its packets.
constexpr uint16_t kFirstDataQueue = 0x4B54;
// What the backend copies of a packet, and where a datagram's number sits in it.
constexpr uint32_t kCopyRange = 128;
constexpr size_t kNumberOffset = 28;

struct Taken {
    uint32_t number;
    uint32_t captured;
    uint32_t length;
    std::vector<uint8_t> bytes;
    platform::DivertAddress address;
};

Numbers range(uint32_t first, uint32_t last)
{
    Numbers numbers;
    for (uint32_t number = first; number <= last; ++number)
        numbers.push_back(number);
    return numbers;
}

class Nfqueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!lab.create())
            GTEST_SKIP() << "the packet queue needs network namespaces of its own: " << lab.reason();
    }

    // Opens the system's diversion with the rules in the near namespace.
    uint32_t open(std::unique_ptr<platform::Diversion> &into)
    {
        platform::Diversion *opened = nullptr;
        if (!lab.enter(NetnsLab::Near))
            return platform::kDivertErrorGenFailure;
        uint32_t result =
            platform::system_diversion().open("outbound or inbound", platform::DivertLayer::Network, 0, 0, &opened);
        lab.leave();
        into.reset(opened);
        return result;
    }

    // Takes `count` packets from the queue; a diversion that delivers fewer
    // within 10 s is closed, which ends the wait.
    std::vector<Taken> take(platform::Diversion &from, size_t count)
    {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> hold(lock);
            if (!done.wait_for(hold, 10s, [&] { return finished; }))
                from.close();
        });
        std::vector<Taken> taken;
        std::vector<uint8_t> buffer(65535);
        while (taken.size() < count) {
            Taken packet{};
            if (from.recv(buffer.data(), static_cast<uint32_t>(buffer.size()), &packet.captured, &packet.length,
                          &packet.address) != platform::kDivertSuccess)
                break;
            packet.bytes.assign(buffer.begin(), buffer.begin() + packet.captured);
            // The lab's own chatter (IPv6 neighbour discovery) passes unseen.
            if (packet.captured < kNumberOffset + sizeof packet.number || buffer[0] != 0x45 || buffer[9] != 17) {
                accept(from, packet);
                continue;
            }
            std::memcpy(&packet.number, &packet.bytes[kNumberOffset], sizeof packet.number);
            taken.push_back(std::move(packet));
        }
        {
            std::lock_guard<std::mutex> hold(lock);
            finished = true;
        }
        done.notify_one();
        watchdog.join();
        EXPECT_EQ(taken.size(), count) << "packets the queue delivered";
        return taken;
    }

    static uint32_t accept(platform::Diversion &to, const Taken &packet)
    {
        uint32_t sent = 0;
        uint32_t result = to.send(packet.bytes.data(), packet.captured, &sent, &packet.address);
        EXPECT_EQ(sent, result == platform::kDivertSuccess ? packet.captured : 0u);
        return result;
    }

    // The diversion, and numbered datagrams to `port` through it.
    void open_with_link(uint16_t port)
    {
        ASSERT_EQ(open(diversion), platform::kDivertSuccess);
        link = std::make_unique<Datagrams>(lab, port);
        ASSERT_TRUE(link->ok());
    }

    bool chain_exists() { return lab.run(NetnsLab::Near, {"iptables", "-n", "-L", "KESTRUNE"}) == 0; }

    NetnsLab lab;
    std::unique_ptr<platform::Diversion> diversion;
    std::unique_ptr<Datagrams> link;
};

// A reader that stalls (stopped, hung, or too slow) fills its queue; packets
// beyond the queue's length pass instead of being dropped.
TEST_F(Nfqueue, PacketsBeyondAFullQueuePassWhileTheReaderStalls)
{
    ASSERT_NO_FATAL_FAILURE(open_with_link(7001));
    ASSERT_EQ(diversion->set_param(platform::DivertParam::QueueLength, 32), platform::kDivertSuccess);
    link->send(0, 200);
    // The first 32 packets of the namespace wait in the queue, no one reads them;
    // a few of those may be the lab's own chatter instead of datagrams.
    Numbers arrived = link->arrived();
    EXPECT_GE(arrived.size(), 160u);
    EXPECT_LE(arrived.size(), 168u);
    EXPECT_EQ(arrived, range(200 - static_cast<uint32_t>(arrived.size()), 199));
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

    ASSERT_NO_FATAL_FAILURE(open_with_link(7002));
    std::unique_ptr<platform::Diversion> second;
    EXPECT_EQ(open(second), platform::kDivertErrorBusy);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(chain_exists());

    link->send(1);
    auto taken = take(*diversion, 1);
    ASSERT_EQ(taken.size(), 1u) << "the first diversion still gets the namespace's packets";
    ASSERT_EQ(accept(*diversion, taken[0]), platform::kDivertSuccess);
    diversion->close();
    EXPECT_EQ(link->arrived(), Numbers{1});

    diversion.reset();
    EXPECT_FALSE(chain_exists());
    EXPECT_EQ(open(second), platform::kDivertSuccess) << "a closed diversion frees the namespace";
}

// Accepts go back in batches; a drop between two runs of them goes at once, and
// no batch lets it through. The batch goes out before the receive waits again.
TEST_F(Nfqueue, ADropBetweenRunsOfAcceptsStaysDropped)
{
    ASSERT_NO_FATAL_FAILURE(open_with_link(7003));
    link->send(1, 20);
    for (const Taken &packet : take(*diversion, 20)) {
        if (packet.number == 10) {
            EXPECT_EQ(diversion->drop(&packet.address), platform::kDivertSuccess);
        } else {
            EXPECT_EQ(accept(*diversion, packet), platform::kDivertSuccess);
        }
    }
    link->send(21);
    auto last = take(*diversion, 1); // sends the batch before it waits for 21
    Numbers expected = range(1, 9);
    for (uint32_t number : range(11, 20))
        expected.push_back(number);
    EXPECT_EQ(link->arrived(), expected);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].number, 21u);
}

// Close sends the accepts it still holds before it unbinds the queue, which
// would drop them.
TEST_F(Nfqueue, CloseSendsTheAcceptsItHolds)
{
    ASSERT_NO_FATAL_FAILURE(open_with_link(7004));
    link->send(1, 5);
    for (const Taken &packet : take(*diversion, 5))
        EXPECT_EQ(accept(*diversion, packet), platform::kDivertSuccess);
    diversion->close();
    EXPECT_EQ(link->arrived(), range(1, 5));
}

// The queue-time sweep drops what the caller held too long, but an accept the
// caller gave in time still goes out, even when it was held back past that time.
TEST_F(Nfqueue, QueueTimeSweepSendsHeldAcceptsAndDropsTheUndecided)
{
    ASSERT_NO_FATAL_FAILURE(open_with_link(7005));
    ASSERT_EQ(diversion->set_param(platform::DivertParam::QueueTime, 100), platform::kDivertSuccess);
    link->send(1, 2);
    auto held = take(*diversion, 2);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(accept(*diversion, held[0]), platform::kDivertSuccess);
    std::this_thread::sleep_for(150ms); // past the queue time of both
    link->send(3);
    auto third = take(*diversion, 1); // sweeps before it waits for 3
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(accept(*diversion, held[1]), platform::kDivertErrorNotSupported)
        << "2 was dropped: an inbound packet cannot be sent as a new one";
    EXPECT_EQ(accept(*diversion, third[0]), platform::kDivertSuccess);
    diversion->close();
    EXPECT_EQ(link->arrived(), (Numbers{1, 3}));
}

// Only a large packet's headers are copied; it reports its full length and goes
// back whole by verdict. Its partial bytes never go out as a packet of their own.
TEST_F(Nfqueue, LargePacketsAreCopiedInPartAndPutBackWhole)
{
    ASSERT_NO_FATAL_FAILURE(open_with_link(7006));
    link->send(1, 2, 3000); // fragments on the link; whole again at the queue
    auto taken = take(*diversion, 2);
    ASSERT_EQ(taken.size(), 2u);
    for (const Taken &packet : taken) {
        EXPECT_EQ(packet.captured, kCopyRange);
        EXPECT_EQ(packet.length, 3028u);
        EXPECT_EQ(packet.bytes[2] << 8 | packet.bytes[3], 3028) << "the IP header, as received";
    }
    EXPECT_EQ(accept(*diversion, taken[0]), platform::kDivertSuccess);
    Taken turned = taken[1];
    turned.address.outbound = 1;
    EXPECT_EQ(accept(*diversion, turned), platform::kDivertErrorNotSupported);
    diversion->close();
    EXPECT_EQ(link->arrived(), Numbers{1});
}

} // namespace
