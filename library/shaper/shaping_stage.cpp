// The bandwidth stage: drops each packet that would raise the bytes passed during
// the last second above the limit. Packets are dropped, never delayed; inbound and
// outbound packets share one budget, and dropped packets are not counted.
#include "shaper/shaping_stage.h"

#include "platform/diversion.h"
#include "shaper/shaper_state.h"

namespace kestrune::shaper {

namespace {

constexpr uint32_t kMaxSpeedKBps = 1000000;
std::atomic<uint16_t> enabled{0};

bool startBandwidth(uint32_t speed)
{
    if (speed <= kMaxSpeedKBps)
        bandwidthLimitKBps = static_cast<int32_t>(speed);
    RateWindow::destroy(rateWindow);
    rateWindow = RateWindow::create();
    return rateWindow != nullptr;
}

void closeBandwidth(DivertedPacket *, DivertedPacket *)
{
    RateWindow::destroy(rateWindow);
    rateWindow = nullptr;
}

int16_t processBandwidth(DivertedPacket *head, DivertedPacket *tail)
{
    return shapeBandwidth(head, tail);
}

} // namespace

int32_t bandwidthLimitKBps = 0;
RateWindow *rateWindow = nullptr;

ShapingStage shapingStage{
    "Bandwidth", "bandwidth", &enabled, startBandwidth, closeBandwidth, processBandwidth, 0, 1000000,
};

int16_t shapeBandwidth(DivertedPacket *head, DivertedPacket *tail) noexcept
{
    uint32_t now = platform::diversion_backend().meter_clock_ms();
    // A kilobyte is 1000 bytes; the largest limit, 10^9 bytes, fits 32 bits.
    int64_t limitBytes = static_cast<int64_t>(bandwidthLimitKBps) * 1000;
    if (limitBytes < 0 || rateWindow == nullptr)
        return 0;
    int16_t dropped = 0;
    for (DivertedPacket *packet = head->next; packet != tail;) {
        DivertedPacket *next = packet->next;
        // 64-bit sum: a saturated rate plus a packet must not overflow.
        int64_t rate = rateWindow->rate(now);
        if (rate + packet->length > limitBytes) {
            unlinkPacket(packet);
            dropPacket(packet);
            dropped = 1;
        } else {
            rateWindow->add(packet->length, now);
        }
        packet = next;
    }
    return dropped;
}

void runStageStep() noexcept
{
    ShapingStage &stage = shapingStage;
    if (stage.enableSwitch->load(std::memory_order_relaxed) != 0) {
        if (!stage.active && stage.startHook(static_cast<uint32_t>(stage.startSpeed.load(std::memory_order_relaxed))))
            stage.active = 1;
        stage.processHook(&packetList.head, &packetList.tail);
    } else if (stage.active) {
        closeStage();
    }
}

void closeStage() noexcept
{
    if (!shapingStage.active)
        return;
    shapingStage.closeHook(&packetList.head, &packetList.tail);
    shapingStage.active = 0;
}

} // namespace kestrune::shaper
