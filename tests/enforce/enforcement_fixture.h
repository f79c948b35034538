// A test of enforcement through the exports: a fake device tree, permits set on a
// scratch policy root, Apply with KESTRUNE_ENFORCE set, and the report it wrote.
#ifndef KESTRUNE_TESTS_ENFORCE_ENFORCEMENT_FIXTURE_H
#define KESTRUNE_TESTS_ENFORCE_ENFORCEMENT_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_devices.h"

namespace kestrune::test {

struct Permit {
    int category; // QVX_KESTRUNE_DEVICE_TYPE_*
    int device;
    int permission;
};

// Report lines as "outcome kind device", the device without "/sys/devices/".
using ReportLines = std::set<std::string>;

struct Applied {
    int result = -1;
    std::string log;               // diagnostic lines of the whole run
    ReportLines lines;
    std::map<std::string, std::string> details; // by line
    std::string header;            // the report's first line
};

class EnforcementTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets the permits on the test's policy root (kept from call to call), runs
    // `beforeApply` while the policy object is held, and applies in `mode`.
    Applied apply(const std::vector<Permit> &permits, const char *mode = "plan",
                  const std::function<void()> &beforeApply = {});
    std::string rootPath_;
};

std::string line(const std::string &outcome, const std::string &kind, const std::string &device);

} // namespace kestrune::test

#endif
