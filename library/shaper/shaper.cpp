// Start and stop of the shaper. A start that fails part-way releases what it had
// acquired, and a stop releases everything of the run once both threads ended, so
// that no handle, thread or allocation outlives its run.
#include "shaper/shaper.h"

#include <cstdio>
#include <new>
#include <system_error>

#include "core/log.h"
#include "platform/diversion.h"
#include "shaper/shaper_state.h"
#include "shaper/shaping_stage.h"

namespace kestrune::shaper {

ShaperState shaperState{};

namespace {

constexpr uint64_t kQueueLength = 2048;
constexpr uint64_t kQueueTimeMs = 1024;

void logStartFailure(const char *function, int line, const char *text)
{
    log_printf("E KestruneCtl %s %d: %s\r\n", function, line, text);
}

// A thread running `loop`; null, with the failure logged, when none could be made.
std::thread *startLoop(int (*loop)() noexcept, const char *name)
{
    unsigned long code = 0;
    try {
        return new std::thread(loop);
    } catch (const std::system_error &failure) {
        code = static_cast<unsigned long>(failure.code().value());
    } catch (...) {
        code = platform::kDivertErrorNotEnoughMemory;
    }
    char text[512] = {};
    std::snprintf(text, sizeof text, "Failed to create %s thread (%lu)", name, code);
    logStartFailure("startShaper", __LINE__, text);
    return nullptr;
}

// Ends a receive loop that runs without its clock loop, then releases the run:
// the meter, the diversion, the mutex and the thread objects. No loop runs after
// the joins, so the stage is closed without the mutex.
void releaseRun() noexcept
{
    ShaperState &state = shaperState;
    if (state.recvThread != nullptr && state.recvThread->joinable()) {
        state.stopFlag.fetch_add(1);
        if (waitForMutex(*state.mutex, std::chrono::milliseconds(-1)) == MutexWait::Acquired) {
            state.diversion->close();
            state.mutex->unlock();
        } else {
            state.diversion->close();
        }
        state.recvThread->join();
    }
    closeStage();
    if (state.diversion != nullptr)
        state.diversion->close();
    delete state.diversion;
    state.diversion = nullptr;
    delete state.mutex;
    state.mutex = nullptr;
    delete state.recvThread;
    state.recvThread = nullptr;
    delete state.clockThread;
    state.clockThread = nullptr;
}

} // namespace

int32_t startShaper(uint32_t speed) noexcept
{
    ShaperState &state = shaperState;
    shapingStage.startSpeed.store(static_cast<int32_t>(speed), std::memory_order_relaxed);
    shapingStage.enableSwitch->store(1, std::memory_order_relaxed);
    if (state.running == 1)
        return -1;

    char text[512] = {};
    uint32_t error = platform::diversion_backend().open("outbound or inbound", platform::DivertLayer::Network, 0,
                                                        0, &state.diversion);
    if (error != platform::kDivertSuccess) {
        state.diversion = nullptr;
        if (error == platform::kDivertErrorInvalidParameter)
            std::snprintf(text, sizeof text, "Failed to start filtering : filter syntax error.");
        else if (error == platform::kDivertErrorBusy)
            std::snprintf(text, sizeof text,
                          "Failed to start filtering : another process already limits the bandwidth of this "
                          "network (code:%lu).",
                          static_cast<unsigned long>(error));
        else
            std::snprintf(text, sizeof text,
                          "Failed to start filtering : failed to open device (code:%lu).\n"
                          "Make sure you run program as Administrator.",
                          static_cast<unsigned long>(error));
        logStartFailure(__func__, __LINE__, text);
        return -1;
    }
    (void)state.diversion->set_param(platform::DivertParam::QueueLength, kQueueLength);
    (void)state.diversion->set_param(platform::DivertParam::QueueTime, kQueueTimeMs);

    linkPacketList();
    shapingStage.active = 0;
    state.stopFlag.store(0);

    state.mutex = new (std::nothrow) std::timed_mutex;
    if (state.mutex == nullptr) {
        std::snprintf(text, sizeof text, "Failed to create mutex (%lu)",
                      static_cast<unsigned long>(platform::kDivertErrorNotEnoughMemory));
        logStartFailure(__func__, __LINE__, text);
        releaseRun();
        return -1;
    }
    // The first stage step runs here, before any loop exists: the run's limit is
    // then the speed of the start that began it, never that of a refused start
    // which came in before a loop reached its first step.
    state.mutex->lock();
    runStageStep();
    state.mutex->unlock();
    state.recvThread = startLoop(recvLoop, "recv loop");
    if (state.recvThread == nullptr) {
        releaseRun();
        return -1;
    }
    state.clockThread = startLoop(clockLoop, "clock loop");
    if (state.clockThread == nullptr) {
        releaseRun();
        return -1;
    }
    state.running = 1;
    return 0;
}

void stopShaper() noexcept
{
    ShaperState &state = shaperState;
    shapingStage.enableSwitch->store(0, std::memory_order_relaxed);
    if (state.running == 0)
        return;
    state.stopFlag.fetch_add(1);
    // Joining our own joinable threads from the caller's thread cannot fail.
    state.recvThread->join();
    state.clockThread->join();
    releaseRun();
    state.running = 0;
}

int32_t shaperStartSpeed() noexcept
{
    return shapingStage.startSpeed.load(std::memory_order_relaxed);
}

} // namespace kestrune::shaper
