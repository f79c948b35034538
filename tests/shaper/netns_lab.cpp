#include "netns_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "kestrune.h"

namespace kestrune::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string tool_path(const std::string &name)
{
    for (const char *folder : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

int this_thread_namespace()
{
    return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

sockaddr_in address_of(const char *ip, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// The kernel refuses a timeval of a second or more in microseconds alone, and
// then leaves the socket without any timeout.
void set_receive_timeout(int fd, int ms)
{
    timeval timeout{ms / 1000, ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
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

NetnsLab::~NetnsLab()
{
    leave();
    for (int fd : {near_, far_, home_})
        if (fd >= 0)
            close(fd);
}

bool NetnsLab::create()
{
    if (geteuid() != 0)
        return reason_ = "needs root to create network namespaces", false;
    if (tool_path("ip").empty() || tool_path("iptables").empty())
        return reason_ = "needs ip (iproute2) and iptables", false;
    home_ = this_thread_namespace();
    if (home_ < 0)
        return reason_ = "cannot open this thread's network namespace", false;
    for (int *side : {&near_, &far_}) {
        if (unshare(CLONE_NEWNET) != 0) {
            leave();
            return reason_ = std::string("cannot create a network namespace: ") + std::strerror(errno), false;
        }
        *side = this_thread_namespace();
        leave();
    }
    // The far end of the pair is named through this process's descriptor of it;
    // the child that runs ip keeps it at a fixed number.
    if (run(Near, {"ip", "link", "add", "kst0", "type", "veth", "peer", "name", "kst1", "netns",
                   "/proc/self/fd/100"}) != 0)
        return reason_ = "cannot create a veth pair", false;
    bool ok = run(Near, {"ip", "link", "set", "lo", "up"}) == 0 &&
              run(Far, {"ip", "link", "set", "lo", "up"}) == 0 &&
              run(Near, {"ip", "addr", "add", std::string(kNearAddress) + "/24", "dev", "kst0"}) == 0 &&
              run(Far, {"ip", "addr", "add", std::string(kFarAddress) + "/24", "dev", "kst1"}) == 0 &&
              run(Near, {"ip", "link", "set", "kst0", "up"}) == 0 &&
              run(Far, {"ip", "link", "set", "kst1", "up"}) == 0;
    if (!ok)
        return reason_ = "cannot configure the veth pair", false;
    if (run(Near, {"iptables", "-N", "KSTPROBE"}) != 0)
        return reason_ = "iptables cannot make rules in a new namespace", false;
    bool queue = run(Near, {"iptables", "-A", "KSTPROBE", "-j", "NFQUEUE", "--queue-num", "9", "--queue-bypass"}) == 0;
    run(Near, {"iptables", "-F", "KSTPROBE"});
    run(Near, {"iptables", "-X", "KSTPROBE"});
    if (!queue)
        return reason_ = "the kernel offers no NFQUEUE target", false;
    return true;
}

bool NetnsLab::enter(Side side)
{
    return setns(side == Near ? near_ : far_, CLONE_NEWNET) == 0;
}

void NetnsLab::leave()
{
    if (home_ >= 0)
        setns(home_, CLONE_NEWNET);
}

int NetnsLab::socket_in(Side side, int domain, int type)
{
    if (!enter(side))
        return -1;
    int fd = socket(domain, type | SOCK_CLOEXEC, 0);
    leave();
    return fd;
}

int NetnsLab::run(Side side, const std::vector<std::string> &argv)
{
    std::string path = tool_path(argv.at(0));
    if (path.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    int target = side == Near ? near_ : far_;
    int farFd = far_;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        dup2(farFd, 100);
        if (setns(target, CLONE_NEWNET) != 0)
            _exit(126);
        execv(path.c_str(), args.data());
        _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int set_net_permit(NetnsLab &lab, int permission, uint32_t speed)
{
    if (!lab.enter(NetnsLab::Near))
        return -1;
    int result = QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, permission, speed);
    lab.leave();
    return result;
}

uint64_t Arrivals::total() const
{
    return between(-1, std::numeric_limits<double>::infinity());
}

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

Datagrams::Datagrams(NetnsLab &lab, uint16_t port)
    : receiver_(lab.socket_in(NetnsLab::Near, AF_INET, SOCK_DGRAM)),
      sender_(lab.socket_in(NetnsLab::Far, AF_INET, SOCK_DGRAM))
{
    sockaddr_in near = address_of(kNearAddress, port);
    int big = 4 << 20;
    setsockopt(receiver_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    ok_ = receiver_ >= 0 && sender_ >= 0 && bind(receiver_, reinterpret_cast<sockaddr *>(&near), sizeof near) == 0 &&
          connect(sender_, reinterpret_cast<sockaddr *>(&near), sizeof near) == 0;
}

Datagrams::~Datagrams()
{
    for (int fd : {receiver_, sender_})
        if (fd >= 0)
            close(fd);
}

void Datagrams::send(uint32_t first, uint32_t count, size_t size)
{
    std::vector<char> datagram(std::max(size, sizeof first));
    for (uint32_t number = first; number < first + count; ++number) {
        std::memcpy(datagram.data(), &number, sizeof number);
        ::send(sender_, datagram.data(), datagram.size(), 0);
    }
}

std::vector<uint32_t> Datagrams::arrived(std::chrono::milliseconds quiet)
{
    set_receive_timeout(receiver_, static_cast<int>(quiet.count()));
    std::vector<uint32_t> numbers;
    uint32_t number = 0;
    while (recv(receiver_, &number, sizeof number, 0) == static_cast<ssize_t>(sizeof number))
        numbers.push_back(number);
    return numbers;
}

Arrivals udp_flow(NetnsLab &lab, uint32_t offeredKBps, std::chrono::milliseconds duration, uint16_t port,
                  std::function<void()> action, std::chrono::milliseconds actionAt)
{
    Arrivals arrivals;
    Socket receiver{lab.socket_in(NetnsLab::Near, AF_INET, SOCK_DGRAM)};
    Socket sender{lab.socket_in(NetnsLab::Far, AF_INET, SOCK_DGRAM)};
    sockaddr_in near = address_of(kNearAddress, port);
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
    sockaddr_in near = address_of(kNearAddress, port);
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

} // namespace kestrune::test
