// The console's platform steps on Linux: the environment's locale; the directory
// line through the narrow stream (a stdio stream has one orientation on Linux,
// so wide output on a stdout that already carries narrow text would be lost, and
// the directory the system returns is already in the locale's multibyte
// encoding); a plain sleep for the pause.
#include <chrono>
#include <clocale>
#include <filesystem>
#include <iostream>
#include <thread>

#include "console_platform.h"

void set_console_locale()
{
    std::setlocale(LC_ALL, "");
}

void print_config_directory(const char *configName)
{
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::current_path(error);
    std::cout << "KESTRUNE_TEST INFO: Test config dirName=" << directory.string() << ", name=" << configName
              << std::endl;
}

void pause_five_seconds()
{
    std::this_thread::sleep_for(std::chrono::seconds(5));
}
