// kestrune policy show [--effective]: the saved machine policy, or the
// effective one of the last refresh, read straight from the policy store's
// files with the library's own Registry.pol codec. Reading needs no policy
// object, so it changes nothing and works while another process holds one.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command_error.h"
#include "commands.h"
#include "host.h"
#include "json.h"
#include "policy_listing.h"

namespace kestrune::cli {

int run_policy(const Invocation &invocation, Output &out)
{
    if (invocation.words.size() != 2 || invocation.words[1] != "show")
        throw usage_error("'policy' takes one subcommand: show");
    allow_only(invocation, "policy show", {"effective", "json", "verbose"});
    const bool effective = invocation.has("effective");
    const std::string path =
        host::policy_root() + (effective ? "/Policies/Machine.pol" : "/GroupPolicy/Machine/Registry.pol");

    const host::FileRead read = host::read_file(path);
    if (read.status == host::FileStatus::denied)
        throw CommandError(kExitNotAdministrator, "not allowed to read " + path + "; run it as root");
    if (read.status == host::FileStatus::failed)
        throw CommandError(kExitFailure, "cannot read the policy: " + read.error);
    std::vector<platform::PolRecord> records;
    if (read.status == host::FileStatus::ok) {
        const auto bytes = std::as_bytes(std::span(read.bytes));
        std::optional<std::vector<platform::PolRecord>> parsed = platform::parse_registry_pol(
            std::span(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
        if (!parsed)
            throw CommandError(kExitFailure, path + " is not a Registry.pol file; move it aside and set the "
                                                    "policy again");
        records = std::move(*parsed);
    } else {
        print_note(std::string(effective ? "no policy applied yet: " : "no policy saved yet: ") + path +
                   " does not exist");
    }

    if (invocation.has("json")) {
        std::vector<std::string> values;
        for (const platform::PolRecord &record : records)
            values.push_back(policy_json(record));
        out.write(JsonObject()
                      .add("file", path)
                      .add_json("values", json_array(values.data(), values.data() + values.size()))
                      .str() +
                  "\n");
    } else {
        std::string text;
        for (const platform::PolRecord &record : records)
            text += policy_line(record) + "\n";
        out.write(text);
    }
    return kExitSuccess;
}

} // namespace kestrune::cli
