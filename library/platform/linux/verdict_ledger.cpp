#include "platform/linux/verdict_ledger.h"

#include <iterator>

namespace kestrune::platform::linux_backend {

bool VerdictLedger::received(uint32_t id, uint64_t nowUs) noexcept
{
    try {
        entries_.push_back({id, State::Undecided, nowUs});
        return true;
    } catch (...) {
        return false;
    }
}

bool VerdictLedger::accept(uint32_t id) noexcept
{
    // The caller decides in the order it received, so the packet is near the back.
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->id != id)
            continue;
        if (it->state != State::Undecided)
            return false;
        it->state = State::Accept;
        if (decided_++ == 0)
            firstDecidedUs_ = it->receivedUs;
        return true;
    }
    return false;
}

bool VerdictLedger::drop(uint32_t id, VerdictSink &sink) noexcept
{
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->id != id)
            continue;
        if (it->state != State::Undecided)
            return false;
        if (sink.verdict(id, false)) {
            entries_.erase(std::next(it).base());
        } else {
            // Kept, so that no batch passes it, and due again at once.
            it->state = State::Drop;
            if (decided_++ == 0)
                firstDecidedUs_ = 0;
        }
        return true;
    }
    return false;
}

bool VerdictLedger::flush_due(uint64_t nowUs) const noexcept
{
    return decided_ >= kBatchLimit || (decided_ > 0 && nowUs - firstDecidedUs_ >= kBatchDelayUs);
}

void VerdictLedger::flush(VerdictSink &sink) noexcept
{
    if (decided_ == 0)
        return;
    size_t run = 0;
    while (run < entries_.size() && entries_[run].state == State::Accept)
        ++run;
    if (run > 0 && sink.accept_through(entries_[run - 1].id)) {
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(run));
        decided_ -= run;
    }
    // Behind a packet the batch may not pass: one verdict each.
    for (auto it = entries_.begin(); decided_ > 0 && it != entries_.end();) {
        if (it->state != State::Undecided && sink.verdict(it->id, it->state == State::Accept)) {
            it = entries_.erase(it);
            --decided_;
        } else {
            ++it;
        }
    }
}

void VerdictLedger::expire(uint64_t nowUs, uint64_t limitUs, VerdictSink &sink) noexcept
{
    flush(sink);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->state != State::Undecided || nowUs - it->receivedUs < limitUs) {
            ++it;
        } else if (sink.verdict(it->id, false)) {
            it = entries_.erase(it);
        } else {
            it->state = State::Drop;
            if (decided_++ == 0)
                firstDecidedUs_ = 0;
            ++it;
        }
    }
}

void VerdictLedger::clear() noexcept
{
    entries_.clear();
    decided_ = 0;
}

} // namespace kestrune::platform::linux_backend
