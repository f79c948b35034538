// The two passes of a test run over every device the library knows: write the
// permissions the test configuration names, then read all of them back into it.
#ifndef KESTRUNE_TESTCONSOLE_DEVICE_PERM_H
#define KESTRUNE_TESTCONSOLE_DEVICE_PERM_H

#include <cstdint>

class Config;

// Writes the permission of every device whose identifier string is a key of
// `config` (unless its value is "def"); counts the set calls that succeeded in
// *counter. Returns 0.
int write_all_device_perm(Config &config, int32_t *counter);

// Reads every device's permission (and the net device's speed) back into
// `config`, replacing what the test configuration said. Returns 0.
int read_all_device_perm(Config &config);

#endif
