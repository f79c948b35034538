// The packet-filter rules that send the network namespace's packets to one
// NFQUEUE queue: a chain of the library's own, jumped to from INPUT and OUTPUT,
// for IPv4 and IPv6, through the iptables tools the machine has. The rules use
// the queue's bypass, so that packets pass while no process listens: a process
// that dies never cuts the machine off. Any thread: the rules belong to the
// network namespace of the thread that installs them, and are removed there
// whichever namespace the removing thread is in.
#ifndef KESTRUNE_PLATFORM_LINUX_LINUX_XTABLES_H
#define KESTRUNE_PLATFORM_LINUX_LINUX_XTABLES_H

#include <cstdint>
#include <string>

namespace kestrune::platform::linux_backend {

inline constexpr const char *kDivertChain = "KESTRUNE";

struct DivertRules {
    std::string tool4; // empty while nothing is installed
    std::string tool6; // empty when the rules cover IPv4 only (no IPv6 on the machine)
    int netns = -1;    // the namespace the rules live in, while they are installed
};

// Clears rules left by an earlier run that ended without removing them, then
// installs the chain and its jumps. A diversion error code: kDivertSuccess,
// kDivertErrorFileNotFound (no iptables), kDivertErrorAccessDenied, or
// kDivertErrorNotSupported (no tool could install an NFQUEUE rule). Leaves no
// rule behind on failure.
uint32_t install_divert_rules(uint16_t queue, bool inbound, bool outbound, DivertRules *rules) noexcept;

// Removes the chain and its jumps. Idempotent. When the calling thread cannot
// enter the rules' namespace, the rules stay (the bypass lets traffic pass).
void remove_divert_rules(DivertRules *rules) noexcept;

} // namespace kestrune::platform::linux_backend

#endif
