// kestrune limit KBPS: holds a bandwidth limit on the process's network
// namespace until interrupted. The policy object is not opened: the limit
// changes no saved policy, and the library's network permit stops and starts
// the shaper without one.
#include <optional>
#include <string>

#include "bandwidth_limit.h"
#include "command_error.h"
#include "commands.h"
#include "kestrune.h"

namespace kestrune::cli {

int run_limit(const Invocation &invocation, Output &out)
{
    allow_only(invocation, "limit", {"json", "verbose", "yes-this-namespace"});
    if (invocation.words.size() != 2)
        throw usage_error("'limit' takes one bandwidth in KB/s");
    const std::optional<uint32_t> kbps = parse_kbps(invocation.words[1]);
    if (!kbps)
        throw usage_error("the limit is 0 to " + std::to_string(QVX_KESTRUNE_NET_SPEED_MAX_KBPS) + " KB/s, not '" +
                          invocation.words[1] + "'");
    check_network_namespace(invocation.has("yes-this-namespace"));

    const int result =
        QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD, QVX_KESTRUNE_NET_PERM_LIMIT, *kbps);
    if (result != QVX_KESTRUNE_RESULT_SUCCESS)
        throw limit_refused(*kbps, result);
    return hold_limit(out, *kbps, invocation.has("json"));
}

} // namespace kestrune::cli
