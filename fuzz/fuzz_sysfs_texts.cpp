// The sysfs text readers: the four device texts read from a device directory
// whose attribute files and member link hold the input. The input is split at
// 0xFF bytes into the member link's target, then the attributes product, model,
// vendor, manufacturer and uevent of the device (the last also of its parent).
// No text holds a line feed or is empty, and the walk to ancestors stays inside
// the sysfs root: a product file just outside it is never taken as the bus
// description. Links that would lead out of the scratch tree are skipped.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/sysfs_device.h"

using namespace kestrune::platform;
namespace fs = std::filesystem;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

const std::string kOutside = "outside the root";

// /tmp/kestrune-fuzz-sysfs-PID/{product, sys/devices/bus/parent/device, sys/class/c/member}
struct Tree {
    std::string top, root, device, member;

    Tree()
    {
        top = (fs::temp_directory_path() / ("kestrune-fuzz-sysfs-" + std::to_string(getpid()))).string();
        root = top + "/sys";
        device = root + "/devices/bus/parent/device";
        member = root + "/class/c/member";
        fs::create_directories(device);
        fs::create_directories(root + "/class/c");
        std::ofstream(top + "/product") << kOutside << "\n";
    }
    ~Tree() { fs::remove_all(top); }
};

void write(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Tree tree;
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    fields.resize(6);
    const std::string &target = fields[0];
    fs::remove(tree.member);
    if (target.empty() || target.find('\0') != std::string::npos || target.size() >= 4096)
        return 0;
    // Links stay inside the scratch tree: the machine's own files are not read.
    const std::string lands = (fs::path(tree.member).parent_path() / target).lexically_normal().string();
    if (lands.compare(0, tree.top.size() + 1, tree.top + "/") != 0)
        return 0;
    fs::create_symlink(target, tree.member);
    const char *const names[] = {"product", "model", "vendor", "manufacturer", "uevent"};
    for (size_t i = 0; i < 5; ++i)
        write(tree.device + "/" + names[i], fields[i + 1]);
    write(tree.root + "/devices/bus/parent/uevent", fields[5]);

    const SysfsTexts texts = read_sysfs_device_texts(tree.root, tree.member, nullptr);
    for (const auto &text : texts)
        check(!text || (!text->empty() && text->find('\n') == std::string::npos));
    check(texts[2] != kOutside);
    return 0;
}
