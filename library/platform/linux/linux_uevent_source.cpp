// Device events on Linux: kernel uevents from a NETLINK_KOBJECT_UEVENT socket,
// bound to the kernel's multicast group, so no udev daemon needs to run. The
// socket sees the devices of the caller's network namespace; its messages are
// turned into window messages by uevent_message.cpp.
//
// The stop request is an eventfd made when the source is created, before the
// thread starts: once written it stays readable, so set_up refuses to start and
// every poll() of wait returns at once, wherever the thread is.
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/device_events.h"
#include "platform/linux/uevent_message.h"

namespace kestrune::platform {

namespace {

constexpr unsigned kKernelUeventGroup = 1;
// Room for a burst of events (a hub with its devices) while a callback runs.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// A kernel uevent is at most a few kilobytes (UEVENT_BUFFER_SIZE is 2048).
constexpr size_t kDatagramBytes = 8192;

class UeventSource final : public DeviceEventSource {
public:
    explicit UeventSource(int stopFd) : stopFd_(stopFd), datagram_(kDatagramBytes) {}
    ~UeventSource() override
    {
        release();
        close(stopFd_);
    }
    UeventSource(const UeventSource &) = delete;
    UeventSource &operator=(const UeventSource &) = delete;

    bool set_up(WindowProcedure procedure) override
    {
        procedure_ = procedure;
        if (stop_requested())
            return false;
        socket_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        if (socket_ < 0)
            return false;
        // Raising the buffer beyond the system limit needs CAP_NET_ADMIN; without
        // it the ordinary request is the best there is.
        if (setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0)
            setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = kKernelUeventGroup;
        if (bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            release();
            return false;
        }
        return true;
    }

    bool subscribe(const Guid &interfaceClass) override
    {
        static constexpr const Guid *kReported[] = {
            &kGuidDevinterfaceUsbDevice, &kGuidDevinterfaceDisk,     &kGuidDevinterfaceHid,
            &kGuidNdisLanClass,          &kGuidDevinterfaceComport, &kGuidDevinterfaceSerenumBusEnumerator,
            &kGuidDevinterfaceCdrom,
        };
        if (std::none_of(std::begin(kReported), std::end(kReported),
                         [&](const Guid *reported) { return *reported == interfaceClass; }))
            return false;
        subscribed_.push_back(interfaceClass);
        return true;
    }

    DeviceWait dispatch() override
    {
        DeviceMessage message;
        for (;;) {
            pollfd fds[2] = {{stopFd_, POLLIN, 0}, {socket_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return DeviceWait::kError;
            }
            if (fds[0].revents != 0)
                return DeviceWait::kStop;
            if (fds[1].revents == 0)
                continue;
            switch (receive(message)) {
            case Received::kMessage:
                procedure_(this, message.message, message.wParam, message.lParam());
                return DeviceWait::kMessage;
            case Received::kNothing: continue;
            case Received::kError: return DeviceWait::kError;
            }
        }
    }

    intptr_t default_procedure(uint32_t, uintptr_t, intptr_t) override { return 0; }

    void pause(std::chrono::milliseconds time) override
    {
        pollfd fd{stopFd_, POLLIN, 0};
        static_cast<void>(poll(&fd, 1, static_cast<int>(time.count())));
    }

    void request_stop() override
    {
        uint64_t one = 1;
        // Only an overflowing counter could refuse, and it is readable then anyway.
        static_cast<void>(write(stopFd_, &one, sizeof one));
    }

    void release() override
    {
        if (socket_ >= 0)
            close(socket_);
        socket_ = -1;
        subscribed_.clear();
    }

private:
    enum class Received { kMessage, kNothing, kError };

    bool stop_requested() const
    {
        pollfd fd{stopFd_, POLLIN, 0};
        return poll(&fd, 1, 0) > 0;
    }

    Received receive(DeviceMessage &message)
    {
        sockaddr_nl sender{};
        iovec buffer{datagram_.data(), datagram_.size()};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &buffer;
        header.msg_iovlen = 1;
        ssize_t size = recvmsg(socket_, &header, 0);
        if (size < 0) {
            // ENOBUFS: the kernel dropped events while we were busy; what is
            // queued now is still good.
            return errno == EAGAIN || errno == EINTR || errno == ENOBUFS ? Received::kNothing : Received::kError;
        }
        // Only the kernel speaks with port 0; a truncated datagram is unusable.
        if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0)
            return Received::kNothing;
        Uevent event;
        if (!parse_uevent(datagram_.data(), static_cast<size_t>(size), event))
            return Received::kNothing;
        return device_message_for(event, subscribed_, message) ? Received::kMessage : Received::kNothing;
    }

    int stopFd_;
    int socket_ = -1;
    WindowProcedure procedure_ = nullptr;
    std::vector<Guid> subscribed_;
    std::vector<char> datagram_;
};

} // namespace

std::unique_ptr<DeviceEventSource> system_device_event_source()
{
    int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0)
        return nullptr;
    try {
        return std::make_unique<UeventSource>(stopFd);
    } catch (...) {
        close(stopFd);
        throw;
    }
}

} // namespace kestrune::platform
