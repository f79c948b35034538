// The packet shaper as the network permits see it: holds the machine's traffic,
// both directions together, to a rate in kilobytes (1000 bytes) per second.
// Caller's thread only; start and stop must not run at the same time.
#ifndef KESTRUNE_SHAPER_SHAPER_H
#define KESTRUNE_SHAPER_SHAPER_H

#include <cstdint>

namespace kestrune::shaper {

// 0 when the shaper started, -1 when it did not: it runs already (and keeps its
// old limit), or the diversion, the mutex or a thread could not be had. Every
// call records `speed` as the start speed. `speed` is at most 1000000.
int32_t startShaper(uint32_t speed) noexcept;

// Disables shaping; when the shaper runs, ends both loops and returns once both
// threads have ended and everything of the run is released.
void stopShaper() noexcept;

// The speed of the most recent start request; 1000000 before any.
int32_t shaperStartSpeed() noexcept;

} // namespace kestrune::shaper

#endif
