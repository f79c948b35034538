// An in-memory diversion for tests: the test process is the network. Packets the
// test injects are what the shaper receives; every verdict the shaper gives is
// recorded; the meter's clock stands still until the test moves it. Installed
// through the same seam the product uses.
#ifndef KESTRUNE_TESTS_SHAPER_MEMORY_DIVERSION_H
#define KESTRUNE_TESTS_SHAPER_MEMORY_DIVERSION_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/diversion.h"

namespace kestrune::test {

class MemoryDiversion final : public platform::DiversionBackend {
    template <typename Body> auto locked(Body body)
    {
        std::lock_guard<std::mutex> lock(lock_);
        return body();
    }

public:
    enum class Kind { Accepted, Dropped, Injected };
    struct Verdict {
        Kind kind;
        std::vector<uint8_t> bytes; // what send passed (Accepted, Injected)
        bool outbound;
    };

    // Installs itself as the diversion backend; the destructor restores the
    // system's. The meter clock starts at `meterStart`.
    explicit MemoryDiversion(uint32_t meterStart = 1000);
    ~MemoryDiversion() override;

    // Queues a packet for the shaper to receive; `fullLength` (when larger than
    // the bytes) is the length the queue reports.
    void inject(std::vector<uint8_t> bytes, bool outbound, uint32_t fullLength = 0);
    void advance_meter_clock(uint32_t ms) { locked([&] { meterClock_ += ms; }); }
    // The next open fails with `code`; the next `count` sends of received packets fail.
    void fail_next_open(uint32_t code) { locked([&] { failOpen_ = code; }); }
    void fail_sends(int count) { locked([&] { failSends_ = count; }); }
    // Receives copy at most `bytes` of a packet, as a queue that copies headers only.
    void copy_at_most(uint32_t bytes) { locked([&] { copyLimit_ = bytes; }); }
    // The next `count` receives fail with a transient error.
    void fail_receives(int count);
    bool wait_for_failed_receives(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Waits until at least `count` verdicts are recorded; false on timeout.
    bool wait_for_verdicts(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<Verdict> verdicts() { return locked([&] { return verdicts_; }); }
    size_t held() { return locked([&] { return held_.size(); }); } // received, no verdict yet
    int opens() { return locked([&] { return opens_; }); }
    int released() { return locked([&] { return released_; }); } // diversions deleted
    bool open_now() { return locked([&] { return !closed_; }); }
    uint64_t queue_length() { return locked([&] { return queueLength_; }); }
    uint64_t queue_time() { return locked([&] { return queueTime_; }); }

    // platform::DiversionBackend
    uint32_t open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                  platform::Diversion **diversion) noexcept override;
    uint32_t meter_clock_ms() noexcept override { return locked([&] { return meterClock_; }); }
    uint32_t tick_clock_ms() noexcept override { return platform::steady_clock_ms(); }

private:
    class Handle;
    struct Pending {
        uint64_t number;
        std::vector<uint8_t> bytes;
        bool outbound;
        uint32_t fullLength;
    };

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Pending> input_;
    std::vector<uint64_t> held_;
    std::vector<Verdict> verdicts_;
    uint64_t nextNumber_ = 1;
    bool closed_ = true;
    uint32_t failOpen_ = 0;
    int failSends_ = 0;
    uint32_t copyLimit_ = UINT32_MAX;
    int failReceives_ = 0;
    int failedReceives_ = 0;
    int opens_ = 0;
    int released_ = 0;
    uint64_t queueLength_ = 0;
    uint64_t queueTime_ = 0;
    uint32_t meterClock_;
};

// Packets for the tests: an IPv4 UDP packet of `length` bytes in all, an IPv4
// ICMP echo and an IPv6 ICMPv6 echo between two addresses.
std::vector<uint8_t> ipv4_udp_packet(uint32_t length);
std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4]);
std::vector<uint8_t> ipv6_icmp_echo(const uint8_t source[16], const uint8_t destination[16]);

} // namespace kestrune::test

#endif
