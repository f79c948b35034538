#include "shaper/rate_window.h"

#include <cstring>
#include <limits>
#include <new>

namespace kestrune::shaper {

namespace {
// Wrap-safe ordering of two clock readings.
int32_t since(uint32_t later, uint32_t earlier)
{
    return static_cast<int32_t>(later - earlier);
}
} // namespace

RateWindow *RateWindow::create() noexcept
{
    auto *window = new (std::nothrow) RateWindow;
    if (window == nullptr)
        return nullptr;
    std::memset(window, 0, sizeof *window);
    window->windowSize = kSlots;
    window->scale = 1000.0f;
    return window;
}

void RateWindow::destroy(RateWindow *window) noexcept
{
    delete window;
}

void RateWindow::expire(uint32_t now) noexcept
{
    if (!initialized)
        return;
    uint32_t newOldest = now - static_cast<uint32_t>(windowSize) + 1;
    if (since(newOldest, oldestTime) < 0)
        return;
    // Once the count reaches 0 every slot is 0, so the ring's rotation no longer
    // matters and the remaining milliseconds need no visit.
    while (since(oldestTime, newOldest) < 0 && totalCount != 0) {
        totalBytes -= byteSlots[oldestSlot];
        totalCount -= static_cast<int32_t>(countSlots[oldestSlot]);
        byteSlots[oldestSlot] = 0;
        countSlots[oldestSlot] = 0;
        oldestSlot = (oldestSlot + 1) % static_cast<uint32_t>(windowSize);
        ++oldestTime;
    }
    oldestTime = newOldest;
}

int32_t RateWindow::rate(uint32_t now) noexcept
{
    expire(now);
    // The milliseconds of the window not yet seen count as empty: a rate from the
    // first sample on, so that a new limit holds from its first packet instead
    // of letting a whole unmetered second through.
    if (!initialized || totalCount <= 0)
        return -1;
    float value = static_cast<float>(totalBytes) * scale / static_cast<float>(windowSize) + 0.5f;
    // Saturate: a window that holds 2^31 bytes or more must not wrap to a small rate.
    if (value >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

void RateWindow::add(uint32_t bytes, uint32_t now) noexcept
{
    if (!initialized) {
        initialized = 1;
        oldestSlot = 0;
        oldestTime = now;
        totalBytes = 0;
        totalCount = 0;
    }
    if (since(now, oldestTime) < 0)
        return;
    expire(now);
    totalCount += 1;
    totalBytes += bytes;
    uint32_t slot = (oldestSlot + now - oldestTime) % static_cast<uint32_t>(windowSize);
    byteSlots[slot] += bytes;
    countSlots[slot] += 1;
}

} // namespace kestrune::shaper
