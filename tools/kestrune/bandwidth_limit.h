// Holding a bandwidth limit from the command line. The library's limit lives in
// the process that set it and takes every packet of that process's network
// namespace, so the command stays in the foreground while it holds the limit,
// shows the namespace's throughput once a second, and releases the limit when
// the operator interrupts it.
#ifndef KESTRUNE_TOOLS_BANDWIDTH_LIMIT_H
#define KESTRUNE_TOOLS_BANDWIDTH_LIMIT_H

#include <cstdint>

#include "command_error.h"
#include "output.h"

namespace kestrune::cli {

// Throws a usage error in the machine's own network namespace (or where that
// cannot be told) unless the operator confirmed it.
void check_network_namespace(bool confirmed);

// The error for a limit request that the library refused with `result`.
CommandError limit_refused(uint32_t kbps, int result);

// Ends the limit this process holds; false when the library refused.
bool release_limit();

// Shows the throughput against `kbps` until interrupted, then releases the
// limit. Returns the exit status; throws when the limit could not be released.
int hold_limit(Output &out, uint32_t kbps, bool json);

} // namespace kestrune::cli

#endif
