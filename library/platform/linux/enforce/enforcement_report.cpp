#include "platform/linux/enforce/enforcement_report.h"

#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

namespace {

// One field or comment: no tab and no line break inside.
std::string one_line(std::string text)
{
    for (char &c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace

std::string enforcement_report_text(const char *mode, std::time_t when, const std::vector<std::string> &comments,
                                    const std::vector<DeviceReport> &devices)
{
    char stamp[32] = "";
    std::tm utc{};
    if (gmtime_r(&when, &utc) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string text = std::string("# kestrune enforcement ") + mode + " " + stamp + "\n";
    for (const std::string &comment : comments)
        text += "# " + one_line(comment) + "\n";
    for (const DeviceReport &device : devices)
        text += one_line(device.outcome) + "\t" + device_kind_name(device.kind) + "\t" + one_line(device.device) +
                "\t" + one_line(device.detail) + "\n";
    return text;
}

IoResult write_enforcement_report(const std::string &policyRoot, const std::string &text)
{
    const std::string dir = policyRoot + "/Policies";
    if (IoResult made = make_directories(dir); made.failed())
        return made;
    return write_file_atomically(dir + "/Enforcement.txt", std::vector<uint8_t>(text.begin(), text.end()));
}

} // namespace kestrune::platform
