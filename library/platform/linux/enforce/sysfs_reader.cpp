#include "platform/linux/enforce/sysfs_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestrune::platform::sysfs {

std::optional<std::string> attribute(const std::string &dir, const std::string &name)
{
    int fd = ::open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool has_entry(const std::string &dir, const std::string &name)
{
    struct stat st;
    return ::lstat((dir + "/" + name).c_str(), &st) == 0;
}

std::string link_name(const std::string &dir, const std::string &link)
{
    char target[PATH_MAX];
    ssize_t n = ::readlink((dir + "/" + link).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    return base_name(std::string(target, static_cast<size_t>(n)));
}

std::string canonical(const std::string &path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *stream = ::opendir(dir.c_str());
    if (stream == nullptr)
        return names;
    while (const dirent *entry = ::readdir(stream)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_path(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool is_at_or_below(const std::string &path, const std::string &ancestor)
{
    return !ancestor.empty() && path.starts_with(ancestor) &&
           (path.size() == ancestor.size() || path[ancestor.size()] == '/');
}

std::string uevent_value(const std::string &dir, const std::string &key)
{
    std::optional<std::string> text = attribute(dir, "uevent");
    if (!text)
        return {};
    size_t at = 0;
    while (at < text->size()) {
        size_t end = text->find('\n', at);
        if (end == std::string::npos)
            end = text->size();
        std::string_view line(text->data() + at, end - at);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        at = end + 1;
    }
    return {};
}

dev_t device_number(const std::string &dir)
{
    std::optional<std::string> text = attribute(dir, "dev");
    unsigned major = 0, minor = 0;
    if (!text || std::sscanf(text->c_str(), "%u:%u", &major, &minor) != 2)
        return 0;
    return makedev(major, minor);
}

std::string nearest(const std::string &path, const std::function<bool(const std::string &)> &match)
{
    const std::string top = std::string(kRoot) + "/devices";
    for (std::string dir = path; is_at_or_below(dir, top) && dir != top; dir = parent_path(dir))
        if (match(dir))
            return dir;
    return {};
}

std::string usb_interface_of(const std::string &path)
{
    return nearest(path, [](const std::string &dir) {
        return link_name(dir, "subsystem") == "usb" && uevent_value(dir, "DEVTYPE") == "usb_interface";
    });
}

} // namespace kestrune::platform::sysfs
