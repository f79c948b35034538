#include "platform/linux/linux_xtables.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <string>
#include <vector>

#include "platform/diversion.h"
#include "platform/posix/posix_command.h"

namespace kestrune::platform::linux_backend {

namespace {

using namespace std::chrono_literals;

// iptables over nf_tables first, then the legacy tables; the first pair that can
// install an NFQUEUE rule wins. A legacy tool that merely lists a chain creates
// its table in the namespace, and from then on every packet walks it: stale
// rules are looked for there only when the table exists already.
struct Toolset {
    const char *tool4;
    const char *tool6;
    const char *tables4; // the namespace's list of legacy tables; null for nf_tables
    const char *tables6;
};
constexpr Toolset kToolsets[] = {
    {"iptables", "ip6tables", nullptr, nullptr},
    {"iptables-legacy", "ip6tables-legacy", "/proc/thread-self/net/ip_tables_names",
     "/proc/thread-self/net/ip6_tables_names"},
};

// Exit status of iptables for a missing permission or resource.
constexpr int kIptablesResourceProblem = 4;

posix::CommandResult iptables(const std::string &tool, std::vector<const char *> args)
{
    std::vector<const char *> argv{tool.c_str(), "-w", "5", "-t", "filter"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    return posix::run_command(argv.data(), 10s);
}

// Removes the jumps and the chain, whatever of them exists.
void clear_chain(const std::string &tool)
{
    if (!iptables(tool, {"-n", "-L", kDivertChain}).ok())
        return;
    for (const char *hook : {"INPUT", "OUTPUT"}) {
        for (int i = 0; i < 64 && iptables(tool, {"-D", hook, "-j", kDivertChain}).ok(); ++i) {
        }
    }
    iptables(tool, {"-F", kDivertChain});
    iptables(tool, {"-X", kDivertChain});
}

posix::CommandResult install_chain(const std::string &tool, const std::string &queue, bool inbound, bool outbound)
{
    posix::CommandResult result = iptables(tool, {"-N", kDivertChain});
    if (result.ok())
        result = iptables(tool, {"-A", kDivertChain, "-j", "NFQUEUE", "--queue-num", queue.c_str(),
                                 "--queue-bypass"});
    if (result.ok() && inbound)
        result = iptables(tool, {"-I", "INPUT", "1", "-j", kDivertChain});
    if (result.ok() && outbound)
        result = iptables(tool, {"-I", "OUTPUT", "1", "-j", kDivertChain});
    if (!result.ok())
        clear_chain(tool);
    return result;
}

// Whether a legacy list names the filter table; true for nf_tables (no list).
bool filter_table_loaded(const char *list)
{
    if (list == nullptr)
        return true;
    FILE *names = std::fopen(list, "re");
    if (names == nullptr)
        return false;
    char name[64];
    bool found = false;
    while (!found && std::fscanf(names, "%63s", name) == 1)
        found = std::strcmp(name, "filter") == 0;
    std::fclose(names);
    return found;
}

bool ipv6_present()
{
    return access("/proc/net/if_inet6", F_OK) == 0;
}

int this_thread_namespace()
{
    return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

bool same_file(int a, int b)
{
    struct stat first{}, second{};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Runs `body` with the calling thread in the network namespace `netns`, then
// returns the thread to its own; does nothing when the thread cannot enter it.
template <typename Body> void in_namespace(int netns, Body body)
{
    int home = this_thread_namespace();
    if (home < 0)
        return;
    bool there = same_file(home, netns);
    bool entered = !there && setns(netns, CLONE_NEWNET) == 0;
    if (there || entered)
        body();
    // Back home; the thread had the right to be there, so this cannot fail for lack of it.
    if (entered)
        (void)setns(home, CLONE_NEWNET);
    close(home);
}

uint32_t error_of(const posix::CommandResult &result)
{
    if (result.spawnError == EACCES || result.spawnError == EPERM ||
        (result.exitStatus == kIptablesResourceProblem && geteuid() != 0))
        return kDivertErrorAccessDenied;
    return kDivertErrorNotSupported;
}

} // namespace

uint32_t install_divert_rules(uint16_t queue, bool inbound, bool outbound, DivertRules *rules) noexcept
{
    try {
        *rules = DivertRules{};
        const bool withIpv6 = ipv6_present();
        bool anyTool = false;
        for (const Toolset &set : kToolsets) {
            std::string tool4 = posix::find_system_tool(set.tool4);
            std::string tool6 = withIpv6 ? posix::find_system_tool(set.tool6) : std::string();
            if (!tool4.empty() && filter_table_loaded(set.tables4))
                clear_chain(tool4);
            if (!tool6.empty() && filter_table_loaded(set.tables6))
                clear_chain(tool6);
        }
        uint32_t error = kDivertErrorNotSupported;
        const std::string queueText = std::to_string(queue);
        for (const Toolset &set : kToolsets) {
            std::string tool4 = posix::find_system_tool(set.tool4);
            std::string tool6 = withIpv6 ? posix::find_system_tool(set.tool6) : std::string();
            if (tool4.empty() || (withIpv6 && tool6.empty()))
                continue;
            anyTool = true;
            posix::CommandResult result = install_chain(tool4, queueText, inbound, outbound);
            if (result.ok() && withIpv6) {
                result = install_chain(tool6, queueText, inbound, outbound);
                if (!result.ok())
                    clear_chain(tool4);
            }
            if (result.ok()) {
                rules->tool4 = tool4;
                rules->tool6 = tool6;
                rules->netns = this_thread_namespace();
                if (rules->netns >= 0)
                    return kDivertSuccess;
                remove_divert_rules(rules); // without a handle on the namespace they could not be removed later
                return kDivertErrorNotEnoughMemory;
            }
            error = error_of(result);
        }
        return anyTool ? error : kDivertErrorFileNotFound;
    } catch (...) {
        return kDivertErrorNotEnoughMemory;
    }
}

void remove_divert_rules(DivertRules *rules) noexcept
{
    auto clear = [rules] {
        try {
            if (!rules->tool4.empty())
                clear_chain(rules->tool4);
            if (!rules->tool6.empty())
                clear_chain(rules->tool6);
        } catch (...) {
            // Out of memory for an argument list: the rules stay, and bypass lets traffic pass.
        }
    };
    if (rules->netns >= 0) {
        in_namespace(rules->netns, clear);
        close(rules->netns);
    } else {
        clear(); // only during install, in the installing thread's namespace
    }
    rules->netns = -1;
    rules->tool4.clear();
    rules->tool6.clear();
}

} // namespace kestrune::platform::linux_backend
