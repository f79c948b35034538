// The receive loop: takes each diverted packet, and within one hold of the mutex
// lists it, runs the stage over it and puts back what the stage left.
#include <algorithm>
#include <thread>

#include "platform/diversion.h"
#include "shaper/shaper_state.h"
#include "shaper/shaping_stage.h"

namespace kestrune::shaper {

namespace {

constexpr uint32_t kReceiveBufferSize = 65535;
constexpr std::chrono::milliseconds kLongestBackOff{4};

// A transient receive error is retried at once; while errors repeat, each retry
// waits twice as long as the one before, up to kLongestBackOff, so that a
// persistent failure does not spin a core. `failures` counts them in a row.
void backOff(unsigned failures)
{
    if (failures < 2)
        return;
    unsigned shift = std::min(failures - 2, 8u);
    std::this_thread::sleep_for(std::min(std::chrono::milliseconds(1LL << shift), kLongestBackOff));
}

} // namespace

int recvLoop() noexcept
{
    platform::Diversion *diversion = shaperState.diversion;
    std::timed_mutex &mutex = *shaperState.mutex;
    uint8_t buffer[kReceiveBufferSize]; // on the thread's stack: one per run
    unsigned failures = 0;
    for (;;) {
        uint32_t captured = 0, length = 0;
        platform::DivertAddress address{};
        uint32_t result = diversion->recv(buffer, kReceiveBufferSize, &captured, &length, &address);
        if (result == platform::kDivertErrorInvalidHandle || result == platform::kDivertErrorOperationAborted)
            return 0;
        if (result != platform::kDivertSuccess) {
            backOff(++failures);
            continue;
        }
        failures = 0;
        MutexWait wait = waitForMutex(mutex, std::chrono::milliseconds(-1));
        if (wait != MutexWait::Acquired) {
            // The packet cannot be held without the mutex: it gets its verdict here.
            (void)diversion->drop(&address);
            if (wait == MutexWait::Failed)
                return 0;
            continue;
        }
        if (shaperState.stopFlag.load(std::memory_order_acquire) != 0) {
            (void)diversion->drop(&address);
            mutex.unlock();
            return 0;
        }
        // Exactly the bytes received: on Linux only the headers of a large packet.
        DivertedPacket *packet = newPacket(buffer, std::min(captured, kReceiveBufferSize), length, address);
        if (packet != nullptr) {
            appendPacket(packet);
            runStageStep();
            flushPackets();
        } else {
            // Out of memory: the packet cannot be held for the meter, so it does
            // not pass unmetered either.
            (void)diversion->drop(&address);
        }
        mutex.unlock();
    }
}

} // namespace kestrune::shaper
