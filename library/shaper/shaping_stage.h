// The one processing stage of the shaper, known to the loops only through its
// record of hooks, and its process hook `shapeBandwidth`, which decides which
// packets are dropped.
#ifndef KESTRUNE_SHAPER_SHAPING_STAGE_H
#define KESTRUNE_SHAPER_SHAPING_STAGE_H

#include <atomic>
#include <cstdint>

#include "shaper/packet_list.h"
#include "shaper/rate_window.h"

namespace kestrune::shaper {

struct ShapingStage {
    const char *displayName;
    const char *shortName;
    // Nonzero asks the stage to shape. Written by start and stop on the caller's
    // thread, read by the loops at their next step.
    std::atomic<uint16_t> *enableSwitch;
    // Sets the limit and creates a fresh meter; false when the meter could not be
    // allocated, so that the next step tries again.
    bool (*startHook)(uint32_t speed);
    void (*closeHook)(DivertedPacket *head, DivertedPacket *tail);
    int16_t (*processHook)(DivertedPacket *head, DivertedPacket *tail);
    int16_t active; // the start hook has run and the close hook has not run since; mutex
    std::atomic<int32_t> startSpeed; // speed of the most recent start request
};

extern ShapingStage shapingStage;

// Guarded by the shaper's mutex.
extern int32_t bandwidthLimitKBps;
extern RateWindow *rateWindow;

int16_t shapeBandwidth(DivertedPacket *head, DivertedPacket *tail) noexcept;

// The stage step of both loops, mutex held: start the stage when it is enabled
// and inactive, then shape; close it when it is disabled and active.
void runStageStep() noexcept;
// Closes the stage if it is active; mutex held.
void closeStage() noexcept;

} // namespace kestrune::shaper

#endif
