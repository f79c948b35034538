#include "traffic.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace kestrune::bench {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Records what arrives on `fd` until the peer ends the stream, or nothing comes
// for 20 ms after the flow stopped sending.
void receive_all(int fd, Arrivals &arrivals, Clock::time_point start, const std::atomic<bool> &sending)
{
    set_receive_timeout(fd, 20);
    std::vector<char> buffer(1 << 16);
    while (true) {
        ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got > 0)
            arrivals.samples.emplace_back(ms_since(start), static_cast<uint64_t>(got));
        else if (got == 0 || !sending.load())
            break;
    }
}

// A descriptor closed when it goes.
struct Socket {
    int fd;
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Runs a flow's action on a thread of its own at its time, and notes when it ran.
class Actor {
public:
    Actor(Arrivals &arrivals, Clock::time_point start, const std::function<void()> &action,
          std::chrono::milliseconds at)
    {
        if (action)
            thread_ = std::thread([&arrivals, start, action, at] {
                std::this_thread::sleep_until(start + at);
                arrivals.actionStartMs = ms_since(start);
                action();
                arrivals.actionEndMs = ms_since(start);
            });
    }
    ~Actor() { join(); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

} // namespace

uint64_t Arrivals::max_in(double span) const
{
    uint64_t best = 0, inside = 0;
    size_t first = 0;
    for (size_t last = 0; last < samples.size(); ++last) {
        inside += samples[last].second;
        while (samples[last].first - samples[first].first >= span)
            inside -= samples[first++].second;
        best = std::max(best, inside);
    }
    return best;
}

uint64_t Arrivals::between(double from, double to) const
{
    uint64_t sum = 0;
    for (const auto &sample : samples)
        if (sample.first >= from && sample.first < to)
            sum += sample.second;
    return sum;
}

Arrivals udp_flow(NetnsLab &lab, uint32_t offeredKBps, std::chrono::milliseconds duration, uint16_t port,
                  std::function<void()> action, std::chrono::milliseconds actionAt)
{
    Arrivals arrivals;
    Socket receiver{lab.socket_in(NetnsLab::Near, AF_INET, SOCK_DGRAM)};
    Socket sender{lab.socket_in(NetnsLab::Far, AF_INET, SOCK_DGRAM)};
    sockaddr_in near = NetnsLab::address(NetnsLab::Near, port);
    if (receiver.fd < 0 || sender.fd < 0 || bind(receiver.fd, reinterpret_cast<sockaddr *>(&near), sizeof near) != 0 ||
        connect(sender.fd, reinterpret_cast<sockaddr *>(&near), sizeof near) != 0)
        return arrivals;
    int big = 8 << 20;
    setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    std::atomic<bool> sending{true};
    Clock::time_point start = Clock::now();
    std::thread receive([&] { receive_all(receiver.fd, arrivals, start, sending); });
    Actor actor(arrivals, start, action, actionAt);
    // Paced in 1 ms steps so that the offered rate is smooth at every limit; a
    // kilobyte per second is a byte per millisecond.
    char datagram[1472] = {};
    double budget = 0;
    for (auto next = start; Clock::now() - start < duration; std::this_thread::sleep_until(next)) {
        for (budget += offeredKBps; budget >= sizeof datagram; budget -= sizeof datagram)
            send(sender.fd, datagram, sizeof datagram, MSG_DONTWAIT);
        next += std::chrono::milliseconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the last datagrams in flight
    sending = false;
    receive.join();
    actor.join();
    return arrivals;
}

Arrivals tcp_flow(NetnsLab &lab, std::chrono::milliseconds duration, uint16_t port, std::function<void()> action,
                  std::chrono::milliseconds actionAt)
{
    Arrivals arrivals;
    Socket listener{lab.socket_in(NetnsLab::Near, AF_INET, SOCK_STREAM)};
    Socket sender{lab.socket_in(NetnsLab::Far, AF_INET, SOCK_STREAM)};
    sockaddr_in near = NetnsLab::address(NetnsLab::Near, port);
    int one = 1;
    if (listener.fd < 0 || sender.fd < 0 ||
        setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener.fd, reinterpret_cast<sockaddr *>(&near), sizeof near) != 0 || listen(listener.fd, 1) != 0)
        return arrivals;
    std::atomic<bool> sending{true};
    Clock::time_point start = Clock::now();
    std::thread receive([&] {
        set_receive_timeout(listener.fd, 3000);
        Socket connection{accept(listener.fd, nullptr, nullptr)};
        if (connection.fd >= 0)
            receive_all(connection.fd, arrivals, start, sending);
    });
    Actor actor(arrivals, start, action, actionAt);
    timeval sendTimeout{0, 50000};
    setsockopt(sender.fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    // The connect may lose its SYN to a tight limit; the kernel retries on its own.
    if (connect(sender.fd, reinterpret_cast<sockaddr *>(&near), sizeof near) == 0) {
        std::vector<char> chunk(1 << 16);
        while (Clock::now() - start < duration)
            send(sender.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    }
    sending = false;
    shutdown(sender.fd, SHUT_RDWR);
    receive.join();
    actor.join();
    return arrivals;
}

} // namespace kestrune::bench
