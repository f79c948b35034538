// kestrune status: every device's permission as the library reads it back, the
// speed of the last limit request, and the last refresh's enforcement report.
#include <string>
#include <vector>

#include "command_error.h"
#include "commands.h"
#include "enforcement_report.h"
#include "host.h"
#include "json.h"
#include "kestrune.h"
#include "names.h"
#include "policy_session.h"
#include "table.h"

namespace kestrune::cli {

namespace {

struct Reading {
    const Device *device;
    int permission;
};

int read_permission(const Device &device, int &speed)
{
    switch (device.category) {
    case QVX_KESTRUNE_DEVICE_TYPE_NORMAL: return QVX_KESTRUNE_get_normal_device_permit(device.id);
    case QVX_KESTRUNE_DEVICE_TYPE_STORAGE: return QVX_KESTRUNE_get_storage_device_permit(device.id);
    case QVX_KESTRUNE_DEVICE_TYPE_NET: return QVX_KESTRUNE_get_net_device_permit(device.id, &speed);
    }
    return 0;
}

std::string report_path()
{
    return host::policy_root() + "/Policies/Enforcement.txt";
}

std::string devices_table(const std::vector<Reading> &readings, int speed)
{
    std::vector<TableRow> rows{{"DEVICE", "CATEGORY", "PERMISSION", "SPEED"}};
    for (const Reading &reading : readings) {
        const QVX_KESTRUNE_DEVICE_TYPE_E category = reading.device->category;
        rows.push_back({std::string(reading.device->name), std::string(category_name(category)),
                        permission_name(category, reading.permission),
                        category == QVX_KESTRUNE_DEVICE_TYPE_NET ? std::to_string(speed) + " KB/s" : ""});
    }
    return format_table(rows);
}

// `absent` says why there is no report to show.
std::string report_text(const EnforcementReport *report, const std::string &absent)
{
    if (report == nullptr)
        return "\nenforcement: no report (" + absent + ")\n";
    std::string text = "\nenforcement: " + (report->mode.empty() ? "unknown mode" : report->mode) + " at " +
                       (report->time.empty() ? "unknown time" : report->time) + " (" + report_path() + ")\n";
    if (report->entries.empty())
        return text + "no devices reported\n";
    std::vector<TableRow> rows{{"OUTCOME", "KIND", "DEVICE", "DETAIL"}};
    for (const EnforcementEntry &entry : report->entries)
        rows.push_back({entry.outcome, entry.kind, entry.device, entry.detail});
    return text + format_table(rows);
}

std::string status_json(const std::vector<Reading> &readings, int speed, const EnforcementReport *report)
{
    std::vector<std::string> devices;
    for (const Reading &reading : readings) {
        const QVX_KESTRUNE_DEVICE_TYPE_E category = reading.device->category;
        devices.push_back(JsonObject()
                              .add("device", reading.device->name)
                              .add("category", category_name(category))
                              .add("identifier", reading.device->identifier())
                              .add("permission", permission_name(category, reading.permission))
                              .add("permission_identifier", QVX_KESTRUNE_get_perm_str_by_id(category, reading.permission))
                              .str());
    }
    std::string enforcement = "null";
    if (report != nullptr) {
        std::vector<std::string> entries;
        for (const EnforcementEntry &entry : report->entries)
            entries.push_back(JsonObject()
                                  .add("outcome", entry.outcome)
                                  .add("kind", entry.kind)
                                  .add("device", entry.device)
                                  .add("detail", entry.detail)
                                  .str());
        enforcement = JsonObject()
                          .add("file", report_path())
                          .add("mode", report->mode)
                          .add("time", report->time)
                          .add_json("devices", json_array(entries.data(), entries.data() + entries.size()))
                          .str();
    }
    return JsonObject()
               .add("policy_root", host::policy_root())
               .add_json("devices", json_array(devices.data(), devices.data() + devices.size()))
               .add("speed_kbps", speed)
               .add_json("enforcement", enforcement)
               .str() +
           "\n";
}

} // namespace

int run_status(const Invocation &invocation, Output &out)
{
    allow_only(invocation, "status", {"json", "verbose"});
    if (invocation.words.size() != 1)
        throw usage_error("'status' takes no arguments");

    std::vector<Reading> readings;
    int speed = 0;
    {
        PolicySession session;
        for (const Device &device : all_devices())
            readings.push_back({&device, read_permission(device, speed)});
        session.close();
    }

    const host::FileRead read = host::read_file(report_path());
    std::optional<EnforcementReport> report;
    if (read.status == host::FileStatus::ok)
        report = parse_enforcement_report(read.bytes);
    const EnforcementReport *shown = report ? &*report : nullptr;

    if (invocation.has("json"))
        out.write(status_json(readings, speed, shown));
    else
        out.write(devices_table(readings, speed) +
                  report_text(shown, read.status == host::FileStatus::missing ? report_path() + " does not exist"
                                                                              : read.error));

    if (read.status == host::FileStatus::denied || read.status == host::FileStatus::failed)
        throw CommandError(read.status == host::FileStatus::denied ? kExitNotAdministrator : kExitFailure,
                           "cannot read the enforcement report: " + read.error);
    if (report && !report->bad_lines.empty())
        print_note("warning: " + std::to_string(report->bad_lines.size()) + " line(s) of " + report_path() +
                   " are not in the report format and were left out, the first at line " +
                   std::to_string(report->bad_lines.front()));
    return kExitSuccess;
}

} // namespace kestrune::cli
