// An in-memory diversion for tests: the test process is the network. Packets the
// test injects are what the shaper receives; every verdict the shaper gives is
// recorded; the meter's clock stands still until the test moves it. Installed
// through the same seam the product uses.
#ifndef KESTRUNE_TESTS_SHAPER_MEMORY_DIVERSION_H
#define KESTRUNE_TESTS_SHAPER_MEMORY_DIVERSION_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
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
    explicit MemoryDiversion(uint32_t meterStart = 1000)
    {
        state_.meterClock = meterStart;
        platform::install_diversion_backend(this);
    }
    ~MemoryDiversion() override { platform::install_diversion_backend(nullptr); }

    // Queues a packet for the shaper to receive; `fullLength` (when larger than
    // the bytes) is the length the queue reports.
    void inject(std::vector<uint8_t> bytes, bool outbound, uint32_t fullLength = 0)
    {
        std::lock_guard<std::mutex> lock(lock_);
        input_.push_back({nextNumber_++, std::move(bytes), outbound, fullLength});
        changed_.notify_all();
    }
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
    bool wait_until(const std::function<bool(const State &)> &done)
    {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return done(state_); });
    }
    bool wait_for_verdicts(size_t count)
    {
        return wait_until([count](const State &state) { return state.verdicts.size() >= count; });
    }

    // platform::DiversionBackend
    uint32_t open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                  platform::Diversion **diversion) noexcept override
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (uint32_t code = std::exchange(state_.failOpen, 0))
            return code;
        if (filter == nullptr || std::strcmp(filter, "outbound or inbound") != 0 ||
            layer != platform::DivertLayer::Network || priority != 0 || flags != 0)
            return platform::kDivertErrorInvalidParameter;
        *diversion = new Handle(*this);
        state_.open = true;
        ++state_.opens;
        return platform::kDivertSuccess;
    }
    uint32_t meter_clock_ms() noexcept override
    {
        return with([](State &state) { return state.meterClock; });
    }
    uint32_t tick_clock_ms() noexcept override { return platform::steady_clock_ms(); }

private:
    // One open of the in-memory diversion; all state lives in the backend. The
    // shaper deletes a handle before it opens the next.
    class Handle final : public platform::Diversion {
    public:
        explicit Handle(MemoryDiversion &owner) : owner_(owner), state_(owner.state_) {}
        ~Handle() override
        {
            close();
            std::lock_guard<std::mutex> lock(owner_.lock_);
            ++state_.released;
        }

        uint32_t set_param(platform::DivertParam param, uint64_t value) noexcept override
        {
            std::lock_guard<std::mutex> lock(owner_.lock_);
            (param == platform::DivertParam::QueueLength ? state_.queueLength : state_.queueTime) = value;
            return platform::kDivertSuccess;
        }

        uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                      platform::DivertAddress *address) noexcept override
        {
            std::unique_lock<std::mutex> lock(owner_.lock_);
            owner_.changed_.wait(lock,
                                 [&] { return !state_.open || !owner_.input_.empty() || state_.failReceives > 0; });
            if (!state_.open)
                return platform::kDivertErrorOperationAborted;
            if (state_.failReceives > 0) {
                --state_.failReceives;
                owner_.changed_.notify_all();
                return platform::kDivertErrorGenFailure;
            }
            Pending next = std::move(owner_.input_.front());
            owner_.input_.pop_front();
            auto size = static_cast<uint32_t>(next.bytes.size());
            *captured = std::min(size, capacity);
            std::memcpy(packet, next.bytes.data(), *captured);
            *length = std::max(size, next.fullLength);
            *address = platform::DivertAddress{};
            address->outbound = address->backendDirection = next.outbound ? 1 : 0;
            address->backendId = next.number;
            state_.held.push_back(next.number);
            return platform::kDivertSuccess;
        }

        // A held packet sent back in its own direction is accepted; in the other,
        // it is dropped and the bytes are injected as a new packet.
        uint32_t send(const void *packet, uint32_t length, uint32_t *sent,
                      const platform::DivertAddress *address) noexcept override
        {
            std::lock_guard<std::mutex> lock(owner_.lock_);
            if (!state_.open)
                return platform::kDivertErrorInvalidHandle;
            const auto *bytes = static_cast<const uint8_t *>(packet);
            Verdict verdict{Kind::Injected, std::vector<uint8_t>(bytes, bytes + length), address->outbound != 0};
            if (take_held(address)) {
                if (state_.failSends > 0) {
                    --state_.failSends;
                    state_.held.push_back(address->backendId);
                    return platform::kDivertErrorGenFailure;
                }
                if (address->outbound == address->backendDirection)
                    verdict.kind = Kind::Accepted;
                else
                    record({Kind::Dropped, {}, address->backendDirection != 0});
            }
            record(std::move(verdict));
            *sent = length;
            return platform::kDivertSuccess;
        }

        uint32_t drop(const platform::DivertAddress *address) noexcept override
        {
            std::lock_guard<std::mutex> lock(owner_.lock_);
            if (!state_.open)
                return platform::kDivertErrorInvalidHandle;
            if (take_held(address))
                record({Kind::Dropped, {}, address->backendDirection != 0});
            return platform::kDivertSuccess;
        }

        // Like the kernel at unbind: whatever still waits for a verdict is dropped.
        void close() noexcept override
        {
            std::lock_guard<std::mutex> lock(owner_.lock_);
            if (!state_.open)
                return;
            for (size_t i = 0; i < state_.held.size(); ++i)
                record({Kind::Dropped, {}, false});
            state_.held.clear();
            owner_.input_.clear();
            state_.open = false;
            owner_.changed_.notify_all();
        }

    private:
        bool take_held(const platform::DivertAddress *address)
        {
            auto it = std::find(state_.held.begin(), state_.held.end(), address->backendId);
            if (it == state_.held.end())
                return false;
            state_.held.erase(it);
            return true;
        }

        void record(Verdict verdict)
        {
            state_.verdicts.push_back(std::move(verdict));
            owner_.changed_.notify_all();
        }

        MemoryDiversion &owner_;
        State &state_;
    };

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
inline std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4])
{
    std::vector<uint8_t> packet = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 1 /* ICMP */, 0, 0};
    packet.insert(packet.end(), source, source + 4);
    packet.insert(packet.end(), destination, destination + 4);
    packet.insert(packet.end(), {8 /* echo request */, 0, 0, 0, 0, 0, 0, 0});
    return packet;
}

inline std::vector<uint8_t> ipv6_icmp_echo(const uint8_t source[16], const uint8_t destination[16])
{
    std::vector<uint8_t> packet = {0x60, 0, 0, 0, 0, 8, 58 /* ICMPv6 */, 64};
    packet.insert(packet.end(), source, source + 16);
    packet.insert(packet.end(), destination, destination + 16);
    packet.insert(packet.end(), {128 /* echo request */, 0, 0, 0, 0, 0, 0, 0});
    return packet;
}

} // namespace kestrune::test

#endif
