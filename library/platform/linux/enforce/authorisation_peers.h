// Other programs that decide which USB devices are authorised. Kestrune writes
// the same `authorized` attributes; it names such a peer rather than fight it.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_AUTHORISATION_PEERS_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_AUTHORISATION_PEERS_H

#include <string>
#include <vector>

namespace kestrune::platform {

// One text per sign of a peer: a known daemon running (from /proc), or a host
// controller whose devices start unauthorised (authorized_default not 1).
std::vector<std::string> authorisation_peers();

} // namespace kestrune::platform

#endif
