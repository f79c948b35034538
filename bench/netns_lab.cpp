#include "netns_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kestrune.h"
#include "platform/posix/posix_command.h"

namespace kestrune::bench {

namespace {

int this_thread_namespace()
{
    return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

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
    // ip names the far namespace through this process's descriptor of it.
    std::string farPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(far_);
    bool ok = run(Near, {"ip", "link", "add", "kst0", "type", "veth", "peer", "name", "kst1", "netns", farPath}) == 0 &&
              run(Near, {"ip", "link", "set", "lo", "up"}) == 0 && run(Far, {"ip", "link", "set", "lo", "up"}) == 0 &&
              run(Near, {"ip", "addr", "add", "198.18.0.1/24", "dev", "kst0"}) == 0 &&
              run(Far, {"ip", "addr", "add", "198.18.0.2/24", "dev", "kst1"}) == 0 &&
              run(Near, {"ip", "link", "set", "kst0", "up"}) == 0 && run(Far, {"ip", "link", "set", "kst1", "up"}) == 0;
    if (!ok)
        reason_ = "cannot create and configure the veth pair";
    return ok;
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

sockaddr_in NetnsLab::address(Side side, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, side == Near ? "198.18.0.1" : "198.18.0.2", &address.sin_addr);
    return address;
}

// The child inherits the namespace of the thread that starts it.
int NetnsLab::run(Side side, const std::vector<std::string> &argv)
{
    std::vector<const char *> args;
    std::string path = platform::posix::find_system_tool(argv.at(0).c_str());
    args.push_back(path.c_str());
    for (size_t i = 1; i < argv.size(); ++i)
        args.push_back(argv[i].c_str());
    args.push_back(nullptr);
    if (path.empty() || !enter(side))
        return -1;
    platform::posix::CommandResult result = platform::posix::run_command(args.data(), std::chrono::seconds(10));
    leave();
    return result.spawnError == 0 ? result.exitStatus : -1;
}

int NetnsLab::set_net_permit(int permission, uint32_t speed)
{
    if (!enter(Near))
        return -1;
    int result = QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, permission, speed);
    leave();
    return result;
}

void set_receive_timeout(int fd, int ms)
{
    timeval timeout{ms / 1000, ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

} // namespace kestrune::bench
