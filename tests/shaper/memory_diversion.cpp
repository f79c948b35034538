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
    explicit Handle(MemoryDiversion &owner) : owner_(owner) {}
    ~Handle() override
    {
        close();
        std::lock_guard<std::mutex> lock(owner_.lock_);
        ++owner_.released_;
    }

    uint32_t set_param(platform::DivertParam param, uint64_t value) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        (param == platform::DivertParam::QueueLength ? owner_.queueLength_ : owner_.queueTime_) = value;
        return kDivertSuccess;
    }

    uint32_t recv(void *packet, uint32_t capacity, uint32_t *captured, uint32_t *length,
                  DivertAddress *address) noexcept override
    {
        std::unique_lock<std::mutex> lock(owner_.lock_);
        if (!current())
            return kDivertErrorInvalidHandle;
        owner_.changed_.wait(lock, [&] { return !current() || !owner_.input_.empty() || owner_.failReceives_ > 0; });
        if (!current())
            return platform::kDivertErrorOperationAborted;
        if (owner_.failReceives_ > 0) {
            --owner_.failReceives_;
            ++owner_.failedReceives_;
            owner_.changed_.notify_all();
            return platform::kDivertErrorGenFailure;
        }
        Pending next = std::move(owner_.input_.front());
        owner_.input_.pop_front();
        auto size = static_cast<uint32_t>(next.bytes.size());
        *captured = std::min({size, capacity, owner_.copyLimit_});
        std::memcpy(packet, next.bytes.data(), *captured);
        *length = std::max(size, next.fullLength);
        *address = DivertAddress{};
        address->outbound = address->backendDirection = next.outbound ? 1 : 0;
        address->backendId = next.number;
        owner_.held_.push_back(next.number);
        return kDivertSuccess;
    }

    // A held packet sent back in its own direction is accepted; in the other, it
    // is dropped and the bytes are injected as a new packet.
    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!current())
            return kDivertErrorInvalidHandle;
        const auto *bytes = static_cast<const uint8_t *>(packet);
        Verdict verdict{Kind::Injected, std::vector<uint8_t>(bytes, bytes + length), address->outbound != 0};
        if (take_held(address)) {
            if (owner_.failSends_ > 0) {
                --owner_.failSends_;
                owner_.held_.push_back(address->backendId);
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
        if (!current())
            return kDivertErrorInvalidHandle;
        if (take_held(address))
            record({Kind::Dropped, {}, address->backendDirection != 0});
        return kDivertSuccess;
    }

    void close() noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!current())
            return;
        // Like the kernel at unbind: whatever still waits for a verdict is dropped.
        for (size_t i = 0; i < owner_.held_.size(); ++i)
            record({Kind::Dropped, {}, false});
        owner_.held_.clear();
        owner_.input_.clear();
        owner_.closed_ = true;
        owner_.changed_.notify_all();
    }

private:
    bool current() const { return !owner_.closed_; }

    bool take_held(const DivertAddress *address)
    {
        auto it = std::find(owner_.held_.begin(), owner_.held_.end(), address->backendId);
        if (it == owner_.held_.end())
            return false;
        owner_.held_.erase(it);
        return true;
    }

    void record(Verdict verdict)
    {
        owner_.verdicts_.push_back(std::move(verdict));
        owner_.changed_.notify_all();
    }

    MemoryDiversion &owner_;
};

MemoryDiversion::MemoryDiversion(uint32_t meterStart) : meterClock_(meterStart)
{
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

void MemoryDiversion::fail_receives(int count)
{
    std::lock_guard<std::mutex> lock(lock_);
    failReceives_ = count;
    failedReceives_ = 0;
    changed_.notify_all();
}

bool MemoryDiversion::wait_for_failed_receives(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return failedReceives_ >= count; });
}

bool MemoryDiversion::wait_for_verdicts(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return verdicts_.size() >= count; });
}

uint32_t MemoryDiversion::open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                               platform::Diversion **diversion) noexcept
{
    std::lock_guard<std::mutex> lock(lock_);
    if (uint32_t code = std::exchange(failOpen_, 0))
        return code;
    if (filter == nullptr || std::strcmp(filter, "outbound or inbound") != 0 ||
        layer != platform::DivertLayer::Network || priority != 0 || flags != 0)
        return platform::kDivertErrorInvalidParameter;
    *diversion = new Handle(*this);
    closed_ = false;
    ++opens_;
    return kDivertSuccess;
}

std::vector<uint8_t> ipv4_udp_packet(uint32_t length)
{
    std::vector<uint8_t> packet(std::max(length, 20u), 0);
    packet[0] = 0x45;
    packet[2] = static_cast<uint8_t>(length >> 8);
    packet[3] = static_cast<uint8_t>(length);
    packet[8] = 64;
    packet[9] = 17;
    return packet;
}

std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4])
{
    std::vector<uint8_t> packet = ipv4_udp_packet(28);
    packet[9] = 1;
    std::memcpy(&packet[12], source, 4);
    std::memcpy(&packet[16], destination, 4);
    packet[20] = 8; // echo request
    return packet;
}

std::vector<uint8_t> ipv6_icmp_echo(const uint8_t source[16], const uint8_t destination[16])
{
    std::vector<uint8_t> packet(48, 0);
    packet[0] = 0x60;
    packet[5] = 8;   // payload length
    packet[6] = 58;  // ICMPv6
    packet[7] = 64;
    std::memcpy(&packet[8], source, 16);
    std::memcpy(&packet[24], destination, 16);
    packet[40] = 128; // echo request
    return packet;
}

} // namespace kestrune::test
