// Two network namespaces of the test's own, "near" (where the limiter runs) and
// "far", joined by a veth pair: near 198.18.0.1, far 198.18.0.2 (the range set
// aside for benchmarks). The namespaces exist only while the lab holds them: when
// the lab or the whole process goes, they vanish with their links and rules, so
// nothing is left behind even when a test fails. Never touches the namespace the
// process started in, except to return the calling thread to it.
#ifndef KESTRUNE_TESTS_SHAPER_NETNS_LAB_H
#define KESTRUNE_TESTS_SHAPER_NETNS_LAB_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::test {

inline constexpr const char *kNearAddress = "198.18.0.1";
inline constexpr const char *kFarAddress = "198.18.0.2";

class NetnsLab {
public:
    enum Side { Near, Far };

    NetnsLab() = default;
    ~NetnsLab();
    NetnsLab(const NetnsLab &) = delete;
    NetnsLab &operator=(const NetnsLab &) = delete;

    // Builds the namespaces and the link; false with reason() when the machine
    // cannot (no root, no namespaces, no veth, no NFQUEUE rules).
    bool create();
    const std::string &reason() const { return reason_; }

    // Moves the calling thread into a side, or back to where it started.
    bool enter(Side side);
    void leave();
    // A socket that lives in `side`, made without moving the caller for long.
    int socket_in(Side side, int domain, int type);

    // Runs a system tool inside `side` (fork, setns, exec; no shell), at most 10 s.
    // Its exit status, or -1.
    int run(Side side, const std::vector<std::string> &argv);

private:
    int home_ = -1;
    int near_ = -1;
    int far_ = -1;
    std::string reason_;
};

// Sets the Ethernet permission through the export with the calling thread in the
// near namespace, so that the shaper's threads, queue and rules live there.
int set_net_permit(NetnsLab &lab, int permission, uint32_t speed);

// A stream of timed arrivals: (milliseconds since start, bytes).
struct Arrivals {
    std::vector<std::pair<double, uint64_t>> samples;
    double actionStartMs = 0; // when the flow's action began and ended
    double actionEndMs = 0;
    uint64_t total() const;
    // The most bytes that arrived within any `span` ms.
    uint64_t max_in(double span) const;
    // Bytes that arrived in [from, to) ms.
    uint64_t between(double from, double to) const;
};

// Datagrams from far to near that carry their number in their first 4 bytes.
class Datagrams {
public:
    Datagrams(NetnsLab &lab, uint16_t port);
    ~Datagrams();
    Datagrams(const Datagrams &) = delete;
    Datagrams &operator=(const Datagrams &) = delete;
    bool ok() const { return ok_; }

    // Numbers first .. first + count - 1, each in a datagram of `size` bytes.
    void send(uint32_t first, uint32_t count = 1, size_t size = 64);
    // The numbers that arrived, until nothing more came for `quiet`.
    std::vector<uint32_t> arrived(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));

private:
    int receiver_;
    int sender_;
    bool ok_ = false;
};

// Traffic from far to near, for `duration`. UDP datagrams of 1472 bytes offered at
// `offeredKBps`; TCP as fast as one stream goes. Records arrivals at near. A flow
// can run `action` on a thread of its own `actionAt` into the flow.
Arrivals udp_flow(NetnsLab &lab, uint32_t offeredKBps, std::chrono::milliseconds duration, uint16_t port,
                  std::function<void()> action = {},
                  std::chrono::milliseconds actionAt = std::chrono::milliseconds(0));
Arrivals tcp_flow(NetnsLab &lab, std::chrono::milliseconds duration, uint16_t port, std::function<void()> action = {},
                  std::chrono::milliseconds actionAt = std::chrono::milliseconds(0));

} // namespace kestrune::test

#endif
