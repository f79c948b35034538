// Policies/Enforcement.txt under the policy root: what the policy did to the
// devices at the last refresh that enforced or planned. Written atomically.
//   # kestrune enforcement <enforce|plan> <UTC time, ISO 8601>
//   # ... further comment lines
//   <outcome>\t<kind>\t<device>\t<detail>      one line per device
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCEMENT_REPORT_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCEMENT_REPORT_H

#include <ctime>
#include <string>
#include <vector>

#include "platform/linux/enforce/retroactive.h"
#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

std::string enforcement_report_text(const char *mode, std::time_t when, const std::vector<std::string> &comments,
                                    const std::vector<DeviceReport> &devices);

// The failed call and its errno, or success.
IoResult write_enforcement_report(const std::string &policyRoot, const std::string &text);

} // namespace kestrune::platform

#endif
