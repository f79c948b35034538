// The Linux diversion over the real packet queue. Each test runs in a network
// namespace of its own with only loopback, which vanishes when the test returns
// its thread to where it started; numbered datagrams cross it. The backend tests
// take them from the queue and give the verdicts themselves; the last test sets
// the limit through the export, as a caller does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "kestrune.h"
#include "platform/diversion.h"
#include "platform/linux/nfqueue_socket.h"
#include "platform/posix/posix_command.h"
#include "shaper/shaper.h"

using namespace std::chrono_literals;
namespace platform = kestrune::platform;
using Numbers = std::vector<uint32_t>;

namespace {

// What the backend copies of a packet, and where a datagram's number sits in it.
constexpr uint32_t kCopyRange = 128;
constexpr size_t kNumberOffset = 28;

Numbers range(uint32_t first, uint32_t last)
{
    Numbers numbers;
    for (uint32_t number = first; number <= last; ++number)
        numbers.push_back(number);
    return numbers;
}

// Runs a system tool in the calling thread's namespace; its exit status, or -1.
int run(std::vector<const char *> argv)
{
    std::string path = platform::posix::find_system_tool(argv[0]);
    argv[0] = path.c_str();
    argv.push_back(nullptr);
    auto result = platform::posix::run_command(argv.data(), 10s);
    return path.empty() || result.spawnError != 0 ? -1 : result.exitStatus;
}

// Datagrams to a loopback port that carry their number in their first 4 bytes.
struct Datagrams {
    int receiver = -1, sender = -1;
    ~Datagrams()
    {
        close(receiver);
        close(sender);
    }
    // Both sockets, in the calling thread's namespace.
    bool connect()
    {
        receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(7000);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int big = 4 << 20;
        setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval quiet{0, 300000}; // arrived() ends when nothing more came for this long
        setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
        auto *address = reinterpret_cast<sockaddr *>(&to);
        return bind(receiver, address, sizeof to) == 0 && ::connect(sender, address, sizeof to) == 0;
    }
    // Numbers first .. first + count - 1, each in a datagram of `size` bytes.
    void send(uint32_t first, uint32_t count = 1, size_t size = 64)
    {
        std::vector<char> datagram(size);
        for (uint32_t number = first; number < first + count; ++number) {
            std::memcpy(datagram.data(), &number, sizeof number);
            ::send(sender, datagram.data(), datagram.size(), 0);
        }
    }
    Numbers arrived()
    {
        Numbers numbers;
        uint32_t number = 0;
        while (recv(receiver, &number, sizeof number, 0) == static_cast<ssize_t>(sizeof number))
            numbers.push_back(number);
        return numbers;
    }
};

struct Taken {
    uint32_t number;
    uint32_t captured;
    uint32_t length;
    std::vector<uint8_t> bytes;
    platform::DivertAddress address;
};

class Nfqueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (geteuid() != 0 || home_ < 0 || unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "the packet queue needs root and a network namespace of its own: " << std::strerror(errno);
        ASSERT_EQ(run({"ip", "link", "set", "lo", "up"}), 0);
        ASSERT_TRUE(link.connect());
    }
    void TearDown() override
    {
        kestrune::shaper::stopShaper();
        diversion.reset();
        if (home_ >= 0 && setns(home_, CLONE_NEWNET) != 0)
            std::abort(); // the next test would run in this namespace
        if (home_ >= 0)
            close(home_);
    }

    // Opens the system's diversion for the packets that arrive.
    static uint32_t open_inbound(std::unique_ptr<platform::Diversion> &into)
    {
        platform::Diversion *opened = nullptr;
        uint32_t result = platform::system_diversion().open("inbound", platform::DivertLayer::Network, 0, 0, &opened);
        into.reset(opened);
        return result;
    }

    // Takes `count` datagrams from the queue. A diversion that delivers fewer
    // within 10 s is closed, which ends the wait.
    std::vector<Taken> take(size_t count)
    {
        std::promise<void> done;
        auto watchdog = std::async(std::launch::async, [this, finished = done.get_future()] {
            if (finished.wait_for(10s) == std::future_status::timeout)
                diversion->close();
        });
        std::vector<Taken> taken;
        std::vector<uint8_t> buffer(65535);
        Taken packet{};
        while (taken.size() < count && diversion->recv(buffer.data(), static_cast<uint32_t>(buffer.size()),
                                                       &packet.captured, &packet.length,
                                                       &packet.address) == platform::kDivertSuccess) {
            packet.bytes.assign(buffer.begin(), buffer.begin() + packet.captured);
            std::memcpy(&packet.number, &packet.bytes.at(kNumberOffset), sizeof packet.number);
            taken.push_back(packet);
        }
        done.set_value();
        watchdog.get();
        EXPECT_EQ(taken.size(), count) << "packets the queue delivered";
        return taken;
    }

    uint32_t accept(const Taken &packet)
    {
        uint32_t sent = 0;
        uint32_t result = diversion->send(packet.bytes.data(), packet.captured, &sent, &packet.address);
        EXPECT_EQ(sent, result == platform::kDivertSuccess ? packet.captured : 0u);
        return result;
    }

    static bool chain_exists(const char *tool = "iptables") { return run({tool, "-n", "-L", "KESTRUNE"}) == 0; }

    int home_ = -1;
    Datagrams link;
    std::unique_ptr<platform::Diversion> diversion;
};

// A reader that stalls (stopped, hung, or too slow) fills its queue; packets
// beyond the queue's length pass instead of being dropped.
TEST_F(Nfqueue, PacketsBeyondAFullQueuePassWhileTheReaderStalls)
{
    ASSERT_EQ(open_inbound(diversion), platform::kDivertSuccess);
    ASSERT_EQ(diversion->set_param(platform::DivertParam::QueueLength, 32), platform::kDivertSuccess);
    link.send(0, 200);
    EXPECT_EQ(link.arrived(), range(32, 199)) << "the first 32 wait in the queue, no one reads them";
}

// One limit per network namespace: a second open while the first is live is
// refused as such, and leaves the first one's rules and queue alone. A queue that
// another program holds is passed over. Close sends the accepts it still holds
// before it unbinds the queue, which would drop them.
TEST_F(Nfqueue, OneDiversionPerNamespaceAndOtherProgramsQueuesPassedOver)
{
    platform::linux_backend::QueueSocket otherProgram; // on the first queue number the backend tries
    ASSERT_EQ(otherProgram.open(0, 0), platform::kDivertSuccess);
    ASSERT_EQ(otherProgram.configure(0x4B54, {platform::linux_backend::QueueCommand::Bind}, true),
              platform::kDivertSuccess);

    ASSERT_EQ(open_inbound(diversion), platform::kDivertSuccess);
    std::unique_ptr<platform::Diversion> second;
    EXPECT_EQ(open_inbound(second), platform::kDivertErrorBusy);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(chain_exists());

    link.send(1);
    auto taken = take(1);
    ASSERT_EQ(taken.size(), 1u) << "the first diversion still gets the namespace's packets";
    ASSERT_EQ(accept(taken[0]), platform::kDivertSuccess);
    diversion->close();
    EXPECT_EQ(link.arrived(), Numbers{1});

    diversion.reset();
    EXPECT_FALSE(chain_exists());
    EXPECT_EQ(open_inbound(second), platform::kDivertSuccess) << "a closed diversion frees the namespace";
}

// Only a large packet's headers are copied; it reports its full length and goes
// back whole by verdict, while its partial bytes never go out as a packet of their
// own. Accepts go back in batches; a drop between them goes at once, and no batch
// lets it through. The queue-time sweep drops what the caller held too long, but
// not the accepts it gave in time and the backend held back.
TEST_F(Nfqueue, VerdictsOnPacketsCopiedInPart)
{
    ASSERT_EQ(open_inbound(diversion), platform::kDivertSuccess);
    ASSERT_EQ(diversion->set_param(platform::DivertParam::QueueTime, 100), platform::kDivertSuccess);
    link.send(1, 5, 3000);
    auto taken = take(5);
    ASSERT_EQ(taken.size(), 5u);
    for (const Taken &packet : taken) {
        EXPECT_EQ(packet.captured, kCopyRange);
        EXPECT_EQ(packet.length, 3028u);
        EXPECT_EQ(packet.bytes[2] << 8 | packet.bytes[3], 3028) << "the IP header, as received";
    }
    EXPECT_EQ(accept(taken[0]), platform::kDivertSuccess);
    EXPECT_EQ(diversion->drop(&taken[1].address), platform::kDivertSuccess);
    EXPECT_EQ(accept(taken[2]), platform::kDivertSuccess);
    taken[3].address.outbound = 1;
    EXPECT_EQ(accept(taken[3]), platform::kDivertErrorNotSupported);
    std::this_thread::sleep_for(150ms); // past the queue time of all
    link.send(6);
    ASSERT_EQ(take(1).size(), 1u); // sweeps and sends the batch before it waits for 6
    EXPECT_EQ(accept(taken[4]), platform::kDivertErrorNotSupported)
        << "5 was dropped: an inbound packet cannot be sent as a new one";
    EXPECT_EQ(link.arrived(), (Numbers{1, 3}));
}

// The limit through the export. Rules of an earlier run that died send packets to
// a queue nobody reads (bypassed), ahead of any new rule: left in place they would
// let everything through. The meter counts a packet's full length, not the part
// the queue copied; no limit removes every rule.
TEST_F(Nfqueue, LimitClearsStaleRulesCountsFullLengthsAndNoLimitReleases)
{
    ASSERT_EQ(run({"iptables", "-N", "KESTRUNE"}), 0);
    ASSERT_EQ(run({"iptables", "-A", "KESTRUNE", "-j", "NFQUEUE", "--queue-num", "3", "--queue-bypass"}), 0);
    ASSERT_EQ(run({"iptables", "-I", "INPUT", "-j", "KESTRUNE"}), 0);

    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, QVX_KESTRUNE_NET_PERM_LIMIT, 5),
              QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_TRUE(chain_exists());
    // 5000 bytes a second, and each datagram counts twice, going out and coming
    // in: the first of 3028 bytes passes one way, no other one fits beside it.
    link.send(1, 3, 3000);
    link.send(4);
    EXPECT_EQ(link.arrived(), Numbers{4});

    ASSERT_EQ(QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0),
              QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_FALSE(chain_exists("iptables"));
    EXPECT_FALSE(chain_exists("ip6tables"));
    link.send(5, 50, 3000);
    EXPECT_EQ(link.arrived(), range(5, 54));
    // Legacy packet-filter tables cost every packet: looking for stale rules must not create them.
    std::string name;
    EXPECT_FALSE(std::ifstream("/proc/thread-self/net/ip_tables_names") >> name) << name;
    EXPECT_FALSE(std::ifstream("/proc/thread-self/net/ip6_tables_names") >> name) << name;
}

} // namespace
