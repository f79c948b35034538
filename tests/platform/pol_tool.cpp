// Drives the policy object for the interoperability check with another
// Registry.pol implementation:
//   pol_tool write ROOT    writes a known machine section under ROOT and saves it
//   pol_tool resave ROOT OUT  opens ROOT's policy, lists every value in OUT, saves it again
// Values are listed as "key|name|type|hex data" (UTF-8), one per line, in
// enumeration order.
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <string>

#include "kestrune.h"
#include "core/policy_object.h"
#include "base/wide_text.h"
#include "platform/registry.h"

using namespace kestrune;
using namespace kestrune::platform;

namespace {

void print_key(FILE *out, RegKey key, const std::u16string &path)
{
    for (uint32_t i = 0;; ++i) {
        char16_t name[16384];
        uint8_t data[65536];
        uint32_t chars = 16384, bytes = sizeof data, type = 0;
        if (reg_enum_value(key, i, name, &chars, &type, data, &bytes) != kErrorSuccess)
            break;
        std::fprintf(out, "%s|%s|%u|", to_locale_multibyte(path).c_str(),
                    to_locale_multibyte(std::u16string(name, chars)).c_str(), type);
        for (uint32_t b = 0; b < bytes; ++b)
            std::fprintf(out, "%02x", data[b]);
        std::fputc('\n', out);
    }
    for (uint32_t i = 0;; ++i) {
        char16_t name[256];
        uint32_t chars = 256;
        if (reg_enum_key(key, i, name, &chars) != kErrorSuccess)
            break;
        std::u16string child = path.empty() ? std::u16string(name, chars) : path + u'\\' + std::u16string(name, chars);
        RegKey sub = nullptr;
        if (reg_open_key(key, std::u16string(name, chars).c_str(), kKeyRead, &sub) == kErrorSuccess) {
            print_key(out, sub, child);
            reg_close_key(sub);
        }
    }
}

void set(const char16_t *path, const char16_t *name, uint32_t type, const void *data, uint32_t size)
{
    RegKey key = nullptr;
    if (reg_create_key(held_machine_key(), path, kKeyAllAccess, &key) != kErrorSuccess ||
        reg_set_value(key, name, type, data, size) != kErrorSuccess)
        std::exit(3);
    reg_close_key(key);
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc >= 3 ? argv[1] : "";
    if (!((mode == "write" && argc == 3) || (mode == "resave" && argc == 4)))
        return 2;
    std::setlocale(LC_ALL, "C.UTF-8");
    setenv("KESTRUNE_ROOT", argv[2], 1);
    if (QVX_KESTRUNE_Initialize() != 0)
        return 4;
    if (mode == "write") {
        const char16_t *list = u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions\\DenyDeviceClasses";
        const char16_t *restrictions = u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
        const char16_t marker[] = u" ";
        const char16_t mouse[] = u"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
        uint32_t one = 1;
        set(list, u"**delvals.", kRegSz, marker, sizeof marker);
        set(list, u"1", kRegSz, mouse, sizeof mouse);
        set(restrictions, u"DenyDeviceClasses", kRegDword, &one, 4);
        set(restrictions, u"Ger\u00e4t", kRegDword, &one, 4);
    } else {
        FILE *out = std::fopen(argv[3], "w");
        if (out == nullptr)
            return 6;
        print_key(out, held_machine_key(), u"");
        std::fclose(out);
    }
    if (QVX_KESTRUNE_Apply() != 0)
        return 5;
    return QVX_KESTRUNE_Uninitialize() == 0 ? 0 : 7;
}
