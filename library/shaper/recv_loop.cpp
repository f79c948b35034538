// The receive loop: takes each diverted packet, and within one hold of the mutex
// lists it, runs the stage over it and puts back what the stage left.
#include "platform/diversion.h"
#include "shaper/shaper_state.h"
#include "shaper/shaping_stage.h"

namespace kestrune::shaper {

namespace {
constexpr uint32_t kReceiveBufferSize = 65535;
}

int recvLoop() noexcept
{
    platform::Diversion *diversion = shaperState.diversion;
    std::timed_mutex &mutex = *shaperState.mutex;
    uint8_t buffer[kReceiveBufferSize]; // on the thread's stack: one per run
    for (;;) {
        uint32_t length = 0;
        platform::DivertAddress address{};
        uint32_t result = diversion->recv(buffer, kReceiveBufferSize, &length, &address);
        if (result == platform::kDivertErrorInvalidHandle || result == platform::kDivertErrorOperationAborted)
            return 0;
        if (result != platform::kDivertSuccess)
            continue;
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
        uint32_t captured = length < kReceiveBufferSize ? length : kReceiveBufferSize;
        DivertedPacket *packet = newPacket(buffer, captured, length, address);
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
