// Measured traffic from far to near through the namespace lab: timed arrivals
// of a paced UDP flow or of one TCP stream.
#ifndef KESTRUNE_BENCH_TRAFFIC_H
#define KESTRUNE_BENCH_TRAFFIC_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "netns_lab.h"

namespace kestrune::bench {

// A stream of timed arrivals: (milliseconds since start, bytes).
struct Arrivals {
    std::vector<std::pair<double, uint64_t>> samples;
    double actionStartMs = 0; // when the flow's action began and ended
    double actionEndMs = 0;
    // The most bytes that arrived within any `span` ms.
    uint64_t max_in(double span) const;
    // Bytes that arrived in [from, to) ms.
    uint64_t between(double from, double to) const;
};

// Traffic from far to near, for `duration`. UDP datagrams of 1472 bytes offered at
// `offeredKBps`; TCP as fast as one stream goes. Records arrivals at near. A flow
// can run `action` on a thread of its own `actionAt` into the flow.
Arrivals udp_flow(NetnsLab &lab, uint32_t offeredKBps, std::chrono::milliseconds duration, uint16_t port,
                  std::function<void()> action = {},
                  std::chrono::milliseconds actionAt = std::chrono::milliseconds(0));
Arrivals tcp_flow(NetnsLab &lab, std::chrono::milliseconds duration, uint16_t port, std::function<void()> action = {},
                  std::chrono::milliseconds actionAt = std::chrono::milliseconds(0));

} // namespace kestrune::bench

#endif
