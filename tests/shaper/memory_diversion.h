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
#include <functional>
#include <mutex>
#include <vector>

#include "platform/diversion.h"

namespace kestrune::test {

class MemoryDiversion final : public platform::DiversionBackend {
public:
    enum class Kind { Accepted, Dropped, Injected };
    struct Verdict {
        Kind kind;
        std::vector<uint8_t> bytes; // what send passed (Accepted, Injected)
        bool outbound;
    };
    // What the test arranges and reads back, under the lock (see `with`).
    struct State {
        uint32_t meterClock;
        uint32_t failOpen = 0;           // the next open fails with this code
        int failSends = 0;               // so many sends of received packets fail
        int failReceives = 0;            // so many receives fail with a transient error
        int opens = 0, released = 0; // released: diversions deleted
        bool open = false;
        uint64_t queueLength = 0, queueTime = 0;
        std::vector<Verdict> verdicts;
        std::vector<uint64_t> held; // received, no verdict yet
    };

    // Installs itself as the diversion backend; the destructor restores the system's.
    explicit MemoryDiversion(uint32_t meterStart = 1000);
    ~MemoryDiversion() override;

    // Queues a packet for the shaper to receive; `fullLength` (when larger than
    // the bytes) is the length the queue reports.
    void inject(std::vector<uint8_t> bytes, bool outbound, uint32_t fullLength = 0);
    // Runs `body` on the state under the lock, and wakes the receive.
    template <typename Body> auto with(Body body)
    {
        std::lock_guard<std::mutex> lock(lock_);
        changed_.notify_all();
        return body(state_);
    }
    State state()
    {
        return with([](State &state) { return state; });
    }
    // Waits until `done` holds for the state; false after 5 s.
    bool wait_until(const std::function<bool(const State &)> &done);
    bool wait_for_verdicts(size_t count)
    {
        return wait_until([count](const State &state) { return state.verdicts.size() >= count; });
    }

    // platform::DiversionBackend
    uint32_t open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                  platform::Diversion **diversion) noexcept override;
    uint32_t meter_clock_ms() noexcept override
    {
        return with([](State &state) { return state.meterClock; });
    }
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
    uint64_t nextNumber_ = 1;
    State state_;
};

// An IPv4 ICMP echo and an IPv6 ICMPv6 echo between two addresses.
std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4]);
std::vector<uint8_t> ipv6_icmp_echo(const uint8_t source[16], const uint8_t destination[16]);

} // namespace kestrune::test

#endif
