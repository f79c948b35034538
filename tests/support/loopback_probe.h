// Traffic on the loopback interface of a network namespace, for tests of the
// bandwidth limit. A network namespace belongs to a thread, so each probe runs
// on a thread of its own that enters the namespace first.
#ifndef KESTRUNE_TESTS_LOOPBACK_PROBE_H
#define KESTRUNE_TESTS_LOOPBACK_PROBE_H

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kestrune::test {

// Runs `work` on a thread inside the namespace at `path` (/proc/PID/ns/net or
// a namespace descriptor's /proc/self/fd/N); false when it cannot enter.
inline bool inside_namespace(const std::string &path, const std::function<void()> &work)
{
    bool entered = false;
    std::thread([&] {
        const int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        entered = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
        if (ns >= 0)
            close(ns);
        if (entered)
            work();
    }).join();
    return entered;
}

// A datagram socket on loopback, connected to itself; -1 when that fails.
inline int self_addressed_socket()
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof self;
    auto *address = reinterpret_cast<sockaddr *>(&self);
    if (sock >= 0 && bind(sock, address, length) == 0 && getsockname(sock, address, &length) == 0 &&
        connect(sock, address, length) == 0)
        return sock;
    if (sock >= 0)
        close(sock);
    return -1;
}

// Whether a datagram that a loopback socket sends to itself arrives within
// `wait` in the namespace at `path`.
inline bool loopback_datagram_arrives(const std::string &path, std::chrono::milliseconds wait)
{
    int arrived = -1;
    inside_namespace(path, [&] {
        const int sock = self_addressed_socket();
        const char payload[200] = {};
        pollfd ready{sock, POLLIN, 0};
        if (sock >= 0 && send(sock, payload, sizeof payload, 0) == sizeof payload)
            arrived = poll(&ready, 1, static_cast<int>(wait.count())) == 1 ? 1 : 0;
        if (sock >= 0)
            close(sock);
    });
    EXPECT_NE(arrived, -1) << "the loopback probe failed";
    return arrived == 1;
}

} // namespace kestrune::test

#endif
