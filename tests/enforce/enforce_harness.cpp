#include "enforce_harness.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "kestrune.h"
#include "support/stdout_capture.h"

namespace fs = std::filesystem;

namespace kestrune::test {

namespace {

int machineDev = -1;

// Why the namespaces are not in place; empty once they are. private-system.sh
// sets up what lies inside them.
std::string enter_private_system()
{
    if (::geteuid() != 0)
        return "needs root";
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return std::string("unshare: ") + std::strerror(errno);
    machineDev = ::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string output;
    if (machineDev < 0 || shell("sh " + (fs::path(__FILE__).parent_path() / "private-system.sh").string(), &output) != 0)
        return "cannot set up: " + output;
    return {};
}

void relative_link(const fs::path &target, const fs::path &link)
{
    fs::create_directories(link.parent_path());
    fs::remove(link);
    fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

} // namespace

int machine_dev()
{
    return machineDev;
}

int shell(const std::string &command, std::string *output)
{
    FILE *pipe = ::popen(("{ " + command + "\n} 2>&1 </dev/null").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    int status = ::pclose(pipe);
    if (output != nullptr)
        *output = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string sys(const std::string &devicePath)
{
    return "/sys/devices/" + devicePath;
}

void build_sysfs(const Devices &devices)
{
    // Subsystems that are buses list their devices under /sys/bus; the others are classes.
    static const std::set<std::string> kBuses = {"usb", "pci",  "pnp",   "platform",   "scsi",
                                                  "hid", "serio", "virtio", "serial-base", "usb-serial"};
    for (const auto &entry : fs::directory_iterator("/sys"))
        fs::remove_all(entry.path());
    for (const FakeDevice &device : devices) {
        const fs::path dir = sys(device.path);
        const bool bus = kBuses.count(device.subsystem) != 0;
        const fs::path home = (bus ? "/sys/bus/" : "/sys/class/") + device.subsystem;
        fs::create_directories(dir);
        fs::create_directories(home);
        relative_link(home, dir / "subsystem");
        relative_link(dir, bus ? home / "devices" / dir.filename() : home / dir.filename());
        std::string uevent = device.devtype.empty() ? "" : "DEVTYPE=" + device.devtype + "\n";
        if (!device.driver.empty()) {
            const fs::path driver = "/sys/bus/" + device.subsystem + "/drivers/" + device.driver;
            write_file(driver / "bind", "");
            write_file(driver / "unbind", "");
            relative_link(driver, dir / "driver");
            uevent += "DRIVER=" + device.driver + "\n";
        }
        if (!device.dev.empty()) {
            const size_t colon = device.dev.find(':');
            uevent += "MAJOR=" + device.dev.substr(0, colon) + "\nMINOR=" + device.dev.substr(colon + 1) +
                      "\nDEVNAME=" + dir.filename().string() + "\n";
            write_file(dir / "dev", device.dev + "\n");
            relative_link(dir, (device.subsystem == "block" ? "/sys/dev/block/" : "/sys/dev/char/") + device.dev);
        }
        write_file(dir / "uevent", uevent);
        for (const auto &[attribute, value] : device.attributes)
            write_file(dir / attribute, value + "\n");
        // A class device below another device points back at it.
        fs::path parent = dir.parent_path();
        if (parent.filename() == device.subsystem)
            parent = parent.parent_path();
        if (!bus && fs::exists(parent / "uevent") && !device.path.starts_with("virtual/"))
            relative_link(parent, dir / "device");
    }
}

std::string usb(const std::string &port)
{
    std::string path = "pci0000:00/0000:00:14.0/usb1";
    const std::string device = port.substr(0, port.find(':'));
    for (size_t dot = device.find('.'); dot != std::string::npos; dot = device.find('.', dot + 1))
        path += "/" + device.substr(0, dot);
    path += "/" + device;
    return port.find(':') == std::string::npos ? path : path + "/" + port;
}

Devices hardware(const std::string &pieces)
{
    static const std::string text = read_file(fs::path(__FILE__).parent_path() / "hardware.txt");
    Devices devices;
    std::istringstream names(pieces);
    for (std::string piece; names >> piece;) {
        const std::string name = piece.substr(0, piece.find('@'));
        const std::string port = piece.find('@') == std::string::npos ? "" : piece.substr(piece.find('@') + 1);
        const size_t section = text.find("\n[" + name + "]\n");
        EXPECT_NE(section, std::string::npos) << "no hardware " << name;
        std::istringstream lines(section == std::string::npos ? "" : text.substr(section + name.size() + 4));
        for (std::string line; std::getline(lines, line) && !line.empty();) {
            std::istringstream words(line);
            FakeDevice d;
            words >> d.path >> d.subsystem >> d.driver >> d.devtype >> d.dev;
            for (std::string *field : {&d.driver, &d.devtype, &d.dev})
                if (*field == "-")
                    field->clear();
            if (d.path.starts_with("$")) {
                const size_t slash = d.path.find('/');
                d.path = usb(port + d.path.substr(1, slash - 1)) + (slash == std::string::npos ? "" : d.path.substr(slash));
            }
            for (std::string attribute; words >> std::quoted(attribute);)
                d.attributes[attribute.substr(0, attribute.find('='))] = attribute.substr(attribute.find('=') + 1);
            devices.push_back(d);
        }
    }
    return devices;
}

Devices usb_stick(const std::string &dev)
{
    Devices stick = hardware("usb-stick@1-5");
    stick.pop_back();
    stick.back().dev = dev;
    return stick;
}

Devices operator+(Devices a, const Devices &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string line(const std::string &outcome, const std::string &kind, const std::string &device)
{
    return outcome + " " + kind + " " + device;
}

void EnforcementTest::SetUp()
{
    static const std::string failure = enter_private_system();
    if (!failure.empty())
        GTEST_SKIP() << "no private system: " << failure;
    clear_runtime();
}

void EnforcementTest::clear_runtime()
{
    for (const char *dir : {"/run/kestrune", "/run/udev", "/run/utmp", "/etc/udev/rules.d", "/etc/udev/hwdb.d", "/etc/udev/hwdb.bin"})
        fs::remove_all(dir);
    fs::create_directories("/etc/udev/rules.d");
}

Applied EnforcementTest::apply(const std::vector<Permit> &permits, const char *mode,
                               const std::function<void()> &beforeApply)
{
    Applied applied;
    setenv("KESTRUNE_ENFORCE", mode, 1);
    {
        StdoutCapture out;
        EXPECT_EQ(QVX_KESTRUNE_Initialize(), 0);
        for (const Permit &p : permits)
            EXPECT_EQ(p.category == QVX_KESTRUNE_DEVICE_TYPE_NORMAL ? QVX_KESTRUNE_set_normal_device_permit(p.device, p.permission)
                      : p.category == QVX_KESTRUNE_DEVICE_TYPE_STORAGE
                          ? QVX_KESTRUNE_set_storage_device_permit(p.device, p.permission)
                          : QVX_KESTRUNE_set_net_device_permit(p.device, p.permission, 0),
                      0);
        if (beforeApply)
            beforeApply();
        applied.result = QVX_KESTRUNE_Apply();
        EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), 0);
        unsetenv("KESTRUNE_ENFORCE");
        applied.log = without_line_numbers(out.text());
    }
    if (!fs::exists(root_ / "Policies/Enforcement.txt"))
        return applied;
    applied.report = read_file(root_ / "Policies/Enforcement.txt");
    std::istringstream rows(applied.report);
    for (std::string row; std::getline(rows, row);) {
        if (row.starts_with("#") || std::count(row.begin(), row.end(), '\t') < 3)
            continue;
        const size_t kind = row.find('\t') + 1, device = row.find('\t', kind) + 1, detail = row.find('\t', device) + 1;
        std::string path = row.substr(device, detail - device - 1);
        if (path.starts_with("/sys/devices/"))
            path.erase(0, std::string("/sys/devices/").size());
        const std::string key = line(row.substr(0, kind - 1), row.substr(kind, device - kind - 1), path);
        applied.lines.insert(key);
        applied.details[key] = row.substr(detail);
    }
    return applied;
}

} // namespace kestrune::test
