// Which input devices are keyboards and which are pointing devices, from the
// capability bitmaps the kernel publishes under capabilities/ and properties.
// The tests are those of udev's input_id builtin, which the rules file relies on
// for devices that arrive later, so that both sides decide alike.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_INPUT_CLASS_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_INPUT_CLASS_H

#include <string_view>
#include <vector>

namespace kestrune::platform {

// A sysfs bitmap: hexadecimal words separated by spaces, most significant first,
// each as wide as the kernel's long (64 bits here).
class CapabilityBits {
public:
    CapabilityBits() = default;
    explicit CapabilityBits(std::string_view text);
    bool test(unsigned bit) const;

private:
    std::vector<unsigned long long> words_; // least significant first
};

struct InputCapabilities {
    CapabilityBits ev, key, rel, abs, properties;
};

struct InputClass {
    bool keyboard = false;
    bool pointer = false; // mouse, touchpad or pointing stick
};

InputClass classify_input(const InputCapabilities &caps, unsigned busType);

} // namespace kestrune::platform

#endif
