#include "platform/linux/sysfs_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <string_view>
#include <vector>

#include "platform/linux/linux_hwdb.h"

namespace kestrune::platform {

namespace {

constexpr size_t kAttributeBytes = 4096;
// Device trees are shallow; a deeper chain is cut here.
constexpr int kMaxAncestors = 32;

std::optional<std::string> read_file_text(const std::string &path)
{
    // Non-blocking, so that a stray FIFO in a tree cannot stall the thread.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::string text(kAttributeBytes, '\0');
    ssize_t size = read(fd, text.data(), text.size());
    close(fd);
    if (size <= 0)
        return std::nullopt;
    text.resize(static_cast<size_t>(size));
    return text;
}

// An attribute's first line without surrounding blanks (SCSI pads with spaces).
std::optional<std::string> attribute(const std::string &dir, const char *name)
{
    std::optional<std::string> text = read_file_text(dir + "/" + name);
    if (!text)
        return std::nullopt;
    std::string_view value(*text);
    value = value.substr(0, value.find_first_of(std::string_view("\n\0", 2)));
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    if (value.empty())
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> uevent_value(const std::optional<std::string> &uevent, std::string_view key)
{
    if (!uevent)
        return std::nullopt;
    std::string_view rest(*uevent);
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
            return line.size() > key.size() + 1 ? std::optional<std::string>(line.substr(key.size() + 1))
                                                : std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> link_name(const std::string &path)
{
    char target[PATH_MAX];
    ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
    if (size <= 0)
        return std::nullopt;
    std::string_view name(target, static_cast<size_t>(size));
    name = name.substr(name.rfind('/') + 1);
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

// Collapses "." and ".." and doubled slashes of an absolute path, without asking
// the file system.
std::string normalized(const std::string &path)
{
    std::vector<std::string_view> parts;
    std::string_view rest(path);
    while (!rest.empty()) {
        std::string_view part = rest.substr(0, rest.find('/'));
        rest.remove_prefix(std::min(rest.size(), part.size() + 1));
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
    }
    std::string out;
    for (std::string_view part : parts)
        out.append("/").append(part);
    return out.empty() ? "/" : out;
}

// Where a member entry leads. Sysfs links point straight at device directories,
// so one readlink and a lexical resolution replace realpath's walk.
std::string device_directory(const std::string &entry)
{
    char target[PATH_MAX];
    ssize_t size = readlink(entry.c_str(), target, sizeof target - 1);
    if (size <= 0)
        return normalized(entry);
    std::string link(target, static_cast<size_t>(size));
    if (link.front() == '/')
        return normalized(link);
    return normalized(entry.substr(0, entry.rfind('/') + 1) + link);
}

// The device directory and its ancestors, nearest first, inside the root.
std::vector<std::string> device_and_ancestors(const std::string &root, const std::string &device)
{
    std::vector<std::string> chain;
    std::string current = device_directory(device);
    std::string inside = normalized(root) + "/";
    while (current.size() > inside.size() && current.compare(0, inside.size(), inside) == 0 &&
           static_cast<int>(chain.size()) < kMaxAncestors) {
        chain.push_back(current);
        current.resize(current.rfind('/'));
    }
    return chain;
}

template <typename... Candidates>
std::optional<std::string> first_of(Candidates &&...candidates)
{
    std::optional<std::string> found;
    // Evaluated lazily, left to right, until one yields a text.
    static_cast<void>(((found = candidates()) || ...));
    return found;
}

std::optional<std::string> description(const std::string &device, const std::optional<std::string> &uevent)
{
    return first_of([&] { return attribute(device, "product"); },
                    [&] { return attribute(device, "model"); },
                    [&] { return attribute(device + "/device", "model"); },
                    [&] { return attribute(device + "/device", "product"); },
                    [&] { return uevent_value(uevent, "HID_NAME"); },
                    [&] { return link_name(device + "/driver"); },
                    [&] { return link_name(device + "/device/driver"); },
                    [&] { return uevent_value(uevent, "DRIVER"); });
}

std::optional<std::string> friendly_name(const std::optional<std::string> &uevent)
{
    if (std::optional<std::string> interfaceName = uevent_value(uevent, "INTERFACE"))
        return interfaceName;
    if (std::optional<std::string> node = uevent_value(uevent, "DEVNAME"))
        return "/dev/" + *node;
    return std::nullopt;
}

std::optional<std::string> bus_description(const std::vector<std::string> &chain)
{
    for (const std::string &dir : chain)
        if (std::optional<std::string> product = attribute(dir, "product"))
            return product;
    return std::nullopt;
}

std::string upper_ascii(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The database key of a device: the USB IDs as udev forms them, else its modalias.
std::optional<std::string> hardware_key(const std::string &dir)
{
    std::optional<std::string> vendorId = attribute(dir, "idVendor");
    std::optional<std::string> productId = attribute(dir, "idProduct");
    if (vendorId && productId)
        return "usb:v" + upper_ascii(*vendorId) + "p" + upper_ascii(*productId);
    return attribute(dir, "modalias");
}

std::optional<std::string> textual_vendor(const std::string &dir)
{
    std::optional<std::string> vendor = attribute(dir, "vendor");
    if (vendor && vendor->compare(0, 2, "0x") == 0)
        return std::nullopt; // a numeric ID, not a name
    return vendor;
}

std::optional<std::string> manufacturer(const std::string &device, const std::vector<std::string> &chain,
                                        HardwareDatabase *vendors)
{
    for (const std::string &dir : chain) {
        if (vendors != nullptr)
            if (std::optional<std::string> key = hardware_key(dir))
                if (std::optional<std::string> name = vendors->vendor(*key))
                    return name;
        if (std::optional<std::string> name = attribute(dir, "manufacturer"))
            return name;
    }
    return first_of([&] { return textual_vendor(device + "/device"); }, [&] { return textual_vendor(device); });
}

} // namespace

SysfsTexts read_sysfs_device_texts(const std::string &root, const std::string &device, HardwareDatabase *vendors)
{
    std::vector<std::string> chain = device_and_ancestors(root, device);
    std::optional<std::string> uevent = read_file_text(device + "/uevent");
    return {description(device, uevent), friendly_name(uevent), bus_description(chain),
            manufacturer(device, chain, vendors)};
}

} // namespace kestrune::platform
