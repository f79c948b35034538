#include "memory_diversion.h"

#include <algorithm>
#include <cstring>

namespace kestrune::test {

using platform::DivertAddress;
using platform::kDivertErrorGenFailure;
using platform::kDivertErrorInvalidHandle;
using platform::kDivertErrorOperationAborted;
using platform::kDivertSuccess;

// One open of the in-memory diversion; all state lives in the backend.
class MemoryDiversion::Handle final : public platform::Diversion {
public:
    Handle(MemoryDiversion &owner, uint64_t generation) : owner_(owner), generation_(generation) {}
    ~Handle() override
    {
        close();
        std::lock_guard<std::mutex> lock(owner_.lock_);
        ++owner_.released_;
        owner_.changed_.notify_all();
    }

    uint32_t set_param(platform::DivertParam param, uint64_t value) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        (param == platform::DivertParam::QueueLength ? owner_.queueLength_ : owner_.queueTime_) = value;
        return kDivertSuccess;
    }

    uint32_t recv(void *packet, uint32_t capacity, uint32_t *length, DivertAddress *address) noexcept override
    {
        std::unique_lock<std::mutex> lock(owner_.lock_);
        if (!current())
            return kDivertErrorInvalidHandle;
        owner_.changed_.wait(lock, [&] { return !current() || !owner_.input_.empty(); });
        if (!current())
            return kDivertErrorOperationAborted;
        Pending next = std::move(owner_.input_.front());
        owner_.input_.pop_front();
        uint32_t size = static_cast<uint32_t>(next.bytes.size());
        std::memcpy(packet, next.bytes.data(), std::min(size, capacity));
        *length = std::max(size, next.fullLength);
        *address = DivertAddress{};
        address->outbound = next.outbound ? 1 : 0;
        address->backendDirection = address->outbound;
        address->backendId = next.number;
        address->backendGeneration = generation_;
        owner_.held_.push_back(next.number);
        return kDivertSuccess;
    }

    uint32_t send(const void *packet, uint32_t length, uint32_t *sent, const DivertAddress *address) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!current())
            return kDivertErrorInvalidHandle;
        const auto *bytes = static_cast<const uint8_t *>(packet);
        std::vector<uint8_t> copy(bytes, bytes + length);
        bool outbound = address->outbound != 0;
        if (take_held(address)) {
            if (owner_.failSends_ > 0) {
                --owner_.failSends_;
                owner_.held_.push_back(address->backendId);
                return kDivertErrorGenFailure;
            }
            if (address->outbound == address->backendDirection) {
                record({Kind::Accepted, address->backendId, std::move(copy), outbound});
            } else {
                record({Kind::Dropped, address->backendId, {}, address->backendDirection != 0});
                record({Kind::Injected, 0, std::move(copy), outbound});
            }
        } else {
            record({Kind::Injected, 0, std::move(copy), outbound});
        }
        *sent = length;
        return kDivertSuccess;
    }

    uint32_t drop(const DivertAddress *address) noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!current())
            return kDivertErrorInvalidHandle;
        if (take_held(address))
            record({Kind::Dropped, address->backendId, {}, address->backendDirection != 0});
        return kDivertSuccess;
    }

    void close() noexcept override
    {
        std::lock_guard<std::mutex> lock(owner_.lock_);
        if (!current())
            return;
        // Like the kernel at unbind: whatever still waits for a verdict is dropped.
        for (uint64_t number : owner_.held_)
            record({Kind::Dropped, number, {}, false});
        owner_.held_.clear();
        owner_.input_.clear();
        owner_.closed_ = true;
        owner_.changed_.notify_all();
    }

private:
    bool current() const { return !owner_.closed_ && owner_.generation_ == generation_; }

    bool take_held(const DivertAddress *address)
    {
        if (address->backendGeneration != generation_)
            return false;
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
    uint64_t generation_;
};

MemoryDiversion::MemoryDiversion(uint32_t meterStart) : meterClock_(meterStart)
{
    platform::install_diversion_backend(this);
}

MemoryDiversion::~MemoryDiversion()
{
    platform::install_diversion_backend(nullptr);
}

uint64_t MemoryDiversion::inject(std::vector<uint8_t> bytes, bool outbound, uint32_t fullLength)
{
    std::lock_guard<std::mutex> lock(lock_);
    uint64_t number = nextNumber_++;
    input_.push_back({number, std::move(bytes), outbound, fullLength});
    changed_.notify_all();
    return number;
}

void MemoryDiversion::set_meter_clock(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(lock_);
    meterClock_ = ms;
}

void MemoryDiversion::advance_meter_clock(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(lock_);
    meterClock_ += ms;
}

void MemoryDiversion::fail_next_open(uint32_t code)
{
    std::lock_guard<std::mutex> lock(lock_);
    failOpen_ = code;
}

void MemoryDiversion::fail_sends(int count)
{
    std::lock_guard<std::mutex> lock(lock_);
    failSends_ = count;
}

bool MemoryDiversion::wait_for_verdicts(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, timeout, [&] { return verdicts_.size() >= count; });
}

std::vector<MemoryDiversion::Verdict> MemoryDiversion::verdicts()
{
    return locked([&] { return verdicts_; });
}

size_t MemoryDiversion::held()
{
    return locked([&] { return held_.size(); });
}

int MemoryDiversion::opens()
{
    return locked([&] { return opens_; });
}

int MemoryDiversion::released()
{
    return locked([&] { return released_; });
}

bool MemoryDiversion::open_now()
{
    return locked([&] { return !closed_; });
}

uint64_t MemoryDiversion::queue_length()
{
    return locked([&] { return queueLength_; });
}

uint64_t MemoryDiversion::queue_time()
{
    return locked([&] { return queueTime_; });
}

uint32_t MemoryDiversion::open(const char *filter, platform::DivertLayer layer, int16_t priority, uint64_t flags,
                               platform::Diversion **diversion) noexcept
{
    std::lock_guard<std::mutex> lock(lock_);
    if (failOpen_ != 0) {
        uint32_t code = failOpen_;
        failOpen_ = 0;
        return code;
    }
    if (filter == nullptr || std::strcmp(filter, "outbound or inbound") != 0 ||
        layer != platform::DivertLayer::Network || priority != 0 || flags != 0)
        return platform::kDivertErrorInvalidParameter;
    auto *handle = new (std::nothrow) Handle(*this, ++generation_);
    if (handle == nullptr)
        return platform::kDivertErrorNotEnoughMemory;
    closed_ = false;
    held_.clear();
    ++opens_;
    *diversion = handle;
    return kDivertSuccess;
}

uint32_t MemoryDiversion::meter_clock_ms() noexcept
{
    std::lock_guard<std::mutex> lock(lock_);
    return meterClock_;
}

uint32_t MemoryDiversion::tick_clock_ms() noexcept
{
    return platform::steady_clock_ms();
}

std::vector<uint8_t> ipv4_udp_packet(uint32_t length)
{
    std::vector<uint8_t> packet(length, 0);
    if (length >= 20) {
        packet[0] = 0x45;
        packet[2] = static_cast<uint8_t>(length >> 8);
        packet[3] = static_cast<uint8_t>(length);
        packet[8] = 64;
        packet[9] = 17;
    }
    return packet;
}

std::vector<uint8_t> ipv4_icmp_echo(const uint8_t source[4], const uint8_t destination[4])
{
    std::vector<uint8_t> packet(28, 0);
    packet[0] = 0x45;
    packet[3] = 28;
    packet[8] = 64;
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
