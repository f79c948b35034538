#include "platform/linux/enforce/input_class.h"

#include <cstdlib>
#include <string>

namespace kestrune::platform {

namespace {

// Event types, codes and properties of <linux/input-event-codes.h>.
constexpr unsigned kEvKey = 0x01, kEvRel = 0x02;
constexpr unsigned kRelX = 0x00, kRelY = 0x01;
constexpr unsigned kAbsX = 0x00, kAbsY = 0x01, kAbsMtSlot = 0x2f, kAbsMtPositionX = 0x35, kAbsMtPositionY = 0x36;
constexpr unsigned kBtnMouse = 0x110, kBtnJoystick = 0x120, kBtnToolPen = 0x140, kBtnToolFinger = 0x145,
                   kBtnStylus = 0x14b;
constexpr unsigned kPropDirect = 0x01, kPropPointingStick = 0x05;
constexpr unsigned kBusI2c = 0x18;

} // namespace

CapabilityBits::CapabilityBits(std::string_view text)
{
    std::vector<unsigned long long> mostFirst;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ')
            ++at;
        size_t end = text.find(' ', at);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > at)
            mostFirst.push_back(std::strtoull(std::string(text.substr(at, end - at)).c_str(), nullptr, 16));
        at = end;
    }
    words_.assign(mostFirst.rbegin(), mostFirst.rend());
}

bool CapabilityBits::test(unsigned bit) const
{
    size_t word = bit / 64;
    return word < words_.size() && ((words_[word] >> (bit % 64)) & 1u) != 0;
}

InputClass classify_input(const InputCapabilities &caps, unsigned busType)
{
    InputClass result;
    // A full keyboard has every key from KEY_ESC (1) to KEY_D (32 excluded).
    if (caps.ev.test(kEvKey)) {
        result.keyboard = true;
        for (unsigned key = 1; key < 32 && result.keyboard; ++key)
            result.keyboard = caps.key.test(key);
    }

    bool absXY = caps.abs.test(kAbsX) && caps.abs.test(kAbsY);
    bool mtXY = caps.abs.test(kAbsMtPositionX) && caps.abs.test(kAbsMtPositionY) &&
                !(caps.abs.test(kAbsMtSlot) && caps.abs.test(kAbsMtSlot - 1));
    bool relXY = caps.ev.test(kEvRel) && caps.rel.test(kRelX) && caps.rel.test(kRelY);
    bool direct = caps.properties.test(kPropDirect);
    bool stylus = caps.key.test(kBtnStylus) || caps.key.test(kBtnToolPen);
    bool fingerNoPen = caps.key.test(kBtnToolFinger) && !caps.key.test(kBtnToolPen);
    bool mouseButton = false;
    for (unsigned button = kBtnMouse; button < kBtnJoystick && !mouseButton; ++button)
        mouseButton = caps.key.test(button);

    bool tablet = false, touchpad = false, mouse = false;
    if (absXY) {
        if (stylus)
            tablet = true;
        else if (fingerNoPen && !direct)
            touchpad = true;
        else if (mouseButton)
            mouse = true;
    }
    if (mtXY) {
        if (stylus)
            tablet = true;
        else if (fingerNoPen && !direct)
            touchpad = true;
    }
    if (!tablet && !touchpad && mouseButton && (relXY || !absXY))
        mouse = true;
    // An I2C "mouse" is a pointing stick; either way a pointer.
    bool stick = caps.properties.test(kPropPointingStick) || (mouse && busType == kBusI2c);
    result.pointer = mouse || touchpad || stick;
    return result;
}

} // namespace kestrune::platform
