// The process-wide local policy object, held from a successful
// QVX_KESTRUNE_Initialize to QVX_KESTRUNE_Uninitialize. The policy store only
// borrows its machine key: it never closes or replaces it.
#ifndef KESTRUNE_CORE_POLICY_OBJECT_H
#define KESTRUNE_CORE_POLICY_OBJECT_H

#include "platform/registry.h"

namespace kestrune {

// The root key of the machine section; null while no policy object is held, so
// that every registry operation relative to it fails with the invalid-handle code.
platform::RegKey held_machine_key();

} // namespace kestrune

#endif
