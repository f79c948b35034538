// kestrune set DEVICE PERMISSION [--speed KBPS] ...: every pair is checked
// before the first is written, and the policy is applied only when every write
// succeeded; otherwise the policy object is released unapplied and the saved
// policy stays as it was.
#include <optional>
#include <string>
#include <vector>

#include "bandwidth_limit.h"
#include "command_error.h"
#include "commands.h"
#include "kestrune.h"
#include "names.h"
#include "policy_session.h"

namespace kestrune::cli {

namespace {

struct SetPair {
    const Device *device;
    int permission;
    std::string permission_text;
    std::optional<uint32_t> speed; // only with the net device's LIMIT

    bool limits() const
    {
        return device->category == QVX_KESTRUNE_DEVICE_TYPE_NET && permission == QVX_KESTRUNE_NET_PERM_LIMIT;
    }
};

std::vector<SetPair> parse_pairs(const Invocation &invocation)
{
    const std::vector<std::string> operands(invocation.words.begin() + 1, invocation.words.end());
    if (operands.empty())
        throw usage_error("'set' needs one or more DEVICE PERMISSION pairs");
    std::vector<SetPair> pairs;
    for (size_t at = 0; at < operands.size(); at += 2) {
        const Device *device = find_device(operands[at]);
        if (device == nullptr)
            throw usage_error("unknown device '" + operands[at] + "'; the devices are " + device_names());
        if (at + 1 == operands.size())
            throw usage_error("no permission for " + std::string(device->name) + "; it takes " +
                              settable_permission_names(device->category));
        const std::optional<int> permission = find_permission(device->category, operands[at + 1]);
        if (!permission)
            throw usage_error("'" + operands[at + 1] + "' is not a permission of " + std::string(device->name) +
                              "; it takes " + settable_permission_names(device->category));
        for (const SetPair &earlier : pairs)
            if (earlier.device == device)
                throw usage_error(std::string(device->name) + " is named twice");
        pairs.push_back({device, *permission, operands[at + 1], std::nullopt});
    }

    for (const Option &option : invocation.options) {
        if (option.name != "speed")
            continue;
        // The pair before the option: its two words and "set" precede it.
        const size_t before = option.position - 1;
        if (before == 0 || before % 2 != 0)
            throw usage_error("--speed goes right after the pair it is for: eth limit --speed KBPS");
        SetPair &pair = pairs[before / 2 - 1];
        if (!pair.limits())
            throw usage_error("--speed goes only with eth limit");
        if (pair.speed)
            throw usage_error("eth limit has two --speed options");
        pair.speed = parse_kbps(option.value);
        if (!pair.speed)
            throw usage_error("--speed takes 0 to " + std::to_string(QVX_KESTRUNE_NET_SPEED_MAX_KBPS) +
                              " KB/s, not '" + option.value + "'");
    }
    for (const SetPair &pair : pairs)
        if (pair.limits() && !pair.speed)
            throw usage_error("eth limit needs --speed KBPS after it");
    return pairs;
}

int write_pair(const SetPair &pair)
{
    switch (pair.device->category) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL:
        return QVX_KESTRUNE_set_normal_device_permit(pair.device->id, pair.permission);
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE:
        return QVX_KESTRUNE_set_storage_device_permit(pair.device->id, pair.permission);
    case QVX_KESTRUNE_DEVICE_TYPE_NET:
        return QVX_KESTRUNE_set_net_device_permit(pair.device->id, pair.permission, pair.speed.value_or(0));
    }
    return QVX_KESTRUNE_RESULT_INVALID_PARAM;
}

} // namespace

int run_set(const Invocation &invocation, Output &out)
{
    allow_only(invocation, "set", {"speed", "json", "verbose", "yes-this-namespace"});
    const std::vector<SetPair> pairs = parse_pairs(invocation);
    const SetPair *limit = nullptr;
    for (const SetPair &pair : pairs)
        limit = pair.limits() ? &pair : limit;
    if (limit != nullptr)
        check_network_namespace(invocation.has("yes-this-namespace"));

    bool limiting = false;
    try {
        PolicySession session;
        for (const SetPair &pair : pairs) {
            const int result = write_pair(pair);
            if (result != QVX_KESTRUNE_RESULT_SUCCESS && pair.limits())
                throw limit_refused(*pair.speed, result);
            if (result != QVX_KESTRUNE_RESULT_SUCCESS)
                throw CommandError(exit_status_of(result), "cannot set " + std::string(pair.device->name) + " to " +
                                                               pair.permission_text + " (result " +
                                                               std::to_string(result) + "), so nothing was applied; " +
                                                               kSeeLibraryLines);
            limiting = limiting || pair.limits();
        }
        session.apply();
        session.close();
    } catch (...) {
        if (limiting)
            release_limit();
        throw;
    }
    return limiting ? hold_limit(out, *limit->speed, invocation.has("json")) : kExitSuccess;
}

} // namespace kestrune::cli
