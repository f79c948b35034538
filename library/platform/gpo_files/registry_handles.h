// Handles of the Linux registry: how the policy object hands out the root key of
// a tree it owns. A handle keeps its tree alive until it is closed.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_HANDLES_H
#define KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_HANDLES_H

#include <memory>
#include <mutex>

#include "platform/gpo_files/registry_tree.h"
#include "platform/registry.h"

namespace kestrune::platform {

// A new handle, with every access right, to the root of `tree`; null when out of memory.
RegKey open_tree_root(std::shared_ptr<RegNode> tree);

// The lock that serialises every handle operation; holders of a tree that other
// threads may reach through handles take it before reading the tree.
std::mutex &registry_lock();

} // namespace kestrune::platform

#endif
