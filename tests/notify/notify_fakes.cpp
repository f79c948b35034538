#include "notify_fakes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "notify/notify_backends.h"
#include "platform/posix/posix_sysfs_lookup.h"
#include "platform/thread_id.h"

namespace kestrune::test {

namespace {

void store_bytes(platform::DeviceMessage &message, const void *head, size_t headBytes, const std::u16string &name)
{
    size_t bytes = headBytes + (name.size() + 1) * sizeof(char16_t);
    message.record.assign((bytes + 3) / 4, 0);
    auto *out = reinterpret_cast<unsigned char *>(message.record.data());
    std::memcpy(out, head, headBytes);
    std::memcpy(out + headBytes, name.data(), name.size() * sizeof(char16_t));
    uint32_t size = static_cast<uint32_t>(bytes);
    std::memcpy(out, &size, sizeof size);
}

class ScriptedSource final : public platform::DeviceEventSource {
public:
    explicit ScriptedSource(std::shared_ptr<Script> script) : script_(std::move(script))
    {
        std::lock_guard<std::mutex> lock(script_->mutex);
        ++script_->created;
    }
    ~ScriptedSource() override
    {
        std::lock_guard<std::mutex> lock(script_->mutex);
        ++script_->destroyed;
        script_->changed.notify_all();
    }

    bool set_up() override
    {
        std::unique_lock<std::mutex> lock(script_->mutex);
        ++script_->setUps;
        if (script_->holdSetUpUntilStop)
            script_->changed.wait(lock, [&] { return stop_; });
        return !stop_ && !script_->failSetUp;
    }

    bool subscribe(const Guid &interfaceClass) override
    {
        std::lock_guard<std::mutex> lock(script_->mutex);
        script_->subscribed.push_back(interfaceClass);
        return true;
    }

    platform::DeviceWait wait(platform::DeviceMessage &message) override
    {
        std::unique_lock<std::mutex> lock(script_->mutex);
        script_->idle = true;
        script_->changed.notify_all();
        script_->changed.wait(lock, [&] { return stop_ || !script_->messages.empty(); });
        script_->idle = false;
        if (stop_)
            return platform::DeviceWait::kStop;
        message = std::move(script_->messages.front());
        script_->messages.pop_front();
        script_->changed.notify_all();
        return platform::DeviceWait::kMessage;
    }

    intptr_t default_procedure(uint32_t, uintptr_t, intptr_t) override { return 0; }

    void request_stop() override
    {
        std::lock_guard<std::mutex> lock(script_->mutex);
        stop_ = true;
        script_->changed.notify_all();
    }

    void release() override
    {
        std::lock_guard<std::mutex> lock(script_->mutex);
        ++script_->releases;
        script_->changed.notify_all();
    }

private:
    std::shared_ptr<Script> script_;
    bool stop_ = false; // guarded by the script's mutex
};

} // namespace

platform::DeviceMessage interface_message(uintptr_t eventCode, const std::u16string &linkName,
                                          const Guid &interfaceClass)
{
    platform::DeviceMessage message;
    message.message = platform::kWmDeviceChange;
    message.wParam = eventCode;
    platform::DevBroadcastDeviceInterface head{};
    head.dbcc_devicetype = platform::kDbtDevtypDeviceInterface;
    head.dbcc_classguid = interfaceClass;
    store_bytes(message, &head, offsetof(platform::DevBroadcastDeviceInterface, dbcc_name), linkName);
    return message;
}

platform::DeviceMessage volume_message(uintptr_t eventCode)
{
    platform::DeviceMessage message;
    message.message = platform::kWmDeviceChange;
    message.wParam = eventCode;
    platform::DevBroadcastVolume volume{};
    volume.dbcv_devicetype = platform::kDbtDevtypVolume;
    volume.dbcv_unitmask = 1u << 4;
    store_bytes(message, &volume, sizeof volume, u"");
    return message;
}

platform::DeviceMessage port_message(uintptr_t eventCode, const std::u16string &portName)
{
    platform::DeviceMessage message;
    message.message = platform::kWmDeviceChange;
    message.wParam = eventCode;
    platform::DevBroadcastHdr head{0, platform::kDbtDevtypPort, 0};
    store_bytes(message, &head, sizeof head, portName);
    return message;
}

void Script::push(platform::DeviceMessage message)
{
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(std::move(message));
    changed.notify_all();
}

bool Script::wait_drained()
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kEventTimeout, [&] { return messages.empty() && idle; });
}

bool Script::wait_released(int count)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kEventTimeout, [&] { return releases >= count; });
}

ScriptedEvents::ScriptedEvents() : script_(std::make_shared<Script>())
{
    std::shared_ptr<Script> script = script_;
    notify::use_device_event_source([script] { return std::make_unique<ScriptedSource>(script); });
}

ScriptedEvents::~ScriptedEvents()
{
    notify::use_device_event_source(nullptr);
}

FakeSysfs::FakeSysfs()
{
    notify::use_device_lookup(platform::make_sysfs_device_lookup(root(), false));
}

FakeSysfs::~FakeSysfs()
{
    notify::use_device_lookup(nullptr);
}

std::string FakeSysfs::add_device(const std::string &path, const std::map<std::string, std::string> &attributes)
{
    std::string dir = root() + "/" + path;
    std::filesystem::create_directories(dir);
    for (const auto &[name, value] : attributes) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out << value;
        if (!out)
            throw std::runtime_error("cannot write " + dir + "/" + name);
    }
    return dir;
}

void FakeSysfs::add_member(const std::string &entry, const std::string &devicePath)
{
    std::string link = root() + "/" + entry;
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    std::filesystem::create_directory_symlink(root() + "/" + devicePath, link);
}

void FakeSysfs::remove(const std::string &path)
{
    std::filesystem::remove_all(root() + "/" + path);
}

void Recorder::record(int kind, const char *text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back({kind, text, platform::current_thread_id()});
    changed_.notify_all();
}

bool Recorder::wait_for(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= count; });
}

std::vector<Delivery> Recorder::deliveries()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
}

void Recorder::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.clear();
}

Recorder firstRecorder;
Recorder secondRecorder;

void first_callback(int kind, char *text)
{
    firstRecorder.record(kind, text);
}

void second_callback(int kind, char *text)
{
    secondRecorder.record(kind, text);
}

} // namespace kestrune::test
