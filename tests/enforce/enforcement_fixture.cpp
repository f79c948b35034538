#include "enforcement_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "kestrune.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

namespace kestrune::test {

namespace {

int set_permit(const Permit &permit)
{
    switch (permit.category) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL: return QVX_KESTRUNE_set_normal_device_permit(permit.device, permit.permission);
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE: return QVX_KESTRUNE_set_storage_device_permit(permit.device, permit.permission);
    default: return QVX_KESTRUNE_set_net_device_permit(permit.device, permit.permission, 0);
    }
}

} // namespace

std::string line(const std::string &outcome, const std::string &kind, const std::string &device)
{
    return outcome + " " + kind + " " + device;
}

void EnforcementTest::SetUp()
{
    if (!private_system_failure().empty())
        GTEST_SKIP() << "no private system: " << private_system_failure();
    clear_runtime();
    char name[] = "/tmp/kestrune-enforce-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    rootPath_ = name;
    setenv("KESTRUNE_ROOT", name, 1);
}

void EnforcementTest::TearDown()
{
    unsetenv("KESTRUNE_ENFORCE");
    unsetenv("KESTRUNE_ROOT");
    std::error_code ignored;
    if (!rootPath_.empty())
        std::filesystem::remove_all(rootPath_, ignored);
}

Applied EnforcementTest::apply(const std::vector<Permit> &permits, const char *mode,
                               const std::function<void()> &beforeApply)
{
    Applied applied;
    setenv("KESTRUNE_ENFORCE", mode, 1);
    {
        StdoutCapture out;
        EXPECT_EQ(QVX_KESTRUNE_Initialize(), 0);
        for (const Permit &permit : permits)
            EXPECT_EQ(set_permit(permit), 0);
        if (beforeApply)
            beforeApply();
        applied.result = QVX_KESTRUNE_Apply();
        EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), 0);
        applied.log = without_line_numbers(out.text());
    }
    std::string report;
    try {
        report = read_file(rootPath_ + "/Policies/Enforcement.txt");
    } catch (const std::exception &) {
        return applied;
    }
    std::istringstream lines(report);
    std::string text;
    std::getline(lines, applied.header);
    while (std::getline(lines, text)) {
        if (text.starts_with("#"))
            continue;
        std::vector<std::string> fields;
        std::istringstream split(text);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        EXPECT_EQ(fields.size(), 4u) << text;
        if (fields.size() != 4)
            continue;
        std::string device = fields[2].starts_with("/sys/devices/") ? fields[2].substr(13) : fields[2];
        std::string key = line(fields[0], fields[1], device);
        applied.lines.insert(key);
        applied.details[key] = fields[3];
    }
    return applied;
}

} // namespace kestrune::test
