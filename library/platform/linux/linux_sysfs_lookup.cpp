#include "platform/linux/linux_sysfs_lookup.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cwctype>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
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

// One entry of a subsystem's directory.
struct Entry {
    std::string name;
    std::optional<Texts> texts; // as last read while present
};

// A subsystem's directory: its entries by instance ID, those of one ID (names
// that differ only in case) in the order first seen.
struct Directory {
    std::string dir;
    std::unordered_map<std::u16string, std::vector<Entry>> byId;
    uint64_t readInEpoch = 0; // 0: not read while a source listened
};

struct Member {
    std::u16string id;
    std::string subsystem; // with name: where the texts of a present device are kept
    std::string name;
    std::string path; // empty for a device known only from memory
    std::optional<Texts> texts;
};

class SysfsLookup final : public SysfsDeviceLookup {
public:
    SysfsLookup(std::string root, bool hardwareDatabase, size_t rememberedDevices)
        : root_(std::move(root)), hardwareDatabase_(hardwareDatabase), rememberedDevices_(rememberedDevices)
    {
    }

    uint32_t open(std::u16string_view enumerator, uint32_t flags, std::unique_ptr<DeviceInfoSet> &set) override
    {
        return collect(enumerator, std::nullopt, flags, set);
    }
    uint32_t open_matching(std::u16string_view enumerator, std::u16string_view instanceId, uint32_t flags,
                           std::unique_ptr<DeviceInfoSet> &set) override
    {
        return collect(enumerator, std::u16string(instanceId), flags, set);
    }
    void remember_present() override;

    void listening(bool on) override;
    void device_added(std::string_view subsystem, std::string_view name) override;
    void device_removed(std::string_view subsystem, std::string_view name) override;
    void events_lost() override;

    // The texts of a present member, kept for later; null when it has gone.
    std::optional<Texts> read_present(const Member &member);
    std::optional<Texts> remembered(const std::u16string &id);

private:
    struct Subsystem {
        std::string name;
        std::string dir;
    };
    using DirectorySlot = std::pair<const std::string, Directory>;
    struct Gone {
        Texts texts;
        std::list<std::u16string>::iterator age;
    };

    std::optional<Subsystem> find_subsystem(std::u16string_view enumerator) const;
    std::string subsystem_dir(const std::string &base, const std::string &name) const;
    uint32_t collect(std::u16string_view enumerator, const std::optional<std::u16string> &wanted, uint32_t flags,
                     std::unique_ptr<DeviceInfoSet> &set);
    HardwareDatabase *vendors();

    // The rest under mutex_.
    DirectorySlot *directory_of(std::u16string_view enumerator);
    void read_directory(const std::string &subsystem, Directory &directory);
    bool trusted(const Directory &directory) const { return listeners_ > 0 && directory.readInEpoch == epoch_; }
    std::vector<std::string> live_entries(Directory &directory, const std::u16string &id);
    static void add_entry(const std::string &subsystem, Directory &directory, std::string_view name);
    template <typename Match> void drop_entries(Directory &directory, const std::u16string &id, Match match);
    void forget_directory(Directory &directory);
    void remember_gone(const std::u16string &id, const std::optional<Texts> &texts);
    bool remembers_any(const std::u16string &prefix) const;

    const std::string root_;
    const bool hardwareDatabase_;
    const size_t rememberedDevices_;
    std::once_flag vendorsOnce_;
    std::unique_ptr<HardwareDatabase> vendors_;

    std::mutex mutex_;
    std::map<std::string, Directory> directories_; // by subsystem
    std::map<std::u16string, Gone> gone_;
    std::list<std::u16string> goneAge_; // oldest first
    unsigned listeners_ = 0;
    uint64_t epoch_ = 1; // raised whenever what the sources told may be incomplete
};

class SysfsDeviceSet final : public DeviceInfoSet {
public:
    SysfsDeviceSet(SysfsLookup &lookup, bool presentOnly, std::vector<Member> members)
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

    SysfsLookup &lookup_;
    const bool presentOnly_;
    std::vector<Member> members_;
};

std::string SysfsLookup::subsystem_dir(const std::string &base, const std::string &name) const
{
    return base == "class" ? root_ + "/class/" + name : root_ + "/bus/" + name + "/devices";
}

std::optional<SysfsLookup::Subsystem> SysfsLookup::find_subsystem(std::u16string_view enumerator) const
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

uint32_t SysfsLookup::collect(std::u16string_view enumerator, const std::optional<std::u16string> &wanted,
                              uint32_t flags, std::unique_ptr<DeviceInfoSet> &set)
{
    const bool presentOnly = (flags & kDigcfPresent) != 0;
    std::vector<Member> members;
    std::lock_guard<std::mutex> lock(mutex_);
    DirectorySlot *slot = directory_of(enumerator);
    if (slot != nullptr) {
        const std::string &subsystem = slot->first;
        Directory &directory = slot->second;
        auto add_present = [&](const std::u16string &id, const std::string &name) {
            members.push_back({id, subsystem, name, directory.dir + "/" + name, std::nullopt});
        };
        if (wanted) {
            std::vector<std::string> live = live_entries(directory, *wanted);
            if (live.empty() && !trusted(directory)) {
                read_directory(subsystem, directory);
                live = live_entries(directory, *wanted);
            }
            for (const std::string &name : live)
                add_present(*wanted, name);
        } else {
            read_directory(subsystem, directory);
            std::map<std::u16string, const std::vector<Entry> *> byId;
            for (const auto &[id, entries] : directory.byId)
                byId.emplace(id, &entries);
            for (const auto &[id, entries] : byId)
                for (const Entry &entry : *entries)
                    add_present(id, entry.name);
        }
    }

    std::u16string prefix(enumerator);
    prefix += u'\\';
    if (!presentOnly) {
        // Remembered devices that are not listed as present.
        std::unordered_set<std::u16string> listed;
        for (const Member &member : members)
            listed.insert(member.id);
        auto add_gone = [&](const std::u16string &id, const Gone &gone) {
            if (listed.count(id) == 0)
                members.push_back({id, std::string(), std::string(), std::string(), gone.texts});
        };
        if (wanted) {
            auto found = gone_.find(*wanted);
            if (found != gone_.end() && found->first.compare(0, prefix.size(), prefix) == 0)
                add_gone(found->first, found->second);
        } else {
            for (auto g = gone_.lower_bound(prefix); g != gone_.end() && g->first.compare(0, prefix.size(), prefix) == 0;
                 ++g)
                add_gone(g->first, g->second);
        }
    }
    if (slot == nullptr && (presentOnly || !remembers_any(prefix)))
        return kErrorInvalidData;
    set = std::make_unique<SysfsDeviceSet>(*this, presentOnly, std::move(members));
    return 0;
}

SysfsLookup::DirectorySlot *SysfsLookup::directory_of(std::u16string_view enumerator)
{
    std::optional<Subsystem> subsystem = find_subsystem(enumerator);
    if (!subsystem) {
        // Gone altogether: what its devices showed is all that is left of them.
        for (auto it = directories_.begin(); it != directories_.end();) {
            if (widen_upper(it->first) != enumerator) {
                ++it;
                continue;
            }
            forget_directory(it->second);
            it = directories_.erase(it);
        }
        return nullptr;
    }
    auto slot = directories_.try_emplace(subsystem->name).first;
    if (slot->second.dir != subsystem->dir) {
        forget_directory(slot->second);
        slot->second = Directory{subsystem->dir, {}, 0};
    }
    return &*slot;
}

void SysfsLookup::read_directory(const std::string &subsystem, Directory &directory)
{
    std::vector<std::string> names = directory_entries(directory.dir);
    std::unordered_set<std::string_view> listed(names.begin(), names.end());
    for (auto it = directory.byId.begin(); it != directory.byId.end();) {
        drop_entries(directory, it->first, [&](const Entry &entry) { return listed.count(entry.name) == 0; });
        it = it->second.empty() ? directory.byId.erase(it) : std::next(it);
    }
    for (const std::string &name : names)
        add_entry(subsystem, directory, name);
    directory.readInEpoch = listeners_ > 0 ? epoch_ : 0;
}

std::vector<std::string> SysfsLookup::live_entries(Directory &directory, const std::u16string &id)
{
    auto found = directory.byId.find(id);
    if (found == directory.byId.end())
        return {};
    drop_entries(directory, id, [&](const Entry &entry) { return !exists(directory.dir + "/" + entry.name); });
    std::vector<std::string> live;
    for (const Entry &entry : found->second)
        live.push_back(entry.name);
    if (found->second.empty())
        directory.byId.erase(found);
    return live;
}

void SysfsLookup::add_entry(const std::string &subsystem, Directory &directory, std::string_view name)
{
    std::vector<Entry> &entries = directory.byId[upper_instance_id(subsystem, name)];
    if (std::none_of(entries.begin(), entries.end(), [&](const Entry &entry) { return entry.name == name; }))
        entries.push_back({std::string(name), std::nullopt});
}

// Drops the entries of `id` that `match`; their texts go to the memory of gone
// devices. Leaves an emptied ID in place for the caller.
template <typename Match> void SysfsLookup::drop_entries(Directory &directory, const std::u16string &id, Match match)
{
    auto found = directory.byId.find(id);
    if (found == directory.byId.end())
        return;
    std::vector<Entry> &entries = found->second;
    auto dropped = std::stable_partition(entries.begin(), entries.end(), [&](const Entry &e) { return !match(e); });
    for (auto e = dropped; e != entries.end(); ++e)
        remember_gone(id, e->texts);
    entries.erase(dropped, entries.end());
}

void SysfsLookup::forget_directory(Directory &directory)
{
    for (const auto &[id, entries] : directory.byId)
        for (const Entry &entry : entries)
            remember_gone(id, entry.texts);
    directory.byId.clear();
}

void SysfsLookup::remember_gone(const std::u16string &id, const std::optional<Texts> &texts)
{
    if (!texts)
        return;
    auto [slot, added] = gone_.try_emplace(id);
    if (!added)
        goneAge_.erase(slot->second.age);
    slot->second.texts = *texts;
    slot->second.age = goneAge_.insert(goneAge_.end(), id);
    if (gone_.size() > rememberedDevices_) {
        gone_.erase(goneAge_.front());
        goneAge_.pop_front();
    }
}

bool SysfsLookup::remembers_any(const std::u16string &prefix) const
{
    auto first = gone_.lower_bound(prefix);
    return first != gone_.end() && first->first.compare(0, prefix.size(), prefix) == 0;
}

void SysfsLookup::remember_present()
{
    std::vector<Member> present;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const char *name : kReportedSubsystems) {
            DirectorySlot *slot = directory_of(widen_upper(name));
            if (slot == nullptr)
                continue;
            read_directory(slot->first, slot->second);
            for (const auto &[id, entries] : slot->second.byId)
                for (const Entry &entry : entries)
                    present.push_back({id, slot->first, entry.name, slot->second.dir + "/" + entry.name, std::nullopt});
        }
    }
    for (const Member &member : present)
        read_present(member);
}

std::optional<Texts> SysfsLookup::read_present(const Member &member)
{
    std::optional<Texts> texts;
    if (exists(member.path))
        texts = widen_texts(read_sysfs_device_texts(root_, member.path, vendors()));
    std::lock_guard<std::mutex> lock(mutex_);
    auto slot = directories_.find(member.subsystem);
    if (slot == directories_.end())
        return texts;
    auto isMember = [&](const Entry &entry) { return entry.name == member.name; };
    if (!texts) {
        drop_entries(slot->second, member.id, isMember);
        return texts;
    }
    auto found = slot->second.byId.find(member.id);
    if (found != slot->second.byId.end()) {
        auto entry = std::find_if(found->second.begin(), found->second.end(), isMember);
        if (entry != found->second.end())
            entry->texts = texts;
    }
    return texts;
}

std::optional<Texts> SysfsLookup::remembered(const std::u16string &id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = gone_.find(id);
    return found == gone_.end() ? std::nullopt : std::optional<Texts>(found->second.texts);
}

void SysfsLookup::listening(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (on)
        ++listeners_;
    else if (listeners_ > 0)
        --listeners_;
    ++epoch_;
}

void SysfsLookup::device_added(std::string_view subsystem, std::string_view name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto slot = directories_.find(std::string(subsystem));
    if (slot != directories_.end())
        add_entry(slot->first, slot->second, name);
}

void SysfsLookup::device_removed(std::string_view subsystem, std::string_view name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto slot = directories_.find(std::string(subsystem));
    if (slot == directories_.end())
        return;
    std::u16string id = upper_instance_id(subsystem, name);
    drop_entries(slot->second, id, [&](const Entry &entry) { return entry.name == name; });
    auto found = slot->second.byId.find(id);
    if (found != slot->second.byId.end() && found->second.empty())
        slot->second.byId.erase(found);
}

void SysfsLookup::events_lost()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
}

HardwareDatabase *SysfsLookup::vendors()
{
    if (!hardwareDatabase_)
        return nullptr;
    std::call_once(vendorsOnce_, [this] { vendors_ = HardwareDatabase::open(); });
    return vendors_.get();
}

} // namespace

std::shared_ptr<SysfsDeviceLookup> make_sysfs_device_lookup(std::string root, bool hardwareDatabase,
                                                            size_t rememberedDevices)
{
    return std::make_shared<SysfsLookup>(std::move(root), hardwareDatabase, rememberedDevices);
}

std::shared_ptr<SysfsDeviceLookup> system_sysfs_device_lookup()
{
    // Never destroyed: a notification thread that a careless caller left running
    // at exit must not find it gone.
    static const auto *lookup = new std::shared_ptr<SysfsDeviceLookup>(make_sysfs_device_lookup("/sys", true));
    return *lookup;
}

std::shared_ptr<DeviceLookup> system_device_lookup()
{
    return system_sysfs_device_lookup();
}

void upper_case_instance_id(std::u16string &id)
{
    std::wstring wide = utf16_to_wide(id);
    for (wchar_t &c : wide)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    id = wide_to_utf16(wide);
}

} // namespace kestrune::platform
