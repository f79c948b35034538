// Time from a kernel device event to the device callback.
//
// Runs in a network and mount namespace of its own, with sysfs mounted afresh, and
// creates and deletes veth pairs there. A second uevent socket, read by a thread
// of its own that blocks in recv, stamps each event as the kernel hands it to user
// space; the callback stamps its call. The table gives callback minus event for
// arrivals and removals: the library's wake-up, decoding, sysfs lookup,
// conversion and call. Needs root; prints a table and exits 0, or says why it
// cannot run and exits 77.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrune.h"
#include "interface_uevent.h"
#include "uevent_socket.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPairs = 150; // each pair: two arrivals and two removals

std::mutex mutex;
std::condition_variable changed;
std::map<std::string, Clock::time_point> kernelSeen;   // "add name" / "remove name"
std::map<std::string, Clock::time_point> callbackSeen; // "add name" / "remove name"

void on_device(int kind, char *text)
{
    Clock::time_point now = Clock::now();
    // A veth has no description: ";;name;;;".
    std::string all(text);
    size_t end = all.find(';', 2);
    if (all.compare(0, 2, ";;") != 0 || end == std::string::npos)
        return;
    std::string key = (kind == QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL ? "add " : "remove ") + all.substr(2, end - 2);
    std::lock_guard<std::mutex> lock(mutex);
    callbackSeen.emplace(key, now);
    changed.notify_all();
}

void listen_kernel(int fd, const std::atomic<bool> &stop)
{
    std::vector<char> buffer(8192);
    while (!stop) {
        ssize_t n = recv(fd, buffer.data(), buffer.size() - 1, 0);
        Clock::time_point now = Clock::now();
        if (n <= 0)
            continue;
        buffer[static_cast<size_t>(n)] = '\0';
        std::string action;
        std::string name;
        if (!kestrune::test::interface_uevent(buffer.data(), action, name))
            continue;
        std::lock_guard<std::mutex> lock(mutex);
        kernelSeen.emplace(action + " " + name, now);
    }
}

bool run_ip(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool wait_callbacks(const std::vector<std::string> &keys, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
        return std::all_of(keys.begin(), keys.end(), [](const std::string &k) { return callbackSeen.count(k) > 0; });
    });
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

int cannot(const char *why)
{
    std::fprintf(stderr, "notify_latency: %s\n", why);
    return 77;
}

} // namespace

int main()
{
    int fd = -1;
    if (const char *why = kestrune::test::enter_device_lab(4 << 20, &fd))
        return cannot(why);
    std::atomic<bool> stop{false};
    std::thread listener(listen_kernel, fd, std::cref(stop));

    int result = 0;
    if (QVX_KESTRUNE_Register_Device_Notification(on_device) != QVX_KESTRUNE_RESULT_SUCCESS) {
        result = cannot("registration failed");
    } else {
        bool listening = false;
        for (int i = 0; i < 20 && !listening; ++i) {
            std::string name = "sync" + std::to_string(i);
            run_ip({"link", "add", name, "type", "veth", "peer", "name", name + "p"});
            listening = wait_callbacks({"add " + name}, std::chrono::milliseconds(500));
        }
        if (!listening)
            result = cannot("no device event reached the callback");
        for (int i = 0; i < kPairs && result == 0; ++i) {
            std::string a = "ba" + std::to_string(i);
            std::string b = "bb" + std::to_string(i);
            if (!run_ip({"link", "add", a, "type", "veth", "peer", "name", b}) ||
                !wait_callbacks({"add " + a, "add " + b}, std::chrono::seconds(5)) ||
                !run_ip({"link", "del", a}) ||
                !wait_callbacks({"remove " + a, "remove " + b}, std::chrono::seconds(5)))
                result = cannot("an event did not arrive within 5 s");
        }
        QVX_KESTRUNE_Unregister_Device_Notification();
    }
    stop = true;
    listener.join();
    close(fd);
    if (result != 0)
        return result;

    std::map<std::string, std::vector<double>> latencies;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &[key, called] : callbackSeen) {
        auto kernel = kernelSeen.find(key);
        if (key.find(" b") == std::string::npos || kernel == kernelSeen.end())
            continue;
        double us = std::chrono::duration<double, std::micro>(called - kernel->second).count();
        latencies[key.substr(0, key.find(' ')) == "add" ? "arrival" : "removal"].push_back(us);
        latencies["all"].push_back(us);
    }
    std::printf("kernel event to callback, veth pairs in a private network namespace\n");
    std::printf("%-8s %6s %12s %12s %12s\n", "event", "count", "median_us", "p99_us", "max_us");
    for (const char *kind : {"arrival", "removal", "all"}) {
        const std::vector<double> &v = latencies[kind];
        if (v.empty())
            continue;
        std::printf("%-8s %6zu %12.1f %12.1f %12.1f\n", kind, v.size(), percentile(v, 0.5), percentile(v, 0.99),
                    percentile(v, 1.0));
    }
    return 0;
}
