// Shaper benchmark: real traffic between two network namespaces of its own,
// limiter at the receiving end of a veth pair, limits set through the export.
// Prints one table; takes about a minute. Run as root. Arguments name the
// sections to run (limits, goodput, cost, start); none runs all.
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "../tests/shaper/netns_lab.h"
#include "kestrune.h"
#include "platform/diversion.h"
#include "shaper/shaper_state.h"

using namespace std::chrono_literals;
using kestrune::test::Arrivals;
using kestrune::test::NetnsLab;
namespace platform = kestrune::platform;

namespace {

// Counts what the system diversion hands to the shaper.
std::atomic<uint64_t> receivedPackets{0};
std::atomic<uint64_t> receivedBytes{0};
// User and system CPU of the receive thread, sampled on it every 256 packets.
std::atomic<double> recvUserSeconds{0};
std::atomic<double> recvSystemSeconds{0};

// What the shaper put back, in both directions: (steady ms, bytes), recorded
// while `recordAccepted` is set.
std::atomic<bool> recordAccepted{false};
std::mutex acceptedLock;
Arrivals accepted;

// On the meter's own millisecond clock, so that "any 1000 ms" means the same 1000
// whole milliseconds the meter holds to the limit; a real-time window of 999.9 ms
// can straddle 1001 of them and count one packet too many.
double meter_ms()
{
    return platform::system_diversion().meter_clock_ms();
}

double seconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

class CountingDiversion final : public platform::Diversion {
public:
    explicit CountingDiversion(platform::Diversion *inner) : inner_(inner) {}
    ~CountingDiversion() override { delete inner_; }
    uint32_t set_param(platform::DivertParam param, uint64_t value) noexcept override
    {
        return inner_->set_param(param, value);
    }
    uint32_t recv(void *packet, uint32_t capacity, uint32_t *length, platform::DivertAddress *address) noexcept override
    {
        uint32_t result = inner_->recv(packet, capacity, length, address);
        if (result == platform::kDivertSuccess) {
            lastLength_ = *length; // the shaper decides on each packet before the next receive
            if (receivedPackets.fetch_add(1, std::memory_order_relaxed) % 256 == 0) {
                rusage usage{};
                getrusage(RUSAGE_THREAD, &usage);
                recvUserSeconds = seconds(usage.ru_utime);
                recvSystemSeconds = seconds(usage.ru_stime);
            }
            receivedBytes.fetch_add(*length, std::memory_order_relaxed);
        }
        return result;
    }
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent,
                  const platform::DivertAddress *address) noexcept override
    {
        uint32_t result = inner_->send(packet, length, sent, address);
        if (result == platform::kDivertSuccess && recordAccepted.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> lock(acceptedLock);
            accepted.samples.emplace_back(meter_ms(), lastLength_);
        }
        return result;
    }
    uint32_t drop(const platform::DivertAddress *address) noexcept override { return inner_->drop(address); }
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
    return kestrune::test::set_net_permit(lab, permission, speed);
}

double rate_between(const Arrivals &arrivals, double fromMs, double toMs)
{
    return static_cast<double>(arrivals.between(fromMs, toMs)) * 1000.0 / (toMs - fromMs);
}

double recv_thread_cpu_seconds()
{
    clockid_t clock;
    if (kestrune::shaper::shaperState.recvThread == nullptr ||
        pthread_getcpuclockid(kestrune::shaper::shaperState.recvThread->native_handle(), &clock) != 0)
        return 0;
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void limited_flows()
{
    std::printf("\n| limit KB/s | UDP achieved/limit | UDP max 1 s/limit | TCP achieved/limit | TCP max 1 s/limit "
                "| TCP max 1 s/limit as the shaper passed it (IP bytes, both ways) |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|\n");
    for (uint32_t limit : {100u, 1000u, 10000u, 100000u}) {
        const double bytes = limit * 1000.0;
        if (set(QVX_KESTRUNE_NET_PERM_LIMIT, limit) != 0) {
            std::printf("| %u | LIMIT failed | | | | |\n", limit);
            continue;
        }
        Arrivals udp = kestrune::test::udp_flow(lab, 2 * limit, 3000ms, nextPort++);
        {
            std::lock_guard<std::mutex> lock(acceptedLock);
            accepted.samples.clear();
        }
        recordAccepted = true;
        Arrivals tcp = kestrune::test::tcp_flow(lab, 3000ms, nextPort++);
        recordAccepted = false;
        set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
        double shaped;
        {
            std::lock_guard<std::mutex> lock(acceptedLock);
            shaped = static_cast<double>(accepted.max_in(1000)) / bytes;
        }
        std::printf("| %u | %.3f | %.3f | %.3f | %.3f | %.3f |\n", limit, rate_between(udp, 1000, 3000) / bytes,
                    static_cast<double>(udp.max_in(1000)) / bytes, rate_between(tcp, 1000, 3000) / bytes,
                    static_cast<double>(tcp.max_in(1000)) / bytes, shaped);
    }
}

void goodput()
{
    auto tcp_rate = [] {
        Arrivals flow = kestrune::test::tcp_flow(lab, 2500ms, nextPort++);
        return rate_between(flow, 500, 2500);
    };
    double plain = tcp_rate();
    set(QVX_KESTRUNE_NET_PERM_LIMIT, 1000000);
    uint64_t packets0 = receivedPackets.load(), bytes0 = receivedBytes.load();
    double limited = tcp_rate();
    uint64_t packets = receivedPackets.load() - packets0, bytes = receivedBytes.load() - bytes0;
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    double released = tcp_rate();
    std::printf("\n| single TCP stream | MB/s | ratio to no diversion |\n|---|---:|---:|\n");
    std::printf("| no diversion | %.0f | 1.000 |\n", plain / 1e6);
    std::printf("| LIMIT 1000000 KB/s | %.0f | %.3f |\n", limited / 1e6, limited / plain);
    std::printf("| NO_LIMIT after it | %.0f | %.3f |\n", released / 1e6, released / plain);
    if (packets != 0)
        std::printf("(under LIMIT 1000000 the queue delivered %llu packets, %.0f bytes each on average)\n",
                    static_cast<unsigned long long>(packets), static_cast<double>(bytes) / static_cast<double>(packets));
}

void receive_cost()
{
    // A fresh receive thread: its own CPU counters start at zero.
    recvUserSeconds = 0;
    recvSystemSeconds = 0;
    set(QVX_KESTRUNE_NET_PERM_LIMIT, 1000000);
    double cpu0 = recv_thread_cpu_seconds();
    uint64_t packets0 = receivedPackets.load(), bytes0 = receivedBytes.load();
    double user0 = recvUserSeconds, system0 = recvSystemSeconds;
    Arrivals udp = kestrune::test::udp_flow(lab, 150000, 2000ms, nextPort++);
    double cpu = recv_thread_cpu_seconds() - cpu0;
    uint64_t packets = receivedPackets.load() - packets0, bytes = receivedBytes.load() - bytes0;
    double user = recvUserSeconds - user0, system = recvSystemSeconds - system0;
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    std::printf("\n| receive path, UDP 1500-byte packets | value |\n|---|---:|\n");
    std::printf("| packets through the queue | %llu (%.0f bytes each) |\n", static_cast<unsigned long long>(packets),
                packets ? static_cast<double>(bytes) / static_cast<double>(packets) : 0.0);
    std::printf("| receive thread CPU per packet | %.2f us |\n", packets ? cpu * 1e6 / static_cast<double>(packets) : 0.0);
    if (packets != 0 && user + system > 0)
        std::printf("| of it in user space (the shaper and the queue reader) | %.2f us |\n",
                    cpu * 1e6 / static_cast<double>(packets) * user / (user + system));
    std::printf("| packets per second of one core | %.0f |\n", cpu > 0 ? static_cast<double>(packets) / cpu : 0.0);
    (void)udp;
}

void first_two_seconds()
{
    const uint32_t limit = 1000;
    const double bytes = limit * 1000.0;
    Arrivals udp = kestrune::test::udp_flow(
        lab, 4 * limit, 3000ms, nextPort++, [] { set(QVX_KESTRUNE_NET_PERM_LIMIT, limit); }, 500ms);
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    double t0 = udp.actionEndMs;
    std::printf("\nUDP offered at 4x, LIMIT %u KB/s applied at %.0f ms, in effect at %.0f ms (t = 0 below)\n", limit,
                udp.actionStartMs, t0);
    std::printf("| 100 ms from t | KB |\n|---|---:|\n");
    for (int i = 0; i < 20; ++i)
        std::printf("| %d-%d | %.1f |\n", i * 100, i * 100 + 100,
                    static_cast<double>(udp.between(t0 + i * 100, t0 + i * 100 + 100)) / 1000.0);
    uint64_t worst = 0;
    for (int start = 0; start + 1000 <= 2000; start += 10)
        worst = std::max(worst, udp.between(t0 + start, t0 + start + 1000));
    std::printf("most in any 1000 ms within the two seconds: %.3f of the limit\n", static_cast<double>(worst) / bytes);
}

} // namespace

int main(int argc, char **argv)
{
    // Sections to run, by name; all when none is named.
    auto wanted = [&](const char *name) {
        if (argc < 2)
            return true;
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == name)
                return true;
        return false;
    };
    if (!lab.create()) {
        std::printf("shaper benchmark skipped: %s\n", lab.reason().c_str());
        return 0;
    }
    CountingBackend counting;
    platform::install_diversion_backend(&counting);
    if (wanted("limits"))
        limited_flows();
    if (wanted("goodput"))
        goodput();
    if (wanted("cost"))
        receive_cost();
    if (wanted("start"))
        first_two_seconds();
    set(QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0);
    platform::install_diversion_backend(nullptr);
    return 0;
}
