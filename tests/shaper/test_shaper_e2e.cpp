// Real traffic through the real diversion: the limiter runs in a namespace of the
// test's own, at the receiving end of a veth pair (loopback would show every
// packet twice, going out and coming in), and is set through the export.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "kestrune.h"
#include "netns_lab.h"

using namespace std::chrono_literals;
using kestrune::test::Arrivals;
using kestrune::test::NetnsLab;

namespace {

constexpr uint32_t kLimitKBps = 1000;
constexpr double kLimitBytes = kLimitKBps * 1000.0;

class ShaperEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!lab.create())
            GTEST_SKIP() << "end-to-end shaping needs network namespaces of its own: " << lab.reason();
    }
    void TearDown() override { set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0); }

    int set(int permission, uint32_t speed) { return kestrune::test::set_net_permit(lab, permission, speed); }
    bool chain_exists(const char *tool) { return lab.run(NetnsLab::Near, {tool, "-n", "-L", "KESTRUNE"}) == 0; }
    // Legacy packet-filter tables in the near namespace: each one costs every packet.
    std::string legacy_tables()
    {
        std::string names;
        if (!lab.enter(NetnsLab::Near))
            return "(cannot enter)";
        for (const char *list : {"/proc/thread-self/net/ip_tables_names", "/proc/thread-self/net/ip6_tables_names"}) {
            std::ifstream file(list);
            for (std::string name; file >> name;)
                names += name + " ";
        }
        lab.leave();
        return names;
    }

    NetnsLab lab;
};

TEST_F(ShaperEndToEnd, LimitHoldsUdpAndTcpToTheRateAndNoLimitReleasesEverything)
{
    ASSERT_EQ(set(QVX_KESTRUNE_NET_PERM_LIMIT, kLimitKBps), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_TRUE(chain_exists("iptables"));

    // UDP offered at three times the limit. No second, the first one included,
    // carries more than the limit (the shaper counts headers too, so payload
    // stays below it); the tolerance covers the receiver's own scheduling delay.
    Arrivals udp = kestrune::test::udp_flow(lab, 3 * kLimitKBps, 1500ms, 5001);
    EXPECT_LE(udp.max_in(1000), kLimitBytes * 1.03);
    EXPECT_GE(udp.total(), kLimitBytes / 2) << "the limited flow still gets through";

    // One TCP stream; its offloaded segments reach 64 KB. The application sees
    // data late when a retransmission fills a gap and releases what arrived
    // behind it, so its seconds are looser than the shaper's.
    Arrivals tcp = kestrune::test::tcp_flow(lab, 1500ms, 5002);
    EXPECT_LE(tcp.max_in(1000), kLimitBytes * 1.2 + 65536);
    EXPECT_GE(tcp.total(), kLimitBytes / 10);

    ASSERT_EQ(set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_FALSE(chain_exists("iptables"));
    EXPECT_FALSE(chain_exists("ip6tables"));
    Arrivals released = kestrune::test::tcp_flow(lab, 500ms, 5003);
    EXPECT_GE(released.total(), 10 * kLimitBytes) << "traffic flows freely again";
}

TEST_F(ShaperEndToEnd, StaleRulesAreClearedAndSpeedZeroStopsTrafficWhileTheLinkStaysUp)
{
    // Rules of an earlier run that died: they send packets to a queue nobody reads
    // (bypassed), ahead of any new rule, so left in place they would let
    // everything through.
    ASSERT_EQ(lab.run(NetnsLab::Near, {"iptables", "-N", "KESTRUNE"}), 0);
    ASSERT_EQ(lab.run(NetnsLab::Near, {"iptables", "-A", "KESTRUNE", "-j", "NFQUEUE", "--queue-num", "3",
                                       "--queue-bypass"}),
              0);
    ASSERT_EQ(lab.run(NetnsLab::Near, {"iptables", "-I", "INPUT", "-j", "KESTRUNE"}), 0);

    ASSERT_EQ(set(QVX_KESTRUNE_NET_PERM_LIMIT, 0), QVX_KESTRUNE_RESULT_SUCCESS);
    Arrivals udp = kestrune::test::udp_flow(lab, 1000, 300ms, 5004);
    EXPECT_EQ(udp.total(), 0u);
    ASSERT_EQ(set(QVX_KESTRUNE_NET_PERM_ALLOW, 0), QVX_KESTRUNE_RESULT_SUCCESS);
    udp = kestrune::test::udp_flow(lab, 1000, 300ms, 5005);
    EXPECT_GT(udp.total(), 0u);
    EXPECT_FALSE(chain_exists("iptables"));
    EXPECT_EQ(legacy_tables(), "") << "looking for stale rules must not create tables";
}

// The queue copies only the headers of a large packet; the limit still counts
// every byte of it.
TEST_F(ShaperEndToEnd, LargePacketsCountWithTheirFullLength)
{
    ASSERT_EQ(set(QVX_KESTRUNE_NET_PERM_LIMIT, 5), QVX_KESTRUNE_RESULT_SUCCESS); // 5000 bytes per second
    kestrune::test::Datagrams link(lab, 5006);
    ASSERT_TRUE(link.ok());
    link.send(1, 3, 3000); // 3028 bytes each as IP packets
    EXPECT_EQ(link.arrived(), std::vector<uint32_t>{1});
}

} // namespace
