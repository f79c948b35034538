#include "bandwidth_limit.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "host.h"
#include "json.h"
#include "kestrune.h"
#include "policy_session.h"

namespace kestrune::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string one_decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string sample_row(const std::string &time, const std::string &in, const std::string &out,
                       const std::string &total, const std::string &limit)
{
    char text[160];
    std::snprintf(text, sizeof text, "%-24s  %10s  %10s  %10s  %10s\n", time.c_str(), in.c_str(), out.c_str(),
                  total.c_str(), limit.c_str());
    return text;
}

// KB/s (1000 bytes) between two readings of a counter; a counter that went
// back (its interface was removed) counts as no traffic.
double kbps_between(uint64_t before, uint64_t after, double seconds)
{
    return after > before && seconds > 0 ? static_cast<double>(after - before) / seconds / 1000.0 : 0.0;
}

std::string sample_line(const host::Traffic &before, const host::Traffic &after, double seconds, uint32_t kbps,
                        bool json)
{
    const double in = kbps_between(before.received, after.received, seconds);
    const double out = kbps_between(before.sent, after.sent, seconds);
    if (json)
        return JsonObject()
                   .add("time", host::utc_now())
                   .add_json("received_kbps", one_decimal(in))
                   .add_json("sent_kbps", one_decimal(out))
                   .add_json("total_kbps", one_decimal(in + out))
                   .add("limit_kbps", static_cast<int64_t>(kbps))
                   .str() +
               "\n";
    return sample_row(host::utc_now(), one_decimal(in), one_decimal(out), one_decimal(in + out), std::to_string(kbps));
}

} // namespace

void check_network_namespace(bool confirmed)
{
    if (confirmed)
        return;
    std::string why;
    switch (host::network_namespace(why)) {
    case host::NetworkNamespace::other:
        return;
    case host::NetworkNamespace::machines:
        throw CommandError(kExitUsage, "refusing to limit the machine's own network namespace, since the limit "
                                       "takes every packet of it; run it in a namespace of its own (unshare -n) "
                                       "or add --yes-this-namespace");
    case host::NetworkNamespace::unknown:
        break;
    }
    throw CommandError(kExitUsage, "cannot tell whether this is the machine's own network namespace (" + why +
                                       "); run it as root, or add --yes-this-namespace");
}

CommandError limit_refused(uint32_t kbps, int result)
{
    if (result == QVX_KESTRUNE_RESULT_FAILED && !host::may_divert_packets())
        return CommandError(kExitNotAdministrator, "not allowed to divert packets (CAP_NET_ADMIN is missing); "
                                                   "run it as root");
    return CommandError(exit_status_of(result), "the limit of " + std::to_string(kbps) +
                                                    " KB/s could not be started (result " + std::to_string(result) +
                                                    "); it needs iptables and the kernel's packet queue; " +
                                                    kSeeLibraryLines);
}

bool release_limit()
{
    // Without the policy object the deny list reads as empty, so this stops the
    // shaper and leaves the saved policy as it is.
    return QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, QVX_KESTRUNE_NET_PERM_NO_LIMIT, 0) ==
           QVX_KESTRUNE_RESULT_SUCCESS;
}

int hold_limit(Output &out, uint32_t kbps, bool json)
{
    std::optional<CommandError> failure;
    std::string why;
    std::optional<host::Traffic> before = host::read_traffic(why);
    if (!before)
        failure = CommandError(kExitFailure, "cannot read the interface counters: " + why);
    else if (!json)
        out.write("holding this network namespace to " + std::to_string(kbps) +
                  " KB/s; Ctrl-C releases the limit\n" +
                  sample_row("TIME", "IN KB/s", "OUT KB/s", "TOTAL KB/s", "LIMIT KB/s"));

    Clock::time_point since = Clock::now();
    Clock::time_point next = since + std::chrono::seconds(1);
    while (!failure && out.error() == 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        if (host::wait_for_interrupt(std::max(left, std::chrono::milliseconds(0))))
            break;
        const Clock::time_point now = Clock::now();
        if (now < next)
            continue;
        const std::optional<host::Traffic> after = host::read_traffic(why);
        if (!after) {
            failure = CommandError(kExitFailure, "cannot read the interface counters: " + why);
            break;
        }
        out.write(sample_line(*before, *after, std::chrono::duration<double>(now - since).count(), kbps, json));
        before = after;
        since = now;
        // A late tick does not make the next interval short.
        next += std::chrono::seconds(1);
        if (next <= now)
            next = now + std::chrono::seconds(1);
    }

    if (!release_limit())
        throw CommandError(kExitFailure, "the limit could not be released; it ends with this process; " +
                                             kSeeLibraryLines);
    if (failure)
        throw *failure;
    if (!json)
        out.write("released the limit\n");
    return kExitSuccess;
}

} // namespace kestrune::cli
