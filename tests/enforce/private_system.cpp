#include "private_system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace kestrune::test {

namespace {

// Subsystems that are buses (their devices appear under /sys/bus/NAME/devices);
// the others are classes.
const std::set<std::string> kBuses = {"usb",  "pci",  "pnp",    "platform", "scsi", "serial-base", "virtio",
                                      "hid",  "usb-serial", "serio", "i2c", "mmc", "serdev"};

std::string failure_text;

void write_text(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

void relative_link(const std::string &target, const std::string &link)
{
    fs::create_directories(fs::path(link).parent_path());
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_directory_symlink(fs::relative(target, fs::path(link).parent_path()), link);
}

bool mount_ok(const char *source, const char *target, const char *type, unsigned long flags, const char *data,
              const char *what)
{
    if (::mount(source, target, type, flags, data) == 0)
        return true;
    failure_text = std::string("mount ") + what + " on " + target + ": " + std::strerror(errno);
    return false;
}

bool enter()
{
    if (::geteuid() != 0)
        return failure_text = "needs root", false;
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return failure_text = std::string("unshare: ") + std::strerror(errno), false;
    // Nothing mounted from here on may propagate back. Inside a chroot "/" is no
    // mount point: then each mount that is one is made private.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        for (const char *point : {"/sys", "/proc", "/dev", "/run", "/etc", "/var", "/usr"})
            ::mount(nullptr, point, nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (!mount_ok("tmpfs", "/run", "tmpfs", 0, "mode=755", "tmpfs") ||
        !mount_ok("tmpfs", "/sys", "tmpfs", 0, "mode=755", "tmpfs") ||
        !mount_ok("tmpfs", "/var", "tmpfs", 0, "mode=755", "tmpfs"))
        return false;
    fs::create_directories("/run/kestrune-test/etc");
    if (!mount_ok("tmpfs", "/run/kestrune-test/etc", "tmpfs", 0, "mode=700", "tmpfs"))
        return false;
    fs::create_directories("/run/kestrune-test/etc/upper");
    fs::create_directories("/run/kestrune-test/etc/work");
    if (!mount_ok("overlay", "/etc", "overlay", 0,
                  "lowerdir=/etc,upperdir=/run/kestrune-test/etc/upper,workdir=/run/kestrune-test/etc/work",
                  "overlay"))
        return false;
    for (const char *rules : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d"})
        if (fs::is_directory(rules) && !mount_ok("tmpfs", rules, "tmpfs", 0, "mode=755", "tmpfs"))
            return false;
    write_text("/run/kestrune-test/consoles", "ttyS0                -W- (EC p a)    4:64\n");
    if (!mount_ok("/run/kestrune-test/consoles", "/proc/consoles", nullptr, MS_BIND, nullptr, "bind"))
        return false;
    // eth0 is the card with the default route; its peer is never looked at.
    if (run_program({"ip", "link", "set", "lo", "up"}) != 0 ||
        run_program({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "kpeer0"}) != 0 ||
        run_program({"ip", "link", "set", "eth0", "up"}) != 0 || run_program({"ip", "link", "set", "kpeer0", "up"}) != 0 ||
        run_program({"ip", "route", "add", "default", "dev", "eth0"}) != 0)
        return failure_text = "cannot set up the test network", false;
    return true;
}

} // namespace

const std::string &private_system_failure()
{
    static bool entered = enter();
    (void)entered;
    return failure_text;
}

int run_program(std::initializer_list<std::string> argv, std::string *output, const std::vector<std::string> &environment)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t child = ::fork();
    if (child == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        for (const std::string &setting : environment)
            ::putenv(const_cast<char *>(setting.c_str()));
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return -1;
    if (output != nullptr)
        *output = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string sys(const std::string &devicePath)
{
    return "/sys/devices/" + devicePath;
}

void build_sysfs(const std::vector<FakeDevice> &devices)
{
    for (const auto &entry : fs::directory_iterator("/sys"))
        fs::remove_all(entry.path());
    for (const FakeDevice &device : devices) {
        std::string dir = sys(device.path);
        std::string name = fs::path(dir).filename();
        fs::create_directories(dir);
        bool bus = kBuses.count(device.subsystem) != 0;
        std::string home = std::string(bus ? "/sys/bus/" : "/sys/class/") + device.subsystem;
        fs::create_directories(home);
        relative_link(home, dir + "/subsystem");
        relative_link(dir, bus ? home + "/devices/" + name : home + "/" + name);
        std::string uevent;
        if (!device.devtype.empty())
            uevent += "DEVTYPE=" + device.devtype + "\n";
        if (!device.driver.empty()) {
            std::string driver = "/sys/bus/" + device.subsystem + "/drivers/" + device.driver;
            write_text(driver + "/bind", "");
            write_text(driver + "/unbind", "");
            relative_link(driver, dir + "/driver");
            uevent += "DRIVER=" + device.driver + "\n";
        }
        if (!device.dev.empty()) {
            size_t colon = device.dev.find(':');
            uevent += "MAJOR=" + device.dev.substr(0, colon) + "\nMINOR=" + device.dev.substr(colon + 1) +
                      "\nDEVNAME=" + name + "\n";
            write_text(dir + "/dev", device.dev + "\n");
            relative_link(dir, std::string("/sys/dev/") + (device.subsystem == "block" ? "block/" : "char/") +
                                   device.dev);
        }
        write_text(dir + "/uevent", uevent);
        for (const auto &[attribute, value] : device.attributes)
            write_text(dir + "/" + attribute, value + "\n");
        // A class device below another device points back at it.
        if (!bus) {
            fs::path parent = fs::path(dir).parent_path();
            if (parent.filename() == device.subsystem)
                parent = parent.parent_path();
            if (fs::exists(parent / "uevent") && device.path.find("virtual/") != 0)
                relative_link(parent, dir + "/device");
        }
    }
}

void clear_runtime()
{
    for (const char *dir : {"/run/kestrune", "/run/udev", "/run/utmp", "/etc/udev/rules.d"}) {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::create_directories("/etc/udev/rules.d");
}

} // namespace kestrune::test
