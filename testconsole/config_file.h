// Which path may serve as the console's configuration file.
#ifndef KESTRUNE_TESTCONSOLE_CONFIG_FILE_H
#define KESTRUNE_TESTCONSOLE_CONFIG_FILE_H

// True for a regular file (or a link to one) that can be opened for reading.
// Anything else counts as missing: a directory would read as an empty
// configuration, a FIFO would hang the console and a device might never end.
bool usable_config_file(const char *name);

#endif
