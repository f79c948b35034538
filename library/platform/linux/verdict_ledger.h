// The packets the queue handed to the caller that still wait for their verdict,
// and the rule that turns the caller's verdicts into as few queue messages as
// possible without changing any of them.
//
// The queue numbers its packets in the order it delivers them, and its batch
// verdict accepts every packet still queued up to a number. So consecutive
// accepts at the front of the ledger go out as one batch, but a batch never
// reaches past a packet that is undecided or whose drop could not be sent: the
// accepts behind such a packet go out one by one instead. A drop is sent at
// once, on its own. Pure logic, not thread-safe: the diversion guards it.
#ifndef KESTRUNE_PLATFORM_LINUX_VERDICT_LEDGER_H
#define KESTRUNE_PLATFORM_LINUX_VERDICT_LEDGER_H

#include <cstddef>
#include <cstdint>
#include <deque>

namespace kestrune::platform::linux_backend {

// Where the verdicts go. Each call returns false when the message could not be
// sent; the ledger then keeps the packets and tries again at its next flush.
class VerdictSink {
public:
    virtual ~VerdictSink() = default;
    virtual bool verdict(uint32_t id, bool accept) noexcept = 0;
    // Accepts every packet still queued whose number is `id` or lower.
    virtual bool accept_through(uint32_t id) noexcept = 0;
};

class VerdictLedger {
public:
    // A flush is due when this many accepts wait, or when the packet of the
    // oldest was received this long ago.
    static constexpr size_t kBatchLimit = 64;
    static constexpr uint64_t kBatchDelayUs = 1000;

    // Records a packet handed to the caller; false when out of memory.
    bool received(uint32_t id, uint64_t nowUs) noexcept;
    // Records the caller's accept, sent at a later flush; false when `id` is not held.
    bool accept(uint32_t id) noexcept;
    // Sends the drop verdict at once; false when `id` is not held.
    bool drop(uint32_t id, VerdictSink &sink) noexcept;

    bool flush_due(uint64_t nowUs) const noexcept;
    // Sends every verdict the caller gave and the ledger still holds.
    void flush(VerdictSink &sink) noexcept;
    // Flushes, then drops every undecided packet held `limitUs` or longer.
    void expire(uint64_t nowUs, uint64_t limitUs, VerdictSink &sink) noexcept;
    // Forgets everything (the queue drops what is left when it is unbound).
    void clear() noexcept;

private:
    enum class State : uint8_t { Undecided, Accept, Drop };
    struct Entry {
        uint32_t id;
        State state;
        uint64_t receivedUs;
    };

    std::deque<Entry> entries_; // in the queue's order
    size_t decided_ = 0;        // entries in state Accept or Drop
    uint64_t firstDecidedUs_ = 0;
};

} // namespace kestrune::platform::linux_backend

#endif
