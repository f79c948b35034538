// Shaper benchmark: real traffic between two network namespaces of its own,
// limiter at the receiving end of a veth pair, limits set through the export.
// Prints the tables and writes a plot; takes about three minutes. Run as root:
//
//   shaper_bench [SECTION...] [--png PATH]
//
// Sections: goodput, cost, limits, plot; none runs all. The plot goes to PATH
// (default shaper_limit.png), drawn by Debian's python3 with matplotlib.
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "accept_all_reader.h"
#include "kestrune.h"
#include "platform/diversion.h"
#include "shaper/shaper_state.h"
#include "traffic.h"

extern char **environ;

using namespace std::chrono_literals;
using kestrune::bench::Arrivals;
using kestrune::bench::tcp_flow;
using kestrune::bench::udp_flow;
using kestrune::bench::NetnsLab;
namespace platform = kestrune::platform;

namespace {

// Counts what the system diversion hands to the shaper, and what it drops.
std::atomic<uint64_t> receivedPackets{0};
std::atomic<uint64_t> receivedBytes{0};
std::atomic<uint64_t> droppedPackets{0};

// The meter is told 1/meterShare of each packet's length. At 4 the largest
// limit stands for 4,000 MB/s, out of reach of one stream here, so the run
// measures what moving packets costs rather than the limit itself: every
// packet still goes through the meter, the loops and the backend.
std::atomic<uint32_t> meterShare{1};

// What the shaper put back, in both directions: (meter ms, bytes), recorded
// while `recordPassed` is set.
std::atomic<bool> recordPassed{false};
std::mutex passedLock;
Arrivals passed;

class CountingDiversion final : public platform::Diversion {
public:
    explicit CountingDiversion(platform::Diversion *inner) : inner_(inner) {}
    ~CountingDiversion() override { delete inner_; }
    uint32_t set_param(platform::DivertParam param, uint64_t value) noexcept override
    {
        return inner_->set_param(param, value);
    }
    uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                  platform::DivertAddress *address) noexcept override
    {
        uint32_t result = inner_->recv(packet, capacity, captured, length, address);
        if (result == platform::kDivertSuccess) {
            lastLength_ = *length; // the shaper decides on each packet before the next receive
            receivedPackets.fetch_add(1, std::memory_order_relaxed);
            receivedBytes.fetch_add(*length, std::memory_order_relaxed);
            *length = std::max(*captured, *length / meterShare.load(std::memory_order_relaxed));
        }
        return result;
    }
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent,
                  const platform::DivertAddress *address) noexcept override
    {
        uint32_t result = inner_->send(packet, length, sent, address);
        if (result == platform::kDivertSuccess && recordPassed.load(std::memory_order_relaxed)) {
            // On the meter's own millisecond clock, so that "any 1000 ms" means the
            // same 1000 whole milliseconds the meter holds to the limit.
            std::lock_guard<std::mutex> lock(passedLock);
            passed.samples.emplace_back(platform::system_diversion().meter_clock_ms(), lastLength_);
        }
        return result;
    }
    uint32_t drop(const platform::DivertAddress *address) noexcept override
    {
        droppedPackets.fetch_add(1, std::memory_order_relaxed);
        return inner_->drop(address);
    }
    bool parse(uint8_t *packet, uint32_t length, platform::DivertHeaders *headers) noexcept override
    {
        return inner_->parse(packet, length, headers);
    }
    void close() noexcept override { inner_->close(); }

private:
    platform::Diversion *inner_;
    uint32_t lastLength_ = 0;
};

class CountingBackend final : public platform::DiversionBackend {
public:
    uint32_t open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                  platform::Diversion **diversion) noexcept override
    {
        platform::Diversion *inner = nullptr;
        uint32_t result = platform::system_diversion().open(filter, layer, priority, flags, &inner);
        if (result == platform::kDivertSuccess)
            *diversion = new CountingDiversion(inner);
        return result;
    }
    uint32_t meter_clock_ms() noexcept override { return platform::system_diversion().meter_clock_ms(); }
    uint32_t tick_clock_ms() noexcept override { return platform::system_diversion().tick_clock_ms(); }
};

NetnsLab lab;
uint16_t nextPort = 6000;

int set(int permission, uint32_t speed)
{
    return lab.set_net_permit(permission, speed);
}

double rate_between(const Arrivals &arrivals, double fromMs, double toMs)
{
    return static_cast<double>(arrivals.between(fromMs, toMs)) * 1000.0 / (toMs - fromMs);
}

double recv_thread_cpu_seconds()
{
    clockid_t clock;
    timespec used{};
    if (kestrune::shaper::shaperState.recvThread == nullptr ||
        pthread_getcpuclockid(kestrune::shaper::shaperState.recvThread->native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// The anchor: an accept-all reader with one verdict per packet, every IPv4
// packet of the near namespace sent to it (the measured flows are IPv4).
class AnchorReader {
public:
    static constexpr uint16_t kQueue = 0x4B70;
    bool start()
    {
        if (!lab.enter(NetnsLab::Near))
            return false;
        bool bound = reader_.bind(kQueue);
        lab.leave();
        if (!bound) {
            std::printf("accept-all reader: %s\n", reader_.error().c_str());
            return false;
        }
        reader_.start();
        for (const char *hook : {"INPUT", "OUTPUT"})
            rules(hook, "-I");
        return true;
    }
    void stop()
    {
        for (const char *hook : {"INPUT", "OUTPUT"})
            rules(hook, "-D");
        reader_.stop();
    }
    uint64_t packets() const { return reader_.packets(); }
    double cpu_seconds() const { return reader_.cpu_seconds(); }

private:
    static void rules(const char *hook, const char *action)
    {
        lab.run(NetnsLab::Near, {"iptables", action, hook, "-j", "NFQUEUE", "--queue-num", std::to_string(kQueue)});
    }
    kestrune::bench::AcceptAllReader reader_;
};

// CPU of the receive path and packets through it while `flow` runs, for the
// project (its receive thread) or the anchor (its reader thread).
struct Cost {
    double seconds = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    double us_per_packet() const { return packets ? seconds * 1e6 / static_cast<double>(packets) : 0; }
};

Cost project_cost(const std::function<void()> &flow)
{
    Cost cost;
    double cpu0 = recv_thread_cpu_seconds();
    uint64_t packets0 = receivedPackets.load(), bytes0 = receivedBytes.load();
    flow();
    cost.seconds = recv_thread_cpu_seconds() - cpu0;
    cost.packets = receivedPackets.load() - packets0;
    cost.bytes = receivedBytes.load() - bytes0;
    return cost;
}

Cost anchor_cost(AnchorReader &anchor, const std::function<void()> &flow)
{
    Cost cost;
    double cpu0 = anchor.cpu_seconds();
    uint64_t packets0 = anchor.packets();
    flow();
    cost.seconds = anchor.cpu_seconds() - cpu0;
    cost.packets = anchor.packets() - packets0;
    return cost;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double tcp_goodput()
{
    Arrivals flow = tcp_flow(lab, 2500ms, nextPort++);
    return rate_between(flow, 500, 2500);
}

void goodput_and_cost(bool goodput, bool cost)
{
    constexpr int kRounds = 3;
    constexpr uint32_t kLimit = 1000000;
    std::vector<double> plain, anchor, path, limited;
    Cost pathTcp, anchorTcp;
    uint64_t drops = 0;
    auto add = [](Cost &sum, const Cost &spent) {
        sum.seconds += spent.seconds;
        sum.packets += spent.packets;
        sum.bytes += spent.bytes;
    };
    for (int round = 0; goodput && round < kRounds; ++round) {
        plain.push_back(tcp_goodput());
        AnchorReader reader;
        if (reader.start()) {
            add(anchorTcp, anchor_cost(reader, [&] { anchor.push_back(tcp_goodput()); }));
            reader.stop();
        }
        meterShare = 4;
        set(QVX_KESTRUNE_NET_PERM_LIMIT, kLimit);
        add(pathTcp, project_cost([&] { path.push_back(tcp_goodput()); }));
        set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
        meterShare = 1;
        set(QVX_KESTRUNE_NET_PERM_LIMIT, kLimit);
        uint64_t drops0 = droppedPackets.load();
        limited.push_back(tcp_goodput());
        drops += droppedPackets.load() - drops0;
        set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    }
    if (goodput && !anchor.empty()) {
        auto runs = [](const std::vector<double> &values) {
            std::string text;
            for (double value : values)
                text += (text.empty() ? "" : ", ") + std::to_string(static_cast<int>(value / 1e6));
            return text;
        };
        double p = median(plain), a = median(anchor), k = median(path), l = median(limited);
        double limitBytes = kLimit * 1000.0;
        std::printf("\nSingle TCP stream over veth, limiter in the receiving namespace; median of %d runs of 2 s\n",
                    kRounds);
        std::printf("| path | MB/s | runs |\n|---|---:|---|\n");
        std::printf("| undiverted | %.0f | %s |\n", p / 1e6, runs(plain).c_str());
        std::printf("| accept-all NFQUEUE reader, one verdict per packet | %.0f | %s |\n", a / 1e6, runs(anchor).c_str());
        std::printf("| Kestrune, LIMIT %u KB/s, limit out of reach (meter counts 1/4 of each length) | %.0f | %s |\n",
                    kLimit, k / 1e6, runs(path).c_str());
        std::printf("| Kestrune, LIMIT %u KB/s (%llu packets dropped) | %.0f | %s |\n", kLimit,
                    static_cast<unsigned long long>(drops), l / 1e6, runs(limited).c_str());
        std::printf("| ratio | value | target |\n|---|---:|---:|\n");
        std::printf("| Kestrune, limit out of reach / undiverted | %.3f | >= 0.75 |\n", k / p);
        std::printf("| Kestrune, limit out of reach / accept-all reader | %.3f | >= 0.95 |\n", k / a);
        std::printf("| Kestrune at LIMIT / min(accept-all reader, limit) | %.3f | |\n", l / std::min(a, limitBytes));
        std::printf("| accept-all reader / undiverted | %.3f | |\n", a / p);
    }

    Cost projectUdp, anchorUdp;
    if (cost) {
        auto udp = [] { udp_flow(lab, 150000, 2000ms, nextPort++); };
        set(QVX_KESTRUNE_NET_PERM_LIMIT, 1000000);
        projectUdp = project_cost(udp);
        set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
        AnchorReader reader;
        if (reader.start()) {
            anchorUdp = anchor_cost(reader, udp);
            reader.stop();
        }
    }
    std::printf("\n| receive path CPU per packet | Kestrune | accept-all reader | target |\n|---|---:|---:|---:|\n");
    if (cost)
        std::printf("| UDP, 1500-byte packets at 150000 KB/s (%llu packets) | %.2f us | %.2f us | <= 2 us |\n",
                    static_cast<unsigned long long>(projectUdp.packets), projectUdp.us_per_packet(),
                    anchorUdp.us_per_packet());
    if (goodput && pathTcp.packets != 0)
        std::printf("| TCP, offloaded segments, limit out of reach (%llu packets, %.0f bytes each) | %.2f us | %.2f us "
                    "| |\n",
                    static_cast<unsigned long long>(pathTcp.packets),
                    static_cast<double>(pathTcp.bytes) / static_cast<double>(pathTcp.packets),
                    pathTcp.us_per_packet(), anchorTcp.us_per_packet());
}

void limited_flows()
{
    auto most_passed = [](double bytes) {
        std::lock_guard<std::mutex> lock(passedLock);
        double most = static_cast<double>(passed.max_in(1000)) / bytes;
        passed.samples.clear();
        return most;
    };
    std::printf("\nLimited flows, 3 s each, UDP offered at twice the limit. Achieved: application payload from 1 s "
                "to 3 s. Most in any 1000 ms: as the application received it, and as the shaper passed it (IP "
                "bytes, both directions, on the meter's clock)\n");
    std::printf("| limit KB/s | UDP achieved/limit | UDP most 1 s, received | UDP most 1 s, passed | TCP "
                "achieved/limit | TCP most 1 s, received | TCP most 1 s, passed |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    for (uint32_t limit : {100u, 1000u, 10000u, 100000u}) {
        const double bytes = limit * 1000.0;
        if (set(QVX_KESTRUNE_NET_PERM_LIMIT, limit) != 0) {
            std::printf("| %u | LIMIT failed | | | | | |\n", limit);
            continue;
        }
        most_passed(bytes);
        recordPassed = true;
        Arrivals udp = udp_flow(lab, 2 * limit, 3000ms, nextPort++);
        double udpPassed = most_passed(bytes);
        Arrivals tcp = tcp_flow(lab, 3000ms, nextPort++);
        double tcpPassed = most_passed(bytes);
        recordPassed = false;
        set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
        std::printf("| %u | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", limit, rate_between(udp, 1000, 3000) / bytes,
                    static_cast<double>(udp.max_in(1000)) / bytes, udpPassed, rate_between(tcp, 1000, 3000) / bytes,
                    static_cast<double>(tcp.max_in(1000)) / bytes, tcpPassed);
    }
}

// The kernel's own policer at the same limit: an nftables byte limit, one
// token bucket for both directions (a named limit), with a burst of 10 ms of
// the rate. Packets above it are dropped, as the shaper drops them.
void policer(uint32_t limitKBps, bool on)
{
    if (!on) {
        lab.run(NetnsLab::Near, {"nft", "delete", "table", "inet", "kstpolice"});
        return;
    }
    std::string rate = std::to_string(limitKBps * 1000ull);
    std::string burst = std::to_string(limitKBps * 10ull);
    lab.run(NetnsLab::Near, {"nft", "add", "table", "inet", "kstpolice"});
    lab.run(NetnsLab::Near, {"nft", "add", "limit", "inet", "kstpolice", "budget", "{", "rate", "over", rate,
                             "bytes/second", "burst", burst, "bytes", ";", "}"});
    for (const char *hook : {"input", "output"}) {
        lab.run(NetnsLab::Near, {"nft", "add", "chain", "inet", "kstpolice", hook, "{", "type", "filter", "hook", hook,
                                 "priority", "0", ";", "}"});
        lab.run(NetnsLab::Near, {"nft", "add", "rule", "inet", "kstpolice", hook, "limit", "name", "budget", "drop"});
    }
}

// Throughput per 10 ms, from 500 ms before LIMIT to 4.5 s after it, of UDP at
// twice the limit and of one TCP stream, for the project and for the policer.
void plot(const std::string &png)
{
    constexpr uint32_t kLimit = 10000;
    constexpr auto kAt = 500ms;
    std::string csv = png + ".csv";
    FILE *out = std::fopen(csv.c_str(), "w");
    if (out == nullptr) {
        std::printf("plot: cannot write %s\n", csv.c_str());
        return;
    }
    std::fprintf(out, "flow,limiter,ms,kBps\n");
    auto record = [&](const char *flow, const char *limiter, const Arrivals &arrivals) {
        double t0 = arrivals.actionEndMs;
        for (int ms = -500; ms < 4500; ms += 10)
            std::fprintf(out, "%s,%s,%d,%.1f\n", flow, limiter, ms,
                         static_cast<double>(arrivals.between(t0 + ms, t0 + ms + 10)) / 10.0);
    };
    auto limit = [] { set(QVX_KESTRUNE_NET_PERM_LIMIT, kLimit); };
    auto police = [] { policer(kLimit, true); };
    record("UDP at twice the limit", "Kestrune", udp_flow(lab, 2 * kLimit, 5000ms, nextPort++, limit, kAt));
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    record("UDP at twice the limit", "kernel policer",
           udp_flow(lab, 2 * kLimit, 5000ms, nextPort++, police, kAt));
    policer(kLimit, false);
    record("one TCP stream", "Kestrune", tcp_flow(lab, 5000ms, nextPort++, limit, kAt));
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    record("one TCP stream", "kernel policer", tcp_flow(lab, 5000ms, nextPort++, police, kAt));
    policer(kLimit, false);
    std::fclose(out);

    std::string script = std::string(KESTRUNE_SOURCE_DIR) + "/bench/shaper_plot.py";
    std::string limitText = std::to_string(kLimit);
    const char *argv[] = {"/usr/bin/python3", script.c_str(), csv.c_str(), png.c_str(), limitText.c_str(), nullptr};
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char *const *>(argv), environ) == 0)
        waitpid(pid, &status, 0);
    if (status == 0)
        std::printf("\nplot of throughput per 10 ms around LIMIT %u KB/s: %s (data: %s)\n", kLimit, png.c_str(),
                    csv.c_str());
    else
        std::printf("\nplot: %s failed (needs python3-matplotlib); data in %s\n", script.c_str(), csv.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> sections;
    std::string png = "shaper_limit.png";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--png" && i + 1 < argc)
            png = argv[++i];
        else
            sections.emplace_back(argv[i]);
    }
    auto wanted = [&](const char *name) {
        return sections.empty() || std::find(sections.begin(), sections.end(), name) != sections.end();
    };
    if (!lab.create()) {
        std::printf("shaper benchmark skipped: %s\n", lab.reason().c_str());
        return 0;
    }
    CountingBackend counting;
    platform::install_diversion_backend(&counting);
    if (wanted("goodput") || wanted("cost"))
        goodput_and_cost(wanted("goodput"), wanted("cost"));
    if (wanted("limits"))
        limited_flows();
    if (wanted("plot"))
        plot(png);
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    platform::install_diversion_backend(nullptr);
    return 0;
}
