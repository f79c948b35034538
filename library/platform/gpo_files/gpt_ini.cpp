#include "platform/gpo_files/gpt_ini.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace kestrune::platform {

namespace {

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool key_is(const std::string &line, const std::string &key)
{
    return line.size() > key.size() && line[key.size()] == '=' && upper(line.substr(0, key.size())) == upper(key);
}

// "[{A}{T1}{T2}][{B}{T3}]" as groups of GUID texts.
std::vector<std::vector<std::string>> parse_extension_groups(const std::string &value)
{
    std::vector<std::vector<std::string>> groups;
    size_t pos = 0;
    while ((pos = value.find('[', pos)) != std::string::npos) {
        size_t end = value.find(']', pos);
        if (end == std::string::npos)
            break;
        std::vector<std::string> group;
        size_t open = pos;
        while ((open = value.find('{', open)) != std::string::npos && open < end) {
            size_t close = value.find('}', open);
            if (close == std::string::npos || close > end)
                break;
            group.push_back(upper(value.substr(open, close - open + 1)));
            open = close + 1;
        }
        if (!group.empty())
            groups.push_back(std::move(group));
        pos = end + 1;
    }
    return groups;
}

std::string with_extension(const std::string &value, const std::string &extension, const std::string &tool)
{
    auto groups = parse_extension_groups(value);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto &g) { return g.front() == extension; });
    if (group == groups.end()) {
        groups.push_back({extension, tool});
    } else if (std::find(group->begin() + 1, group->end(), tool) == group->end()) {
        group->push_back(tool);
        std::sort(group->begin() + 1, group->end());
    }
    std::sort(groups.begin(), groups.end(), [](const auto &a, const auto &b) { return a.front() < b.front(); });
    std::string out;
    for (const auto &g : groups) {
        out += '[';
        for (const auto &id : g)
            out += id;
        out += ']';
    }
    return out;
}

} // namespace

std::string gpt_ini_after_machine_save(const std::string &current, const Guid &extension, const Guid &tool)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < current.size()) {
        size_t end = current.find('\n', start);
        std::string line = current.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    auto general = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return upper(l) == "[GENERAL]"; });
    if (general == lines.end()) {
        lines.insert(lines.begin(), "[General]");
        general = lines.begin();
    }
    // The [General] section runs to the next section header.
    auto section_end = std::find_if(general + 1, lines.end(), [](const std::string &l) { return !l.empty() && l[0] == '['; });

    const std::string ext = guid_text(extension), tl = guid_text(tool);
    bool sawVersion = false, sawExtensions = false;
    for (auto it = general + 1; it != section_end; ++it) {
        if (key_is(*it, "Version")) {
            unsigned long version = std::strtoul(it->c_str() + 8, nullptr, 10) & 0xFFFFFFFFul;
            unsigned long machine = ((version & 0xFFFF) + 1) & 0xFFFF;
            *it = "Version=" + std::to_string((version & 0xFFFF0000ul) | (machine == 0 ? 1 : machine));
            sawVersion = true;
        } else if (key_is(*it, "gPCMachineExtensionNames")) {
            *it = "gPCMachineExtensionNames=" + with_extension(it->substr(25), ext, tl);
            sawExtensions = true;
        }
    }
    if (!sawExtensions)
        section_end = lines.insert(section_end, "gPCMachineExtensionNames=" + with_extension("", ext, tl)) + 1;
    if (!sawVersion)
        lines.insert(section_end, "Version=1");

    std::string out;
    for (const std::string &line : lines)
        out += line + "\r\n";
    return out;
}

} // namespace kestrune::platform
