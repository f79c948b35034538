// A scratch policy root with the library's policy object held over it, and the
// records of its saved and effective policy files, for tests that drive the
// policy store through the exports.
#ifndef KESTRUNE_TESTS_POLICY_POLICY_STORE_FIXTURE_H
#define KESTRUNE_TESTS_POLICY_POLICY_STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "kestrune.h"
#include "platform/gpo_files/registry_pol.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

namespace kestrune::platform {

// Readable failure messages: [key;value;type;data], REG_SZ data as text.
inline void PrintTo(const PolRecord &record, std::ostream *out)
{
    auto put = [out](std::u16string_view text) {
        for (char16_t c : text)
            *out << (c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    };
    *out << "[";
    put(record.key);
    *out << ";";
    put(record.value);
    *out << ";" << record.type << ";";
    if (record.type == 1 && record.data.size() % 2 == 0) {
        std::u16string text;
        for (size_t i = 0; i < record.data.size(); i += 2)
            text += static_cast<char16_t>(record.data[i] | record.data[i + 1] << 8);
        put(text);
    } else {
        for (uint8_t b : record.data)
            *out << "\\x" << std::hex << unsigned{b} << std::dec;
    }
    *out << "]";
}

} // namespace kestrune::platform

namespace kestrune::test {

using platform::PolRecord;

inline const std::u16string kRestrictions = u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
inline const std::u16string kDenyList = kRestrictions + u"\\DenyDeviceClasses";

inline PolRecord sz(const std::u16string &key, const std::u16string &name, std::u16string_view text)
{
    PolRecord record{key, name, 1, {}};
    for (char16_t c : text)
        record.data.insert(record.data.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
    record.data.insert(record.data.end(), {0, 0});
    return record;
}

inline PolRecord dword(const std::u16string &key, const std::u16string &name, uint32_t value)
{
    return {key, name, 4, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}};
}

inline std::vector<PolRecord> operator+(std::vector<PolRecord> a, const std::vector<PolRecord> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The records the library writes for a deny list: both switches, the marker, the
// classes numbered from 1.
inline std::vector<PolRecord> deny_list_records(const std::vector<std::u16string> &classes)
{
    std::vector<PolRecord> records = {dword(kRestrictions, u"DenyDeviceClasses", 1),
                                      dword(kRestrictions, u"DenyDeviceClassesRetroactive", 1),
                                      sz(kDenyList, u"**delvals.", u" ")};
    for (size_t i = 0; i < classes.size(); ++i) {
        std::string number = std::to_string(i + 1);
        records.push_back(sz(kDenyList, std::u16string(number.begin(), number.end()), classes[i]));
    }
    return records;
}

// The lines of a rewrite that finds neither switch to delete (a fresh list).
inline const std::string kMissingSwitches =
    "E KestruneCtl set_group_policy_key_value #: operation 100 fail, ret=2\r\n"
    "I KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Failed set DenyDeviceClassesRetroactive, ret=2\r\n"
    "E KestruneCtl set_group_policy_key_value #: operation 100 fail, ret=2\r\n"
    "I KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Failed set DenyDeviceClasses, ret=2\r\n";

// The lines of a deny while no policy object is held: the switch deletions are
// tolerated, the first write fails with the invalid-handle code.
inline const std::string kDenyWithoutPolicyObject =
    "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
    "I KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Failed set DenyDeviceClassesRetroactive, ret=6\r\n"
    "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
    "I KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Failed set DenyDeviceClasses, ret=6\r\n"
    "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
    "E KestruneCtl set_group_policy_restrictions_denydeviceclasses #: set DenyDeviceClasses, ret=6\r\n";

// Runs `body` with standard output captured and returns what it wrote, line
// numbers replaced by "#". The body only records results: an assertion inside it
// would print its failure into the capture.
template <typename Body>
std::string logged(Body body)
{
    StdoutCapture out;
    body();
    return without_line_numbers(out.text());
}

class PolicyStoreTest : public ::testing::Test {
protected:
    ~PolicyStoreTest() override
    {
        if (held_)
            logged([] { QVX_KESTRUNE_Uninitialize(); });
    }

    // Writes the machine section as it stands before the policy object is opened.
    void seed(const std::vector<PolRecord> &records)
    {
        std::vector<uint8_t> bytes = platform::serialize_registry_pol(records);
        write_file(root_.registry_pol(), std::string(bytes.begin(), bytes.end()));
    }

    void open()
    {
        int ret = -1;
        logged([&] { ret = QVX_KESTRUNE_Initialize(); });
        ASSERT_EQ(ret, QVX_KESTRUNE_RESULT_SUCCESS);
        held_ = true;
    }

    void close()
    {
        int ret = -1;
        logged([&] { ret = QVX_KESTRUNE_Uninitialize(); });
        ASSERT_EQ(ret, QVX_KESTRUNE_RESULT_SUCCESS);
        held_ = false;
    }

    // Saves and refreshes; the saved machine section, record by record.
    std::vector<PolRecord> apply()
    {
        int ret = -1;
        logged([&] { ret = QVX_KESTRUNE_Apply(); });
        EXPECT_EQ(ret, QVX_KESTRUNE_RESULT_SUCCESS);
        return records_of(root_.registry_pol());
    }

    // The machine policy in effect after the last apply.
    std::vector<PolRecord> effective() { return records_of(root_.machine_pol()); }

    static std::vector<PolRecord> records_of(const std::string &path)
    {
        std::string bytes = read_file(path);
        auto records = platform::parse_registry_pol(
            std::span(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
        EXPECT_TRUE(records.has_value()) << path << " is not a policy file";
        return records.value_or(std::vector<PolRecord>{});
    }

    ScratchRoot root_;
    bool held_ = false;
};

} // namespace kestrune::test

#endif
