// gpt.ini after a machine save. Whatever the file held, the machine version in
// [General] goes up by exactly one (skipping 0) with the user version kept, the
// registry extension is listed, and a second save adds no line.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/gpo_files/gpt_ini.h"
#include "platform/policy_object.h"

using namespace kestrune::platform;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> lines_of(const std::string &ini)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = ini.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(ini.substr(start, end - start));
    return lines;
}

// The first Version of the first [General] section, in any letter case.
unsigned long version_of(const std::string &ini)
{
    bool inGeneral = false;
    for (const std::string &line : lines_of(ini)) {
        std::string upper = line;
        for (char &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!line.empty() && line[0] == '[') {
            if (inGeneral)
                break;
            inGeneral = upper == "[GENERAL]";
        } else if (inGeneral && line.rfind("Version=", 0) == 0) {
            return std::stoul(line.substr(8));
        }
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string current(reinterpret_cast<const char *>(data), size);
    const std::string once = gpt_ini_after_machine_save(current, kRegistryExtensionGuid, kClsidGpeSnapIn);
    const std::string twice = gpt_ini_after_machine_save(once, kRegistryExtensionGuid, kClsidGpeSnapIn);
    check(lines_of(twice).size() == lines_of(once).size());
    check(once.find("gPCMachineExtensionNames=") != std::string::npos);
    check(once.find("{35378EAC-683F-11D2-A89A-00C04FBBCFA2}") != std::string::npos);
    const unsigned long first = version_of(once), second = version_of(twice);
    check(second >> 16 == first >> 16);
    check((second & 0xFFFF) == ((first & 0xFFFF) == 0xFFFF ? 1 : (first & 0xFFFF) + 1));
    return 0;
}
