// What the shaper's start, stop and its two loops share. The loops touch the
// diversion, the packet list and the stage only while they hold `mutex`; the
// caller's thread owns `running` and the thread objects.
#ifndef KESTRUNE_SHAPER_SHAPER_STATE_H
#define KESTRUNE_SHAPER_SHAPER_STATE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/diversion.h"
#include "shaper/packet_list.h"

namespace kestrune::shaper {

struct ShaperState {
    platform::Diversion *diversion;   // the run's open diversion
    std::timed_mutex *mutex;          // created anew by every start
    // On the heap: a std::thread object destroyed while joinable ends the process,
    // and the shaper may still run when the process exits.
    std::thread *recvThread;
    std::thread *clockThread;
    std::atomic<uint16_t> stopFlag;   // nonzero asks both loops to end; raised by increments
    int32_t running;                  // 1 from a complete start until stop has joined both threads
};

extern ShaperState shaperState;

enum class MutexWait { Acquired, TimedOut, Failed };

// Waits for the shaper's mutex, for `timeout` or, when it is negative, without
// limit. A lock that the runtime refuses (it throws) is Failed.
inline MutexWait waitForMutex(std::timed_mutex &mutex, std::chrono::milliseconds timeout) noexcept
{
    try {
        if (timeout.count() < 0) {
            mutex.lock();
            return MutexWait::Acquired;
        }
        // A deadline on the system clock waits through pthread_mutex_timedlock,
        // which every thread checker understands; only a clock step during the
        // 40 ms could lengthen the wait, and then only while the mutex stays held.
        return mutex.try_lock_until(std::chrono::system_clock::now() + timeout) ? MutexWait::Acquired
                                                                                : MutexWait::TimedOut;
    } catch (...) {
        return MutexWait::Failed;
    }
}

// Thread procedures of a run.
int recvLoop() noexcept;
int clockLoop() noexcept;

// Puts every listed packet back; mutex held.
void flushPackets() noexcept;
// Gives a packet its drop verdict and frees it; mutex held, packet unlinked.
void dropPacket(DivertedPacket *packet) noexcept;

} // namespace kestrune::shaper

#endif
