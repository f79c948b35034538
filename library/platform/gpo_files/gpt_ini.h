// gpt.ini of a group policy object: its version (machine part in the low 16 bits,
// user part in the high 16 bits) and the client-side extensions that hold its
// machine policy. Pure text functions.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_GPT_INI_H
#define KESTRUNE_PLATFORM_GPO_FILES_GPT_INI_H

#include <string>

#include "base/guid.h"

namespace kestrune::platform {

// The file after one machine save: the machine version raised by one (the user
// version kept), and the extension/tool pair listed in gPCMachineExtensionNames.
// Other lines are kept as they were. `current` may be empty (no file yet).
std::string gpt_ini_after_machine_save(const std::string &current, const Guid &extension, const Guid &tool);

} // namespace kestrune::platform

#endif
