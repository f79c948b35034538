// Two network namespaces of the benchmark's own, "near" (where the limiter runs) and
// "far", joined by a veth pair: near 198.18.0.1, far 198.18.0.2 (the range set
// aside for benchmarks). The namespaces exist only while the lab holds them: when
// the lab or the whole process goes, they vanish with their links and rules, so
// nothing is left behind even when a run fails. Never touches the namespace the
// process started in, except to return the calling thread to it.
#ifndef KESTRUNE_BENCH_NETNS_LAB_H
#define KESTRUNE_BENCH_NETNS_LAB_H

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::bench {

class NetnsLab {
public:
    enum Side { Near, Far };

    NetnsLab() = default;
    ~NetnsLab();
    NetnsLab(const NetnsLab &) = delete;
    NetnsLab &operator=(const NetnsLab &) = delete;

    // Builds the namespaces and the link; false with reason() when the machine
    // cannot (no root, no namespaces, no veth).
    bool create();
    const std::string &reason() const { return reason_; }

    // Moves the calling thread into a side, or back to where it started.
    bool enter(Side side);
    void leave();
    // A socket that lives in `side`, made without moving the caller for long.
    int socket_in(Side side, int domain, int type);
    static sockaddr_in address(Side side, uint16_t port);

    // Runs a system tool inside `side`, at most 10 s; its exit status, or -1.
    int run(Side side, const std::vector<std::string> &argv);

    // Sets the Ethernet permission through the export from the near namespace,
    // so that the shaper's threads, queue and rules live there.
    int set_net_permit(int permission, uint32_t speed);

private:
    int home_ = -1;
    int near_ = -1;
    int far_ = -1;
    std::string reason_;
};

// The kernel refuses a timeval of a second or more in microseconds alone, and
// then leaves the socket without any timeout.
void set_receive_timeout(int fd, int ms);

} // namespace kestrune::bench

#endif
