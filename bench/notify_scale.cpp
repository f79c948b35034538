// Device events at scale: are all of them delivered, and what does one cost as the
// number of devices grows?
//
// Each round runs in a child with a network and mount namespace of its own and
// sysfs mounted afresh (the namespace and its interfaces die with the child, also
// when it fails; an alarm bounds it). It creates N veth pairs with one `ip -batch`,
// then deletes them with another. A reference listener, a uevent socket with a
// large buffer read by a thread that does nothing else, counts the arrivals and
// removals the kernel sent; the callback counts those it heard with the device's
// name in its text. Columns:
//   ref_add/ref_rm    interface arrivals and removals the kernel sent
//   cb_add/cb_rm      those the callback heard, text naming the interface
//   lost_lines        lines the library logged about an overflowed socket
//   settle_s          from the end of the deletions to the last callback
//   thread_us         notification-thread CPU per callback over the round
//   add_us/rm_us      median of one lookup (an arrival of a present interface,
//                     a removal of a deleted one) with 2N interfaces known
// Needs root; exits 77 when it cannot run. Arguments: the pair counts (default
// 100 300 1000 3000).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestrune.h"
#include "notify/device_arrival.h"
#include "platform/device_lookup.h"
#include "interface_uevent.h"
#include "uevent_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCannot = 77;

struct Heard {
    std::set<std::string> added;
    std::set<std::string> removed;
};

std::mutex mutex;
std::condition_variable changed;
Heard callback;
Heard kernel;
int kernelOverflows = 0;
Clock::time_point lastCallback;
std::atomic<pid_t> notifyThread{0};

bool ours(const std::string &name)
{
    return name.size() > 1 && (name[0] == 'a' || name[0] == 'b' || name.compare(0, 4, "sync") == 0);
}

void on_device(int kind, char *text)
{
    Clock::time_point now = Clock::now();
    notifyThread = static_cast<pid_t>(syscall(SYS_gettid));
    // A veth has no description: ";;name;;;".
    std::string all(text);
    size_t end = all.find(';', 2);
    if (all.compare(0, 2, ";;") != 0 || end == std::string::npos)
        return;
    std::string name = all.substr(2, end - 2);
    std::lock_guard<std::mutex> lock(mutex);
    (kind == QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL ? callback.added : callback.removed).insert(name);
    lastCallback = now;
    changed.notify_all();
}

void listen_kernel(int fd, const std::atomic<bool> &stop)
{
    std::vector<char> buffer(16384);
    while (!stop) {
        ssize_t n = recv(fd, buffer.data(), buffer.size() - 1, 0);
        if (n < 0 && errno == ENOBUFS) {
            std::lock_guard<std::mutex> lock(mutex);
            ++kernelOverflows;
        }
        if (n <= 0)
            continue;
        buffer[static_cast<size_t>(n)] = '\0';
        std::string action;
        std::string name;
        if (!kestrune::test::interface_uevent(buffer.data(), action, name) || !ours(name) ||
            (action != "add" && action != "remove"))
            continue;
        std::lock_guard<std::mutex> lock(mutex);
        (action == "add" ? kernel.added : kernel.removed).insert(name);
    }
}

bool run_batch(const std::string &commands)
{
    char path[] = "/tmp/kestrune-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    bool written = write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size());
    close(fd);
    bool ran = written && std::system(("ip -batch " + std::string(path) + " >/dev/null 2>&1").c_str()) == 0;
    unlink(path);
    return ran;
}

// Nanoseconds the thread has run on a CPU.
double thread_cpu_ns(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns;
}

// Waits until `done` holds or nothing was heard for `quiet`.
template <typename Done>
void wait_settled(Done done, std::chrono::seconds quiet)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (done())
            return;
        Clock::time_point before = lastCallback;
        if (!changed.wait_for(lock, quiet, [&] { return done() || lastCallback != before; }))
            return;
    }
}

double median_lookup_us(int pairs, uint32_t flags)
{
    std::vector<double> us;
    for (int i = 0; i < pairs; i += std::max(1, pairs / 200)) {
        std::u16string id = u"NET\\A";
        for (char c : std::to_string(i))
            id += static_cast<char16_t>(c);
        std::u16string text;
        Clock::time_point start = Clock::now();
        kestrune::notify::QVX_KESTRUNE_get_device_detail_info_by_devid(id, flags, text);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

int count_lines(int fd, const char *needle)
{
    std::string all;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, static_cast<size_t>(n));
    int lines = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
        ++lines;
    return lines;
}

int cannot(const char *why)
{
    std::fprintf(stderr, "notify_scale: %s\n", why);
    return kCannot;
}

// One round, in the child. The row goes to `out`; the library's lines to a
// memory file that is searched for the lost-events line.
int round(int pairs, FILE *out)
{
    int fd = -1;
    if (const char *why = kestrune::test::enter_device_lab(256 << 20, &fd))
        return cannot(why);
    if (std::system("ip link set lo up") != 0)
        return cannot("the ip command of iproute2 is not available");
    int logFd = memfd_create("kestrune-log", MFD_CLOEXEC);
    if (logFd < 0 || dup2(logFd, STDOUT_FILENO) < 0)
        return cannot("cannot capture the library's lines");
    std::atomic<bool> stop{false};
    std::thread listener(listen_kernel, fd, std::cref(stop));
    struct Joined {
        std::atomic<bool> &stop;
        std::thread &listener;
        ~Joined()
        {
            stop = true;
            listener.join();
        }
    } joined{stop, listener};

    if (QVX_KESTRUNE_Register_Device_Notification(on_device) != QVX_KESTRUNE_RESULT_SUCCESS)
        return cannot("registration failed");
    // Success means the thread started, not that it listens.
    bool listening = false;
    for (int i = 0; i < 20 && !listening; ++i) {
        std::string name = "sync" + std::to_string(i);
        run_batch("link add " + name + " type veth peer name " + name + "p\n");
        std::unique_lock<std::mutex> lock(mutex);
        listening = changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return callback.added.count(name); });
    }
    if (!listening) {
        QVX_KESTRUNE_Unregister_Device_Notification();
        return cannot("no device event reached the callback");
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        callback = Heard{};
        kernel = Heard{};
    }
    double cpuBefore = thread_cpu_ns(notifyThread);

    std::string adds;
    std::string deletes;
    for (int i = 0; i < pairs; ++i) {
        adds += "link add a" + std::to_string(i) + " type veth peer name b" + std::to_string(i) + "\n";
        deletes += "link del a" + std::to_string(i) + "\n";
    }
    const size_t devices = 2 * static_cast<size_t>(pairs);
    bool created = run_batch(adds);
    wait_settled([&] { return callback.added.size() >= devices; }, std::chrono::seconds(5));
    double addUs = median_lookup_us(pairs, kestrune::platform::kDigcfPresent | kestrune::platform::kDigcfAllClasses);

    bool deleted = run_batch(deletes);
    Clock::time_point deletedAt = Clock::now();
    wait_settled([&] { return callback.removed.size() >= devices; }, std::chrono::seconds(5));
    double cpu = thread_cpu_ns(notifyThread) - cpuBefore;
    double rmUs = median_lookup_us(pairs, kestrune::platform::kDigcfAllClasses);
    QVX_KESTRUNE_Unregister_Device_Notification();
    if (!created || !deleted)
        return cannot("ip -batch failed");

    std::lock_guard<std::mutex> lock(mutex);
    size_t heard = callback.added.size() + callback.removed.size();
    double settle = std::chrono::duration<double>(lastCallback - deletedAt).count();
    std::fprintf(out, "%6d %7zu %7zu %7zu %7zu %7zu %10d %9.1f %10.1f %9.1f %9.1f%s\n", pairs, devices,
                 kernel.added.size(), kernel.removed.size(), callback.added.size(), callback.removed.size(),
                 count_lines(logFd, "ENOBUFS"), std::max(0.0, settle), heard ? cpu / 1000 / double(heard) : 0.0,
                 addUs, rmUs, kernelOverflows ? "  (reference overflowed)" : "");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {100, 300, 1000, 3000};
    std::printf("veth pairs created, then deleted, in a private network namespace\n");
    std::printf("%6s %7s %7s %7s %7s %7s %10s %9s %10s %9s %9s\n", "pairs", "devices", "ref_add", "ref_rm", "cb_add",
                "cb_rm", "lost_lines", "settle_s", "thread_us", "add_us", "rm_us");
    std::fflush(stdout);
    for (int pairs : counts) {
        pid_t pid = fork();
        if (pid < 0)
            return cannot("cannot fork");
        if (pid == 0) {
            alarm(600);
            FILE *out = fdopen(dup(STDOUT_FILENO), "w");
            int status = out ? round(pairs, out) : kCannot;
            std::fflush(out);
            _exit(status);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return 0;
}
