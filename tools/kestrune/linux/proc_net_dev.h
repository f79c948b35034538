// /proc/net/dev: two header lines, then one line per interface of the reading
// process's network namespace, "NAME: " and sixteen counters, the receive byte
// count first and the transmit byte count ninth.
#ifndef KESTRUNE_TOOLS_LINUX_PROC_NET_DEV_H
#define KESTRUNE_TOOLS_LINUX_PROC_NET_DEV_H

#include <optional>
#include <string_view>

#include "host.h"

namespace kestrune::cli::linux_host {

// The sums over every interface; nothing when an interface line is malformed.
std::optional<host::Traffic> parse_proc_net_dev(std::string_view text);

} // namespace kestrune::cli::linux_host

#endif
