// The enforcement report that a refresh writes beside the effective policy
// (Policies/Enforcement.txt). Its format:
//   # kestrune enforcement MODE TIME        first line; MODE "enforce" or "plan",
//                                           TIME the refresh in UTC, ISO 8601
//   # ...                                   comments
//   OUTCOME<TAB>KIND<TAB>DEVICE<TAB>DETAIL  one line per device
// OUTCOME is one lower-case word ("denied", "exempt", "would-deny", ...), KIND
// a short device name, DEVICE a sysfs path or an interface name, DETAIL free
// text without TAB.
#ifndef KESTRUNE_TOOLS_ENFORCEMENT_REPORT_H
#define KESTRUNE_TOOLS_ENFORCEMENT_REPORT_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::cli {

struct EnforcementEntry {
    std::string outcome;
    std::string kind;
    std::string device;
    std::string detail;

    bool operator==(const EnforcementEntry &) const = default;
};

struct EnforcementReport {
    std::string mode; // empty when the header line is missing or malformed
    std::string time;
    std::vector<EnforcementEntry> entries;
    // 1-based numbers of the lines that are in no form of the format; a report
    // written by a newer or broken writer is shown as far as it can be read.
    std::vector<size_t> bad_lines;
};

EnforcementReport parse_enforcement_report(std::string_view text);

} // namespace kestrune::cli

#endif
