// The console's platform steps on Windows: the Simplified Chinese locale "chs",
// the directory line on the wide stream with the directory as the system returns
// it, and the command processor's "timeout /T 5" for the pause. The C runtime
// converts wide output through the process locale, so the wide line and the
// narrow ones share the console.
#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <iostream>

#include "console_platform.h"

void set_console_locale()
{
    std::setlocale(LC_ALL, "chs");
}

void print_config_directory(const char *configName)
{
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    std::wcout << L"KESTRUNE_TEST INFO: Test config dirName=" << directory << L", name=" << configName
               << std::endl;
}

void pause_five_seconds()
{
    // The pause is all that matters; a missing timeout.exe only shortens it.
    static_cast<void>(std::system("timeout /T 5"));
}
