#include "memory_diversion.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrune::test {

using platform::DivertAddress;
using platform::kDivertErrorInvalidHandle;
using platform::kDivertSuccess;

// One open of the in-memory diversion; all state lives in the backend. The
// shaper deletes a handle before it opens the next.
class MemoryDiversion::Handle final : public platform::Diversion {
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
        return kDivertSuccess;
    }

    uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                  DivertAddress *address) noexcept override
    {
        std::unique_lock<std::mutex> lock(owner_.lock_);
        owner_.changed_.wait(lock, [&] { return !state_.open || !owner_.input_.empty() || state_.failReceives > 0; });
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
        *address = DivertAddress{};
        address->outbound = address->backendDirection = next.outbound ? 1 : 0;
        address->backendId = next.number;
        state_.held.push_back(next.number);
        return kDivertSuccess;
    }

    // A held packet sent back in its own direction is accepted; in the other, it
    // is dropped and the bytes are injected as a new packet.
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!state_.open)
            return kDivertErrorInvalidHandle;
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
        return kDivertSuccess;
    }

    uint32_t drop(const DivertAddress *address) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!state_.open)
            return kDivertErrorInvalidHandle;
        if (take_held(address))
            record({Kind::Dropped, {}, address->backendDirection != 0});
        return kDivertSuccess;
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
    bool take_held(const DivertAddress *address)
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

MemoryDiversion::MemoryDiversion(uint32_t meterStart)
{
    state_.meterClock = meterStart;
    platform::install_diversion_backend(this);
}

MemoryDiversion::~MemoryDiversion()
{
    platform::install_diversion_backend(nullptr);
}

void MemoryDiversion::inject(std::vector<uint8_t> bytes, bool outbound, uint32_t fullLength)
{
    std::lock_guard<std::mutex> lock(lock_);
    input_.push_back({nextNumber_++, std::move(bytes), outbound, fullLength});
    changed_.notify_all();
}

bool MemoryDiversion::wait_until(const std::function<bool(const State &)> &done)
{
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return done(state_); });
}

uint32_t MemoryDiversion::open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                               platform::Diversion **diversion) noexcept
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
    return kDivertSuccess;
}

std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4])
{
    std::vector<uint8_t> packet = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 1 /* ICMP */, 0, 0};
    packet.insert(packet.end(), source, source + 4);
    packet.insert(packet.end(), destination, destination + 4);
    packet.insert(packet.end(), {8 /* echo request */, 0, 0, 0, 0, 0, 0, 0});
    return packet;
}

std::vector<uint8_t> ipv6_icmp_echo(const uint8_t source[16], const uint8_t destination[16])
{
    std::vector<uint8_t> packet = {0x60, 0, 0, 0, 0, 8, 58 /* ICMPv6 */, 64};
    packet.insert(packet.end(), source, source + 16);
    packet.insert(packet.end(), destination, destination + 16);
    packet.insert(packet.end(), {128 /* echo request */, 0, 0, 0, 0, 0, 0, 0});
    return packet;
}

} // namespace kestrune::test
