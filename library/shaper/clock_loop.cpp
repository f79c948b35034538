// The clock loop: runs the stage step every 40 ms even when no packet arrives,
// so that a stop or a change of the enable switch takes effect, and ends the run:
// it closes the diversion, which ends a receive pending in the receive loop.
#include <thread>

#include "platform/diversion.h"
#include "shaper/shaper_state.h"
#include "shaper/shaping_stage.h"

namespace kestrune::shaper {

namespace {
constexpr uint32_t kPeriodMs = 40;
}

int clockLoop() noexcept
{
    platform::DiversionBackend &clock = platform::diversion_backend();
    std::timed_mutex &mutex = *shaperState.mutex;
    for (;;) {
        uint32_t t0 = clock.tick_clock_ms();
        switch (waitForMutex(mutex, std::chrono::milliseconds(kPeriodMs))) {
        case MutexWait::Acquired: {
            runStageStep();
            flushPackets();
            mutex.unlock();
            uint32_t elapsed = clock.tick_clock_ms() - t0;
            if (elapsed < kPeriodMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs - elapsed));
            break;
        }
        case MutexWait::TimedOut:
            std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
            break;
        case MutexWait::Failed:
            shaperState.stopFlag.fetch_add(1);
            break;
        }
        if (shaperState.stopFlag.load(std::memory_order_acquire) == 0)
            continue;
        bool held = waitForMutex(mutex, std::chrono::milliseconds(-1)) == MutexWait::Acquired;
        // Close the stage whether or not the switch is still set, so that the
        // meter of the run is released with it.
        closeStage();
        flushPackets();
        shaperState.diversion->close();
        if (held)
            mutex.unlock();
        return 0;
    }
}

} // namespace kestrune::shaper
