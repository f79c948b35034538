// The test console's few steps that differ between operating systems: the
// locale, the line naming the working directory, and the pause before an early
// exit. One implementation per system, chosen by the build.
#ifndef KESTRUNE_TESTCONSOLE_CONSOLE_PLATFORM_H
#define KESTRUNE_TESTCONSOLE_CONSOLE_PLATFORM_H

// Sets the process locale for all categories.
void set_console_locale();

// Prints "KESTRUNE_TEST INFO: Test config dirName=<directory>, name=<configName>".
void print_config_directory(const char *configName);

// Waits five seconds, so that a console window that closes on exit stays readable.
void pause_five_seconds();

#endif
