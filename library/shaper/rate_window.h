// RateWindow: the sliding one-second byte meter of the shaper. One slot per
// millisecond; times are compared through signed 32-bit differences so that the
// millisecond clock may wrap. Not thread-safe: the shaper's mutex guards it.
#ifndef KESTRUNE_SHAPER_RATE_WINDOW_H
#define KESTRUNE_SHAPER_RATE_WINDOW_H

#include <cstdint>

namespace kestrune::shaper {

struct RateWindow {
    static constexpr int32_t kSlots = 1000;

    int32_t initialized;  // 0 until the first sample
    uint32_t oldestSlot;  // ring index of the oldest millisecond of the window
    uint32_t oldestTime;  // that millisecond
    int64_t totalBytes;   // sum of byteSlots
    int32_t totalCount;   // sum of countSlots
    int32_t windowSize;   // kSlots
    float scale;          // 1000.0: bytes per window to bytes per second
    uint32_t byteSlots[kSlots];
    uint32_t countSlots[kSlots];

    // Null when out of memory.
    static RateWindow *create() noexcept;
    static void destroy(RateWindow *window) noexcept;

    // Bytes per second over the last windowSize milliseconds, `now` included;
    // -1 while the window holds nothing.
    int32_t rate(uint32_t now) noexcept;
    void add(uint32_t bytes, uint32_t now) noexcept;
    void expire(uint32_t now) noexcept;
};

} // namespace kestrune::shaper

#endif
