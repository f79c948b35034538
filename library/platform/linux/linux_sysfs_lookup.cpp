#include "platform/linux/linux_sysfs_lookup.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cwctype>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/wide_text.h"
#include "platform/linux/device_instance.h"
#include "platform/linux/linux_hwdb.h"
#include "platform/linux/sysfs_device.h"

namespace kestrune::platform {

namespace {

constexpr uint32_t kErrorNoMoreItems = 259;

// The subsystems whose devices the event source reports.
constexpr const char *kReportedSubsystems[] = {"usb", "block", "hid", "net", "tty", "usb-serial"};

using Texts = std::array<std::optional<std::u16string>, 4>;

Texts widen_texts(const SysfsTexts &texts)
{
    Texts wide;
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i])
            wide[i] = widen(*texts[i]);
    return wide;
}

std::vector<std::string> directory_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *stream = opendir(dir.c_str());
    if (stream == nullptr)
        return names;
    while (const dirent *entry = readdir(stream)) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::u16string widen_upper(const std::string &text)
{
    std::u16string wide = widen(text);
    upper_case_instance_id(wide);
    return wide;
}

std::u16string upper_instance_id(std::string_view subsystem, std::string_view name)
{
    std::u16string id = linux_instance_id(subsystem, name);
    upper_case_instance_id(id);
    return id;
}

struct Member {
    std::u16string id;
    std::string path; // empty for a device known only from memory
    std::optional<Texts> texts;
};

class SysfsDeviceLookup final : public DeviceLookup {
public:
    SysfsDeviceLookup(std::string root, bool hardwareDatabase)
        : root_(std::move(root)), hardwareDatabase_(hardwareDatabase)
    {
    }

    uint32_t open(std::u16string_view enumerator, uint32_t flags, std::unique_ptr<DeviceInfoSet> &set) override;
    void remember_present() override;

    // The texts of a present member, remembered for later; null when it has gone.
    std::optional<Texts> read_present(const Member &member);
    std::optional<Texts> remembered(const std::u16string &id);

private:
    struct Subsystem {
        std::string name;
        std::string dir;
    };
    struct Remembered {
        Texts texts;
        uint64_t sequence;
    };

    std::optional<Subsystem> find_subsystem(std::u16string_view enumerator) const;
    std::string subsystem_dir(const std::string &base, const std::string &name) const;
    void remember(const std::u16string &id, const Texts &texts);
    HardwareDatabase *vendors();

    const std::string root_;
    const bool hardwareDatabase_;
    std::once_flag vendorsOnce_;
    std::unique_ptr<HardwareDatabase> vendors_;

    std::mutex memoryMutex_;
    std::map<std::u16string, Remembered> memory_;
    uint64_t sequence_ = 0;
};

class SysfsDeviceSet final : public DeviceInfoSet {
public:
    SysfsDeviceSet(SysfsDeviceLookup &lookup, bool presentOnly, std::vector<Member> members)
        : lookup_(lookup), presentOnly_(presentOnly), members_(std::move(members))
    {
    }

    bool member(uint32_t index) override { return index < members_.size(); }

    uint32_t instance_id(uint32_t index, char16_t *buffer, uint32_t capacity) override
    {
        if (index >= members_.size())
            return kErrorNoMoreItems;
        return copy_text(members_[index].id, buffer, capacity);
    }

    uint32_t property(uint32_t index, DeviceProperty property, char16_t *buffer, uint32_t bytes) override
    {
        if (index >= members_.size())
            return kErrorNoMoreItems;
        const std::optional<std::u16string> &value = texts_of(members_[index])[static_cast<size_t>(property)];
        if (!value)
            return property == DeviceProperty::kDeviceDesc || property == DeviceProperty::kFriendlyName
                       ? kErrorInvalidData
                       : kErrorNotFound;
        return copy_text(*value, buffer, static_cast<uint32_t>(bytes / sizeof(char16_t)));
    }

private:
    static uint32_t copy_text(const std::u16string &text, char16_t *buffer, uint32_t capacity)
    {
        if (text.size() + 1 > capacity)
            return kErrorInsufficientBuffer;
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = u'\0';
        return 0;
    }

    const Texts &texts_of(Member &member)
    {
        if (!member.texts) {
            if (!member.path.empty())
                member.texts = lookup_.read_present(member);
            if (!member.texts && !presentOnly_)
                member.texts = lookup_.remembered(member.id);
            if (!member.texts)
                member.texts.emplace();
        }
        return *member.texts;
    }

    SysfsDeviceLookup &lookup_;
    const bool presentOnly_;
    std::vector<Member> members_;
};

std::string SysfsDeviceLookup::subsystem_dir(const std::string &base, const std::string &name) const
{
    return base == "class" ? root_ + "/class/" + name : root_ + "/bus/" + name + "/devices";
}

std::optional<SysfsDeviceLookup::Subsystem> SysfsDeviceLookup::find_subsystem(std::u16string_view enumerator) const
{
    // Subsystem names are lower-case ASCII: try the enumerator so spelled first.
    std::string guess;
    for (char16_t c : enumerator)
        guess += c < 0x80 ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '?';
    for (const std::string base : {"class", "bus"}) {
        std::string dir = subsystem_dir(base, guess);
        if (guess.find('/') == std::string::npos && exists(dir) && widen_upper(guess) == enumerator)
            return Subsystem{guess, dir};
    }
    for (const std::string base : {"class", "bus"}) {
        for (const std::string &name : directory_entries(root_ + "/" + base)) {
            std::string dir = subsystem_dir(base, name);
            if (widen_upper(name) == enumerator && exists(dir))
                return Subsystem{name, dir};
        }
    }
    return std::nullopt;
}

uint32_t SysfsDeviceLookup::open(std::u16string_view enumerator, uint32_t flags, std::unique_ptr<DeviceInfoSet> &set)
{
    std::vector<Member> members;
    std::optional<Subsystem> subsystem = find_subsystem(enumerator);
    if (subsystem)
        for (const std::string &name : directory_entries(subsystem->dir))
            members.push_back({upper_instance_id(subsystem->name, name), subsystem->dir + "/" + name, std::nullopt});

    bool presentOnly = (flags & kDigcfPresent) != 0;
    if (!presentOnly) {
        std::u16string prefix(enumerator);
        prefix += u'\\';
        std::lock_guard<std::mutex> lock(memoryMutex_);
        for (const auto &entry : memory_) {
            const std::u16string &id = entry.first;
            const auto &device = entry.second;
            bool listed = std::any_of(members.begin(), members.end(), [&](const Member &m) { return m.id == id; });
            if (!listed && id.compare(0, prefix.size(), prefix) == 0)
                members.push_back({id, std::string(), device.texts});
        }
    }
    if (!subsystem && members.empty())
        return kErrorInvalidData;
    set = std::make_unique<SysfsDeviceSet>(*this, presentOnly, std::move(members));
    return 0;
}

void SysfsDeviceLookup::remember_present()
{
    for (const std::string base : {"class", "bus"}) {
        for (const char *name : kReportedSubsystems) {
            std::string dir = subsystem_dir(base, name);
            for (const std::string &entry : directory_entries(dir))
                remember(upper_instance_id(name, entry),
                         widen_texts(read_sysfs_device_texts(root_, dir + "/" + entry, vendors())));
        }
    }
}

std::optional<Texts> SysfsDeviceLookup::read_present(const Member &member)
{
    if (!exists(member.path))
        return std::nullopt;
    Texts texts = widen_texts(read_sysfs_device_texts(root_, member.path, vendors()));
    remember(member.id, texts);
    return texts;
}

std::optional<Texts> SysfsDeviceLookup::remembered(const std::u16string &id)
{
    std::lock_guard<std::mutex> lock(memoryMutex_);
    auto found = memory_.find(id);
    return found == memory_.end() ? std::nullopt : std::optional<Texts>(found->second.texts);
}

void SysfsDeviceLookup::remember(const std::u16string &id, const Texts &texts)
{
    std::lock_guard<std::mutex> lock(memoryMutex_);
    memory_[id] = Remembered{texts, ++sequence_};
    if (memory_.size() > kRememberedDevices) {
        auto oldest = std::min_element(memory_.begin(), memory_.end(), [](const auto &a, const auto &b) {
            return a.second.sequence < b.second.sequence;
        });
        memory_.erase(oldest);
    }
}

HardwareDatabase *SysfsDeviceLookup::vendors()
{
    if (!hardwareDatabase_)
        return nullptr;
    std::call_once(vendorsOnce_, [this] { vendors_ = HardwareDatabase::open(); });
    return vendors_.get();
}

} // namespace

std::shared_ptr<DeviceLookup> make_sysfs_device_lookup(std::string root, bool hardwareDatabase)
{
    return std::make_shared<SysfsDeviceLookup>(std::move(root), hardwareDatabase);
}

std::shared_ptr<DeviceLookup> system_device_lookup()
{
    // Never destroyed: a notification thread that a careless caller left running
    // at exit must not find it gone.
    static const auto *lookup = new std::shared_ptr<DeviceLookup>(make_sysfs_device_lookup("/sys", true));
    return *lookup;
}

void upper_case_instance_id(std::u16string &id)
{
    std::wstring wide = utf16_to_wide(id);
    for (wchar_t &c : wide)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    id = wide_to_utf16(wide);
}

} // namespace kestrune::platform
