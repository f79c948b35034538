// The Linux diversion backend: the verdict messages it sends for the caller's
// verdicts, the packet messages of the queue read from bytes built here, and the
// real packet queue. Each test of the real queue runs in a network namespace of
// its own with only loopback, which vanishes when the test returns its thread to
// where it started; numbered datagrams cross it. The backend tests take them from
// the queue and give the verdicts themselves; the last test sets the limit
// through the export, as a caller does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
// The kernel's netfilter headers after the C library's network headers.
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrune.h"
#include "platform/diversion.h"
#include "platform/linux/nfqueue_socket.h"
#include "platform/linux/verdict_ledger.h"
#include "platform/posix/posix_command.h"
#include "shaper/shaper.h"
#include "support/loopback_probe.h"

using namespace std::chrono_literals;
namespace platform = kestrune::platform;
using kestrune::platform::linux_backend::QueuedPacket;
using kestrune::platform::linux_backend::VerdictLedger;
using Messages = std::vector<std::string>;
using Numbers = std::vector<uint32_t>;

namespace {

// Notes each verdict message; `failNext` makes the next one fail.
struct RecordingSink final : kestrune::platform::linux_backend::VerdictSink {
    Messages sent;
    bool failNext = false;

    bool verdict(uint32_t id, bool accept) noexcept override
    {
        return record((accept ? "accept " : "drop ") + std::to_string(id));
    }
    bool accept_through(uint32_t id) noexcept override { return record("through " + std::to_string(id)); }
    bool record(const std::string &message)
    {
        sent.push_back(failNext ? message + " failed" : message);
        return !std::exchange(failNext, false);
    }
};

// rN: the queue delivers packet N at N * 100 us; aN: the caller accepts it; dN:
// drops it (both noted when refused); f: flush; eN: expire at time N what was
// held 100 us or longer; x: the next message fails.
const struct {
    const char *what, *steps;
    Messages sent;
} kVerdicts[] = {
    {"accepts wait for a flush and go as one batch; a drop between them goes at once",
     "r1 r2 r3 r4 a1 a2 d3 a4 f", {"drop 3", "through 4"}},
    {"no batch passes an undecided packet: the accepts behind it go one by one", "r1 r2 r3 a1 a3 f a2 f",
     {"through 1", "accept 3", "through 2"}},
    {"a drop that could not be sent blocks every batch until it is sent again", "r1 r2 r3 a1 x d2 a3 f",
     {"drop 2 failed", "through 1", "drop 2", "accept 3"}},
    {"a batch that could not be sent is sent again", "r1 r2 a1 a2 x f", {"through 2 failed", "accept 1", "accept 2"}},
    {"expiry sends the accepts first, then drops the undecided whose time came", "r1 r2 r3 a1 e300 f",
     {"through 1", "drop 2"}},
    {"verdicts for packets not held, or given twice, are refused and send nothing", "r1 a7 d7 a1 a1 d1 f a1 f",
     {"refused accept 7", "refused drop 7", "refused accept 1", "refused drop 1", "through 1", "refused accept 1"}},
};

TEST(VerdictLedger, MessagesForTheCallersVerdicts)
{
    for (const auto &c : kVerdicts) {
        SCOPED_TRACE(c.what);
        VerdictLedger ledger;
        RecordingSink sink;
        std::istringstream steps(c.steps);
        std::string step;
        while (steps >> step) {
            const uint32_t n = step.size() > 1 ? static_cast<uint32_t>(std::stoul(step.substr(1))) : 0;
            switch (step[0]) {
            case 'r': ASSERT_TRUE(ledger.received(n, n * 100)); break;
            case 'a':
                if (!ledger.accept(n))
                    sink.sent.push_back("refused accept " + std::to_string(n));
                break;
            case 'd':
                if (!ledger.drop(n, sink))
                    sink.sent.push_back("refused drop " + std::to_string(n));
                break;
            case 'f': ledger.flush(sink); break;
            case 'e': ledger.expire(n, 100, sink); break;
            case 'x': sink.failNext = true; break;
            }
        }
        EXPECT_EQ(sink.sent, c.sent);
    }
}

TEST(VerdictLedger, FlushIsDueAt64AcceptsOrAMillisecondAfterTheFirst)
{
    VerdictLedger ledger;
    for (uint32_t id = 1; id <= 64; ++id) {
        EXPECT_FALSE(ledger.flush_due(id == 1 ? 9000 : 5999)) << id << " (nothing decided before the first)";
        ASSERT_TRUE(ledger.received(id, 5000));
        ledger.accept(id);
    }
    EXPECT_TRUE(ledger.flush_due(5000));
    RecordingSink sink;
    ledger.flush(sink);
    ASSERT_TRUE(ledger.received(65, 5000));
    ledger.accept(65);
    EXPECT_TRUE(ledger.flush_due(6000));
}

constexpr uint16_t kPacket = NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_PACKET;
constexpr size_t kHeader = sizeof(nfqnl_msg_packet_hdr);

// A message of `type` for packet 77 that came in on interface 3 and goes out on
// 4, with `payloadBytes` copied (0: no payload attribute) and `capLength` as the
// length before the copy was cut (0: no attribute). Then what it reads as (a
// packet's interface is the one on its way: 4 out, 3 in).
const struct {
    const char *what;
    uint16_t type;
    uint8_t hook;
    size_t headerBytes;
    uint32_t payloadBytes, capLength;
    bool packet, outbound;
    uint32_t captured, length;
} kMessages[] = {
    {"a copy cut short reports the length before the cut", kPacket, NF_INET_LOCAL_IN, kHeader, 128, 3028, true,
     false, 128, 3028},
    {"outbound, copied whole", kPacket, NF_INET_LOCAL_OUT, kHeader, 60, 0, true, true, 60, 60},
    {"forwarded out", kPacket, NF_INET_POST_ROUTING, kHeader, 60, 0, true, true, 60, 60},
    {"no packet is shorter than what was copied of it", kPacket, NF_INET_LOCAL_IN, kHeader, 128, 20, true, false,
     128, 128},
    {"without bytes, known by its number so that it can be dropped", kPacket, NF_INET_LOCAL_IN, kHeader, 0, 0, true,
     false, 0, 0},
    {"an error", NLMSG_ERROR, NF_INET_LOCAL_IN, kHeader, 128, 0, false, false, 0, 0},
    {"a configuration message", NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_CONFIG, NF_INET_LOCAL_IN, kHeader, 128, 0, false,
     false, 0, 0},
    {"no room for the packet's number and hook", kPacket, NF_INET_LOCAL_IN, 4, 128, 0, false, false, 0, 0},
};

TEST(QueueMessage, PacketsWithTheirFullLengthAndDirection)
{
    for (const auto &c : kMessages) {
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
        EXPECT_EQ(packet.interfaceIndex, c.outbound ? 4u : 3u);
        EXPECT_EQ(packet.captured, c.captured);
        EXPECT_EQ(packet.length, c.length);
        EXPECT_EQ(packet.payload == nullptr, c.payloadBytes == 0);
    }
}

constexpr uint32_t kCopyRange = 128; // what the backend copies of a packet

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

// Datagrams that a loopback socket sends to itself, each carrying its number in
// its first 4 bytes.
struct Datagrams {
    int fd = -1;
    ~Datagrams() { close(fd); }
    // The socket, in the calling thread's namespace.
    bool connect()
    {
        fd = kestrune::test::self_addressed_socket();
        int big = 4 << 20;
        timeval quiet{0, 300000}; // arrived() ends when nothing more came for this long
        return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) == 0 &&
               setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet) == 0;
    }
    // Numbers first .. first + count - 1, each in a datagram of `size` bytes.
    void send(uint32_t first, uint32_t count = 1, size_t size = 64)
    {
        std::vector<char> datagram(size);
        for (uint32_t number = first; number < first + count; ++number) {
            std::memcpy(datagram.data(), &number, sizeof number);
            ::send(fd, datagram.data(), datagram.size(), 0);
        }
    }
    Numbers arrived()
    {
        Numbers numbers;
        uint32_t number = 0;
        while (recv(fd, &number, sizeof number, 0) == static_cast<ssize_t>(sizeof number))
            numbers.push_back(number);
        return numbers;
    }
};

struct Taken {
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

    // Takes `count` packets from the queue, in the order sent. A diversion that
    // delivers fewer within 10 s is closed, which ends the wait.
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
