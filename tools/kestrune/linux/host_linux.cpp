// The command's operating-system services on Linux.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "host.h"
#include "linux/proc_net_dev.h"

namespace kestrune::cli::host {

namespace {

constexpr int kCapNetAdmin = 12;

std::string failed_call(const char *call, const std::string &path, int error)
{
    return std::string(call) + " " + path + ": " + std::strerror(error);
}

sigset_t interrupt_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Whether process `pid` is a kernel thread: the PF_KTHREAD flag, the ninth field
// of /proc/PID/stat, counted after the command name in parentheses.
bool is_kernel_thread(int pid)
{
    constexpr unsigned long kPfKthread = 0x00200000;
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat_file, text);
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos)
        return false;
    std::istringstream fields(text.substr(name_end + 1));
    std::string field;
    for (int i = 3; i <= 9 && fields >> field; ++i) {
    }
    return !field.empty() && (std::strtoul(field.c_str(), nullptr, 10) & kPfKthread) != 0;
}

} // namespace

std::string policy_root()
{
    const char *root = std::getenv("KESTRUNE_ROOT");
    return root != nullptr && *root != '\0' ? root : "/var/lib/kestrune";
}

FileRead read_file(const std::string &path)
{
    FileRead read;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        read.status = errno == ENOENT || errno == ENOTDIR ? FileStatus::missing
                      : errno == EACCES || errno == EPERM ? FileStatus::denied
                                                          : FileStatus::failed;
        read.error = failed_call("open", path, errno);
        return read;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            read.bytes.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read.error = failed_call("read", path, errno);
        read.status = got == 0 ? FileStatus::ok : FileStatus::failed;
        break;
    }
    close(fd);
    return read;
}

std::FILE *take_standard_output(bool keep_library_lines)
{
    if (keep_library_lines)
        return stdout;
    const int ours = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    std::FILE *stream = ours >= 0 ? fdopen(ours, "w") : nullptr;
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (stream == nullptr || nowhere < 0) {
        // Without a second descriptor the library's lines stay where they are
        // rather than the command's output going missing.
        if (ours >= 0 && stream == nullptr)
            close(ours);
        if (nowhere >= 0)
            close(nowhere);
        if (stream != nullptr)
            std::fclose(stream);
        return stdout;
    }
    std::fflush(stdout);
    dup2(nowhere, STDOUT_FILENO);
    close(nowhere);
    return stream;
}

void hold_interrupts()
{
    const sigset_t signals = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A reader that goes away shows as a failed write, which ends the command
    // cleanly; the signal would end it with the limit still in place.
    signal(SIGPIPE, SIG_IGN);
}

bool wait_for_interrupt(std::chrono::milliseconds timeout)
{
    const sigset_t signals = interrupt_signals();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
    return sigtimedwait(&signals, nullptr, &wait) > 0;
}

void interrupt_self()
{
    kill(getpid(), SIGTERM);
}

NetworkNamespace network_namespace(std::string &why)
{
    struct stat own{};
    if (stat("/proc/self/ns/net", &own) != 0) {
        why = failed_call("stat", "/proc/self/ns/net", errno);
        return NetworkNamespace::unknown;
    }
    // Process 1 stands for the machine. Where it may not be inspected (some
    // hypervisors' init processes), kthreadd will do: kernel threads live in
    // the initial namespace, and process 2 is kthreadd only outside a PID
    // namespace, where the initial namespace is the machine's.
    struct stat machine{};
    if (stat("/proc/1/ns/net", &machine) != 0) {
        const int error = errno;
        if (!is_kernel_thread(2) || stat("/proc/2/ns/net", &machine) != 0) {
            why = failed_call("stat", "/proc/1/ns/net", error);
            return NetworkNamespace::unknown;
        }
    }
    return own.st_dev == machine.st_dev && own.st_ino == machine.st_ino ? NetworkNamespace::machines
                                                                        : NetworkNamespace::other;
}

bool may_divert_packets()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (!line.starts_with("CapEff:"))
            continue;
        const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (effective >> kCapNetAdmin & 1u) != 0;
    }
    return false;
}

std::optional<Traffic> read_traffic(std::string &why)
{
    const FileRead read = read_file("/proc/net/dev");
    if (read.status != FileStatus::ok) {
        why = read.error;
        return std::nullopt;
    }
    std::optional<Traffic> traffic = linux_host::parse_proc_net_dev(read.bytes);
    if (!traffic)
        why = "/proc/net/dev is not in the expected form";
    return traffic;
}

std::string utc_now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

} // namespace kestrune::cli::host
