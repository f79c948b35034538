// Start, stop and the two loops of the shaper over the in-memory diversion.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "memory_diversion.h"
#include "shaper/shaper.h"
#include "shaper/shaping_stage.h"
#include "support/stdout_capture.h"

using namespace kestrune::shaper;
using kestrune::test::ipv4_udp_packet;
using kestrune::test::MemoryDiversion;
using Kind = MemoryDiversion::Kind;
using Kinds = std::vector<Kind>;

namespace {

class ShaperRun : public ::testing::Test {
protected:
    void TearDown() override { stopShaper(); }

    // The kinds of the recorded verdicts, in order.
    Kinds kinds()
    {
        Kinds result;
        for (const auto &verdict : net.verdicts())
            result.push_back(verdict.kind);
        return result;
    }

    MemoryDiversion net{20000};
};

TEST_F(ShaperRun, EveryPacketGetsAnAcceptOrDropVerdict)
{
    ASSERT_EQ(startShaper(100), 0); // 100000 bytes per second
    EXPECT_EQ(net.queue_length(), 2048u);
    EXPECT_EQ(net.queue_time(), 1024u);
    // An offloaded segment larger than the receive buffer counts with the length
    // the queue reports.
    net.inject(ipv4_udp_packet(100), true, 131072);
    net.inject(ipv4_udp_packet(60000), false);
    net.inject(ipv4_udp_packet(40000), true);
    net.inject(ipv4_udp_packet(300), false);
    ASSERT_TRUE(net.wait_for_verdicts(4));
    EXPECT_EQ(kinds(), (Kinds{Kind::Dropped, Kind::Accepted, Kind::Accepted, Kind::Dropped}));
    EXPECT_EQ(net.verdicts()[2].bytes, ipv4_udp_packet(40000)) << "put back unchanged";
    EXPECT_EQ(net.held(), 0u);
}

// A diversion that copies only the headers: the shaper keeps and passes back
// exactly the bytes it received, and meters the packet's full length.
TEST_F(ShaperRun, PartialCopiesAreMeteredAtTheirFullLength)
{
    net.copy_at_most(64);
    ASSERT_EQ(startShaper(2), 0); // 2000 bytes per second
    net.inject(ipv4_udp_packet(1500), false);
    net.inject(ipv4_udp_packet(1500), false);
    net.inject(ipv4_udp_packet(400), false);
    ASSERT_TRUE(net.wait_for_verdicts(3));
    EXPECT_EQ(kinds(), (Kinds{Kind::Accepted, Kind::Dropped, Kind::Accepted}));
    auto first = ipv4_udp_packet(1500);
    EXPECT_EQ(net.verdicts()[0].bytes, std::vector<uint8_t>(first.begin(), first.begin() + 64));
}

TEST_F(ShaperRun, StopReleasesTheRunAndTheNextStartBeginsWithAFreshWindow)
{
    ASSERT_EQ(startShaper(1), 0);
    net.inject(ipv4_udp_packet(900), false);
    ASSERT_TRUE(net.wait_for_verdicts(1));
    stopShaper();
    // The diversion object is deleted only after both threads were joined.
    EXPECT_EQ(net.released(), 1);
    EXPECT_FALSE(net.open_now());
    EXPECT_EQ(rateWindow, nullptr);
    stopShaper(); // nothing runs: only the switch is cleared
    EXPECT_EQ(net.released(), 1);

    ASSERT_EQ(startShaper(1), 0);
    EXPECT_EQ(net.opens(), 2);
    net.inject(ipv4_udp_packet(900), false); // same millisecond of the meter
    ASSERT_TRUE(net.wait_for_verdicts(2));
    EXPECT_EQ(kinds(), (Kinds{Kind::Accepted, Kind::Accepted}));
}

TEST_F(ShaperRun, StartWhileRunningKeepsTheOldLimitButRecordsTheSpeed)
{
    ASSERT_EQ(startShaper(1), 0);
    EXPECT_EQ(startShaper(500), -1);
    EXPECT_EQ(shaperStartSpeed(), 500);
    EXPECT_EQ(net.opens(), 1);
    net.inject(ipv4_udp_packet(900), false);
    net.inject(ipv4_udp_packet(900), false);
    ASSERT_TRUE(net.wait_for_verdicts(2));
    EXPECT_EQ(kinds(), (Kinds{Kind::Accepted, Kind::Dropped})) << "still 1000 bytes per second";
}

// An inbound ICMP or ICMPv6 packet that cannot be put back goes out once with its
// addresses swapped; any other packet that cannot be put back is dropped.
TEST_F(ShaperRun, PacketsThatCannotBePutBack)
{
    const uint8_t far4[4] = {10, 0, 0, 2}, near4[4] = {10, 0, 0, 1};
    const uint8_t far6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const uint8_t near6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(startShaper(1000), 0);
    net.fail_sends(1);
    net.inject(kestrune::test::ipv4_icmp_echo(far4, near4), false);
    ASSERT_TRUE(net.wait_for_verdicts(2));
    net.fail_sends(1);
    net.inject(kestrune::test::ipv6_icmp_echo(far6, near6), false);
    ASSERT_TRUE(net.wait_for_verdicts(4));
    net.fail_sends(2);
    net.inject(ipv4_udp_packet(200), false);
    net.inject(kestrune::test::ipv4_icmp_echo(near4, far4), true); // outbound ICMP is not turned around
    ASSERT_TRUE(net.wait_for_verdicts(6));
    auto longEcho = kestrune::test::ipv4_icmp_echo(far4, near4);
    longEcho.resize(100);
    longEcho[3] = 100;
    net.copy_at_most(60); // its bytes are no whole packet: nothing to turn around
    net.fail_sends(1);
    net.inject(longEcho, false);
    ASSERT_TRUE(net.wait_for_verdicts(7));

    auto verdicts = net.verdicts();
    EXPECT_EQ(kinds(), (Kinds{Kind::Dropped, Kind::Injected, Kind::Dropped, Kind::Injected, Kind::Dropped,
                              Kind::Dropped, Kind::Dropped}));
    EXPECT_TRUE(verdicts[1].outbound);
    EXPECT_EQ(verdicts[1].bytes, kestrune::test::ipv4_icmp_echo(near4, far4));
    EXPECT_TRUE(verdicts[3].outbound);
    EXPECT_EQ(verdicts[3].bytes, kestrune::test::ipv6_icmp_echo(near6, far6));
    EXPECT_EQ(net.held(), 0u);
}

// A receive that keeps failing must not spin a core: after the first immediate
// retry the loop waits between retries. 20 failures take at least the sum of
// those waits; without them they take microseconds.
TEST_F(ShaperRun, RepeatedReceiveErrorsBackOffAndTheLoopGoesOn)
{
    ASSERT_EQ(startShaper(1000), 0);
    auto start = std::chrono::steady_clock::now();
    net.fail_receives(20);
    ASSERT_TRUE(net.wait_for_failed_receives(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    net.inject(ipv4_udp_packet(100), false);
    ASSERT_TRUE(net.wait_for_verdicts(1));
    EXPECT_EQ(kinds(), Kinds{Kind::Accepted});
}

TEST_F(ShaperRun, FailedOpenIsLoggedAndLeavesNothingRunning)
{
    kestrune::test::StdoutCapture out;
    net.fail_next_open(87);
    EXPECT_EQ(startShaper(10), -1);
    net.fail_next_open(5);
    EXPECT_EQ(startShaper(10), -1);
    net.fail_next_open(kestrune::platform::kDivertErrorBusy);
    EXPECT_EQ(startShaper(10), -1);
    EXPECT_EQ(kestrune::test::without_line_numbers(out.text()),
              "E KestruneCtl startShaper #: Failed to start filtering : filter syntax error.\r\n"
              "E KestruneCtl startShaper #: Failed to start filtering : failed to open device (code:5).\n"
              "Make sure you run program as Administrator.\r\n"
              "E KestruneCtl startShaper #: Failed to start filtering : another process already limits the "
              "bandwidth of this network (code:170).\r\n");
    EXPECT_EQ(net.opens(), 0);
    EXPECT_EQ(startShaper(10), 0) << "a failed start leaves the shaper idle";
}

} // namespace
