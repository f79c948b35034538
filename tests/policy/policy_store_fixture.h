// A scratch policy root with the library's policy object held over it, and the
// records of its saved and effective policy files, for tests that drive the
// policy store through the exports.
#ifndef KESTRUNE_TESTS_POLICY_POLICY_STORE_FIXTURE_H
#define KESTRUNE_TESTS_POLICY_POLICY_STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "kestrune.h"
#include "platform/gpo_files/registry_pol.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

namespace kestrune::platform {

// Readable failure messages: [key;value;type;data bytes].
inline void PrintTo(const PolRecord &record, std::ostream *out)
{
    *out << "[" << std::string(record.key.begin(), record.key.end()) << ";"
         << std::string(record.value.begin(), record.value.end()) << ";" << record.type << ";" << std::hex;
    for (uint8_t b : record.data)
        *out << " " << unsigned{b};
    *out << std::dec << "]";
}

} // namespace kestrune::platform

namespace kestrune::test {

using platform::PolRecord;

inline const std::u16string kRestrictions = u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
inline const std::u16string kDenyList = kRestrictions + u"\\DenyDeviceClasses";

inline PolRecord sz(const std::u16string &key, const std::u16string &name, std::u16string_view text)
{
    PolRecord record{key, name, 1, {}};
    for (char16_t c : std::u16string(text) + u'\0')
        record.data.insert(record.data.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
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
        const std::string number = std::to_string(i + 1);
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

// What `body` wrote to standard output, line numbers replaced by "#". The body
// only records results: an assertion inside it would print into the capture.
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

    // The machine section as it stands before the policy object is opened.
    void seed(const std::vector<PolRecord> &records)
    {
        const std::vector<uint8_t> bytes = platform::serialize_registry_pol(records);
        write_file(root_.registry_pol(), std::string(bytes.begin(), bytes.end()));
    }

    void open() { held_ = succeeded(QVX_KESTRUNE_Initialize); }
    void close() { held_ = !succeeded(QVX_KESTRUNE_Uninitialize); }

    // Saves and refreshes; the saved machine section, record by record.
    std::vector<PolRecord> apply()
    {
        succeeded(QVX_KESTRUNE_Apply);
        return records_of(root_.registry_pol());
    }

    // The machine policy in effect after the last apply.
    std::vector<PolRecord> effective() { return records_of(root_.machine_pol()); }

    static std::vector<PolRecord> records_of(const std::string &path)
    {
        const std::string bytes = read_file(path);
        auto records = platform::parse_registry_pol(std::vector<uint8_t>(bytes.begin(), bytes.end()));
        EXPECT_TRUE(records.has_value()) << path << " is not a policy file";
        return records.value_or(std::vector<PolRecord>{});
    }

    ScratchRoot root_;
    bool held_ = false;

private:
    template <typename Export>
    static bool succeeded(Export call)
    {
        int result = -1;
        logged([&] { result = call(); });
        EXPECT_EQ(result, QVX_KESTRUNE_RESULT_SUCCESS);
        return result == QVX_KESTRUNE_RESULT_SUCCESS;
    }
};

} // namespace kestrune::test

#endif
