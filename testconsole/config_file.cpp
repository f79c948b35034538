#include "config_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

bool usable_config_file(const char *name)
{
    std::error_code error;
    return std::filesystem::is_regular_file(name, error) && static_cast<bool>(std::ifstream(name));
}
