// The shaper over the in-memory diversion: the limit packet by packet on the
// diversion's meter clock, start and stop, and the two loops.
#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "memory_diversion.h"
#include "shaper/packet_list.h"
#include "shaper/shaper.h"
#include "shaper/shaping_stage.h"
#include "support/stdout_capture.h"

using namespace kestrune::shaper;
using kestrune::test::MemoryDiversion;
using Kind = MemoryDiversion::Kind;
using Kinds = std::vector<Kind>;
using Lengths = std::vector<uint32_t>;
using State = MemoryDiversion::State;

namespace {

class ShaperRun : public ::testing::Test {
protected:
    void TearDown() override { stopShaper(); }

    // Offers packets of these lengths at the meter's present time, inbound and
    // outbound in turn, of which the queue copied at most 20 bytes; returns the
    // lengths that passed.
    Lengths offer(const Lengths &lengths)
    {
        size_t before = net.state().verdicts.size();
        for (size_t i = 0; i < lengths.size(); ++i)
            net.inject(std::vector<uint8_t>(std::min(lengths[i], 20u), 0x45), i % 2 == 1, lengths[i]);
        EXPECT_TRUE(net.wait_for_verdicts(before + lengths.size()));
        auto verdicts = net.state().verdicts;
        Lengths passed;
        for (size_t i = before; i < verdicts.size(); ++i) {
            if (verdicts[i].kind == Kind::Accepted) {
                passed.push_back(lengths[i - before]);
                EXPECT_EQ(verdicts[i].bytes.size(), std::min(lengths[i - before], 20u)) << "put back as received";
            }
        }
        return passed;
    }

    MemoryDiversion net{20000};
};

// Passes of packets at one limit, each at a time of the meter's clock.
struct Pass {
    uint32_t atMs;
    Lengths offered, passed;
};
const struct {
    const char *what;
    uint32_t speedKBps;
    std::vector<Pass> passes;
} kLimits[] = {
    {"the limit holds from the first packet to the exact byte, the first second included", 1,
     {{20000, {400, 600, 1}, {400, 600}}, {20999, {1}, {}}, {21000, {1000, 1}, {1000}}}},
    {"a large packet is dropped while smaller ones pass", 1, {{20000, {300, 800, 200, 500, 500}, {300, 200, 500}}}},
    // An empty window has no rate: one packet of up to the limit plus one byte
    // passes, and metering resumes with the packet after it.
    {"an empty window passes one packet up to the limit plus one", 1,
     {{20000, {1002}, {}}, {20000, {1001, 1}, {1001}}, {21000, {1001}, {1001}}, {90000, {1001, 1}, {1001}}}},
    {"a packet stamped before the window began passes uncounted", 1,
     {{20000, {600}, {600}}, {19990, {300}, {300}}, {20500, {400, 1}, {400}}}},
    {"the meter's clock may wrap", 1, {{4294966996, {600}, {600}}, {200, {400, 1}, {400}}, {700, {1}, {1}}}},
    {"speed 0 drops everything longer than one byte", 0, {{20000, {40, 2, 1500, 65535}, {}}, {20000, {1, 1}, {1}}}},
    {"an offloaded segment counts with its full length", 100, // 100000 bytes per second
     {{20000, {131072}, {}}, {20000, {65000, 36000, 35000}, {65000, 35000}}}},
    // 10^9 bytes: the meter's single-precision rate is exact to within a few
    // dozen bytes at this size, and 1435 bytes are left.
    {"the highest limit passes a gigabyte per second", 1000000,
     {{20000, {999998565, 2000, 1000}, {999998565, 1000}}}},
};

TEST_F(ShaperRun, PacketsPassUpToTheLimitOfTheLastSecond)
{
    for (const auto &c : kLimits) {
        SCOPED_TRACE(c.what);
        stopShaper();
        ASSERT_EQ(startShaper(c.speedKBps), 0); // a fresh meter
        for (const Pass &pass : c.passes) {
            net.with([&](State &state) { state.meterClock = pass.atMs; });
            EXPECT_EQ(offer(pass.offered), pass.passed);
        }
    }
    EXPECT_EQ(net.state().held.size(), 0u);
}

// A start while the shaper runs only records its speed; stop releases the run
// once both threads ended, and the next start begins with a fresh window.
TEST_F(ShaperRun, StartWhileRunningKeepsTheLimitAndStopReleasesTheRun)
{
    ASSERT_EQ(startShaper(1), 0);
    EXPECT_EQ(net.state().queueLength, 2048u);
    EXPECT_EQ(net.state().queueTime, 1024u);
    EXPECT_EQ(startShaper(500), -1);
    EXPECT_EQ(shaperStartSpeed(), 500);
    EXPECT_EQ(offer({900, 900}), Lengths{900}) << "still 1000 bytes per second";
    stopShaper();
    EXPECT_EQ(net.state().released, 1); // a released handle is closed
    EXPECT_EQ(rateWindow, nullptr);
    stopShaper(); // nothing runs: only the switch is cleared
    EXPECT_EQ(net.state().released, 1);

    ASSERT_EQ(startShaper(1), 0);
    EXPECT_EQ(net.state().opens, 2);
    EXPECT_EQ(offer({900}), Lengths{900}) << "same millisecond of the meter";
}

// An inbound ICMP or ICMPv6 packet that cannot be put back goes out once with its
// addresses swapped; any other packet that cannot be put back is dropped.
TEST_F(ShaperRun, PacketsThatCannotBePutBack)
{
    const uint8_t far4[4] = {10, 0, 0, 2}, near4[4] = {10, 0, 0, 1};
    const uint8_t far6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const uint8_t near6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    auto failSends = [this](int count) { net.with([count](State &state) { state.failSends = count; }); };
    ASSERT_EQ(startShaper(1000), 0);
    failSends(1);
    net.inject(kestrune::test::ipv4_icmp_echo(far4, near4), false);
    ASSERT_TRUE(net.wait_for_verdicts(2));
    failSends(1);
    net.inject(kestrune::test::ipv6_icmp_echo(far6, near6), false);
    ASSERT_TRUE(net.wait_for_verdicts(4));
    failSends(2);
    net.inject(std::vector<uint8_t>(200, 0x45), false); // IPv4, protocol 0x45
    net.inject(kestrune::test::ipv4_icmp_echo(near4, far4), true); // outbound ICMP is not turned around
    ASSERT_TRUE(net.wait_for_verdicts(6));
    auto longEcho = kestrune::test::ipv4_icmp_echo(far4, near4);
    longEcho.resize(60);
    longEcho[3] = 100;
    failSends(1);
    net.inject(longEcho, false, 100); // its bytes are no whole packet: nothing to turn around
    ASSERT_TRUE(net.wait_for_verdicts(7));

    auto verdicts = net.state().verdicts;
    Kinds kinds;
    for (const auto &verdict : verdicts)
        kinds.push_back(verdict.kind);
    EXPECT_EQ(kinds, (Kinds{Kind::Dropped, Kind::Injected, Kind::Dropped, Kind::Injected, Kind::Dropped,
                            Kind::Dropped, Kind::Dropped}));
    EXPECT_TRUE(verdicts[1].outbound);
    EXPECT_EQ(verdicts[1].bytes, kestrune::test::ipv4_icmp_echo(near4, far4));
    EXPECT_TRUE(verdicts[3].outbound);
    EXPECT_EQ(verdicts[3].bytes, kestrune::test::ipv6_icmp_echo(near6, far6));
}

// A receive that keeps failing must not spin a core: after the first immediate
// retry the loop waits between retries. 20 failures take at least the sum of
// those waits; without them they take microseconds.
TEST_F(ShaperRun, RepeatedReceiveErrorsBackOffAndTheLoopGoesOn)
{
    ASSERT_EQ(startShaper(1000), 0);
    auto start = std::chrono::steady_clock::now();
    net.with([](State &state) { state.failReceives = 20; });
    ASSERT_TRUE(net.wait_until([](const State &state) { return state.failReceives == 0; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(offer({100}), Lengths{100});
}

TEST_F(ShaperRun, FailedOpenIsLoggedAndLeavesNothingRunning)
{
    kestrune::test::StdoutCapture out;
    for (uint32_t code : {87u, 5u, kestrune::platform::kDivertErrorBusy}) {
        net.with([code](State &state) { state.failOpen = code; });
        EXPECT_EQ(startShaper(10), -1);
    }
    EXPECT_EQ(kestrune::test::without_line_numbers(out.text()),
              "E KestruneCtl startShaper #: Failed to start filtering : filter syntax error.\r\n"
              "E KestruneCtl startShaper #: Failed to start filtering : failed to open device (code:5).\n"
              "Make sure you run program as Administrator.\r\n"
              "E KestruneCtl startShaper #: Failed to start filtering : another process already limits the "
              "bandwidth of this network (code:170).\r\n");
    EXPECT_EQ(net.state().opens, 0);
    EXPECT_EQ(startShaper(10), 0) << "a failed start leaves the shaper idle";
}

#ifdef __linux__
// A clock loop that cannot be made ends the receive loop that already runs and
// releases the run. The child that tries is a user of its own allowed two tasks:
// itself and the receive loop.
TEST_F(ShaperRun, ThreadThatCannotBeMadeReleasesTheRun)
{
    auto startAlone = [this] {
        alarm(10); // a receive loop left waiting would hang the join
        const rlimit two{2, 2};
        const auto user = static_cast<uid_t>(1000000 + getpid());
        std::thread([] {}).join(); // a runtime's own threads start with the first one, as root
        kestrune::test::StdoutCapture out;
        bool failed = setrlimit(RLIMIT_NPROC, &two) == 0 && syscall(SYS_setresuid, user, user, user) == 0 &&
                      startShaper(10) == -1;
        return failed && net.state().released == 1 &&
               kestrune::test::without_line_numbers(out.text()) ==
                   "E KestruneCtl startShaper #: Failed to create clock loop thread (11)\r\n";
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(startAlone() ? 0 : 1), testing::ExitedWithCode(0), "");
}
#endif

// A meter that could not be made leaves the packets unmetered, not dropped.
TEST_F(ShaperRun, WithoutMeterEverythingPasses)
{
    linkPacketList();
    ASSERT_TRUE(shapingStage.startHook(1));
    shapingStage.closeHook(&packetList.head, &packetList.tail);
    appendPacket(newPacket(nullptr, 0, 5000, kestrune::platform::DivertAddress{}));
    EXPECT_EQ(shapeBandwidth(&packetList.head, &packetList.tail), 0);
    ASSERT_FALSE(packetListEmpty());
    DivertedPacket *packet = packetList.head.next;
    unlinkPacket(packet);
    freePacket(packet);
}

} // namespace
