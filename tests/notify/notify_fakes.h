// Test doubles of device notification, installed through the same seam the
// product uses: a scripted event source, a fake sysfs tree for the real sysfs
// lookup, and a recorder behind plain callback functions.
#ifndef KESTRUNE_TESTS_NOTIFY_FAKES_H
#define KESTRUNE_TESTS_NOTIFY_FAKES_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/guid.h"
#include "platform/device_events.h"
#include "support/scratch_dir.h"

namespace kestrune::test {

using namespace std::chrono_literals;
inline constexpr std::chrono::seconds kEventTimeout{10};

// Messages as a window receives them.
platform::DeviceMessage interface_message(uintptr_t eventCode, const std::u16string &linkName,
                                          const Guid &interfaceClass = platform::kGuidNdisLanClass);
platform::DeviceMessage volume_message(uintptr_t eventCode);
platform::DeviceMessage port_message(uintptr_t eventCode, const std::u16string &portName);

// What the scripted sources of one test share: the messages to deliver, the
// behaviour of set-up, and what happened.
struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<platform::DeviceMessage> messages;
    bool failSetUp = false;
    bool holdSetUpUntilStop = false; // set-up waits for the stop request
    int created = 0;
    int setUps = 0;
    int releases = 0;
    int destroyed = 0;
    std::vector<Guid> subscribed;
    bool idle = false; // a thread waits for messages, done with the ones before


    void push(platform::DeviceMessage message);
    // Waits until the thread has handled every queued message.
    bool wait_drained();
    // Waits until `count` sources were released by their threads.
    bool wait_released(int count);
};

// Installs sources that play `script`; restores the build's source on exit.
class ScriptedEvents {
public:
    ScriptedEvents();
    ~ScriptedEvents();
    Script &operator*() { return *script_; }
    Script *operator->() { return script_.get(); }

private:
    std::shared_ptr<Script> script_;
};

// A sysfs tree in a scratch directory, installed as the device lookup's root
// (hardware database off) for as long as the object lives.
class FakeSysfs {
public:
    FakeSysfs();
    ~FakeSysfs();
    const std::string &root() const { return dir_.path(); }
    // Creates a device directory (relative to the root) with attribute files.
    std::string add_device(const std::string &path, const std::map<std::string, std::string> &attributes);
    // Links a member entry such as "class/net/eth0" to a device directory.
    void add_member(const std::string &entry, const std::string &devicePath);
    void remove(const std::string &path);

private:
    ScratchDir dir_;
};

struct Delivery {
    int kind;
    std::string text;
    uint32_t thread;
};

// Deliveries to one plain callback function.
class Recorder {
public:
    void record(int kind, const char *text);
    bool wait_for(size_t count, std::chrono::milliseconds timeout = kEventTimeout);
    std::vector<Delivery> deliveries();
    void clear();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

extern Recorder firstRecorder;
extern Recorder secondRecorder;
void first_callback(int kind, char *text);
void second_callback(int kind, char *text);

} // namespace kestrune::test

#endif
