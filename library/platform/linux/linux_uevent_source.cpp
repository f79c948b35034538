// Device events on Linux: kernel uevents from a NETLINK_KOBJECT_UEVENT socket,
// bound to the kernel's multicast group, so no udev daemon needs to run. The
// socket sees the devices of the caller's network namespace; its messages are
// turned into window messages by uevent_message.cpp.
//
// The stop request is an eventfd made when the source is created, before the
// thread starts: once written it stays readable, so set_up refuses to start and
// every poll() of wait returns at once, wherever the thread is.
//
// Before an event is handled, the sysfs lookup hears of it (DeviceChanges), so that
// it can find the event's device without rereading the subsystem's directory. When
// the socket overflows, the kernel drops events and says so once, with ENOBUFS from
// the next recvmsg: that is logged, and the lookup told to trust its index no more.
#include "platform/linux/linux_uevent_source.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "core/log.h"
#include "platform/device_events.h"
#include "platform/linux/linux_sysfs_lookup.h"
#include "platform/linux/uevent_message.h"

namespace kestrune::platform {

namespace {

constexpr unsigned kKernelUeventGroup = 1;
// A kernel uevent is at most a few kilobytes (UEVENT_BUFFER_SIZE is 2048).
constexpr size_t kDatagramBytes = 8192;

class UeventSource final : public DeviceEventSource {
public:
    UeventSource(int stopFd, std::shared_ptr<DeviceChanges> changes, int receiveBufferBytes)
        : stopFd_(stopFd), changes_(std::move(changes)), receiveBufferBytes_(receiveBufferBytes),
          datagram_(kDatagramBytes)
    {
    }
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
        if (setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes_, sizeof receiveBufferBytes_) != 0)
            setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes_, sizeof receiveBufferBytes_);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = kKernelUeventGroup;
        if (bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            release();
            return false;
        }
        changes_->listening(true);
        listening_ = true;
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
            switch (receive_uevent(message)) {
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
        // Only an overflowing counter could refuse, and it is readable then
        // anyway; an interrupted write is repeated.
        while (write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void release() override
    {
        if (listening_)
            changes_->listening(false);
        listening_ = false;
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

    Received receive_uevent(DeviceMessage &message)
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
            if (errno == ENOBUFS) {
                // What is queued now is still good.
                log_printf("E KestruneCtl %s %d: recvmsg() failed with ENOBUFS (%d): the uevent socket overflowed, "
                           "device events were lost\r\n",
                           __func__, __LINE__, ENOBUFS);
                changes_->events_lost();
                return Received::kNothing;
            }
            return errno == EAGAIN || errno == EINTR ? Received::kNothing : Received::kError;
        }
        // Only the kernel speaks with port 0; a truncated datagram is unusable.
        if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0)
            return Received::kNothing;
        Uevent event;
        if (!parse_uevent(datagram_.data(), static_cast<size_t>(size), event))
            return Received::kNothing;
        // A renamed device is added under its new name; its old name is found
        // gone at its next search.
        if (event.action == "add" || event.action == "move")
            changes_->device_added(event.subsystem, event.kernel_name());
        else if (event.action == "remove")
            changes_->device_removed(event.subsystem, event.kernel_name());
        return device_message_for(event, subscribed_, message) ? Received::kMessage : Received::kNothing;
    }

    int stopFd_;
    const std::shared_ptr<DeviceChanges> changes_;
    const int receiveBufferBytes_;
    bool listening_ = false;
    int socket_ = -1;
    WindowProcedure procedure_ = nullptr;
    std::vector<Guid> subscribed_;
    std::vector<char> datagram_;
};

} // namespace

std::unique_ptr<DeviceEventSource> make_uevent_source(std::shared_ptr<DeviceChanges> changes, int receiveBufferBytes)
{
    int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0)
        return nullptr;
    try {
        return std::make_unique<UeventSource>(stopFd, std::move(changes), receiveBufferBytes);
    } catch (...) {
        close(stopFd);
        throw;
    }
}

std::unique_ptr<DeviceEventSource> system_device_event_source()
{
    return make_uevent_source(system_sysfs_device_lookup(), kUeventReceiveBufferBytes);
}

} // namespace kestrune::platform
