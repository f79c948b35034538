#include "platform/linux/enforce/action_marks.h"

#include <sys/sysmacros.h>

#include <cerrno>

#include "platform/linux/enforce/sysfs_reader.h"
#include "platform/linux/enforce/text_fields.h"
#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

namespace {

constexpr Mechanism kMechanisms[] = {Mechanism::deauthorize, Mechanism::inhibit, Mechanism::unbind,
                                     Mechanism::offline, Mechanism::read_only};

} // namespace

std::string format_marks(const std::vector<ActionMark> &marks)
{
    std::string text;
    for (const ActionMark &mark : marks) {
        text += std::string(device_kind_name(mark.kind)) + "\t" + mechanism_name(mark.action) + "\t" +
                escape_octal(mark.target) + "\t" + escape_octal(mark.identity) + "\t" + escape_octal(mark.label);
        for (const auto &[key, value] : mark.details)
            text += "\t" + escape_octal(key) + "=" + escape_octal(value);
        text += "\n";
    }
    return text;
}

std::vector<ActionMark> parse_marks(const std::string &text)
{
    std::vector<ActionMark> marks;
    for (std::string_view line : split_text(text, '\n')) {
        std::vector<std::string_view> fields = split_text(line, '\t');
        if (fields.size() < 5)
            continue;
        ActionMark mark;
        bool kindKnown = false;
        for (size_t k = 0; k < kDeviceKinds; ++k)
            if (fields[0] == device_kind_name(static_cast<DeviceKind>(k))) {
                mark.kind = static_cast<DeviceKind>(k);
                kindKnown = true;
            }
        for (Mechanism mechanism : kMechanisms)
            if (fields[1] == mechanism_name(mechanism))
                mark.action = mechanism;
        if (!kindKnown || mark.action == Mechanism::none || fields[2].empty())
            continue;
        mark.target = unescape_octal(fields[2]);
        mark.identity = unescape_octal(fields[3]);
        mark.label = unescape_octal(fields[4]);
        for (size_t i = 5; i < fields.size(); ++i)
            if (size_t equals = fields[i].find('='); equals != std::string_view::npos)
                mark.details[unescape_octal(fields[i].substr(0, equals))] = unescape_octal(fields[i].substr(equals + 1));
        marks.push_back(std::move(mark));
    }
    return marks;
}

std::vector<ActionMark> load_marks()
{
    std::vector<uint8_t> bytes;
    if (read_whole_file(kMarksFile, bytes).failed())
        return {};
    return parse_marks(std::string(bytes.begin(), bytes.end()));
}

IoFailure save_marks(const std::vector<ActionMark> &marks)
{
    if (marks.empty()) {
        if (posix_io.unlink(kMarksFile) != 0 && errno != ENOENT)
            return {std::string("unlink(") + kMarksFile + ")", errno};
        return {};
    }
    if (IoResult made = make_directories(kMarksDir); made.failed())
        return {std::string(made.call) + "(" + made.path + ")", made.error};
    std::string text = format_marks(marks);
    if (IoResult written = write_file_atomically(kMarksFile, std::vector<uint8_t>(text.begin(), text.end()));
        written.failed())
        return {std::string(written.call) + "(" + written.path + ")", written.error};
    return {};
}

std::string device_identity(Mechanism action, const std::string &target)
{
    using namespace sysfs;
    switch (action) {
    case Mechanism::deauthorize: {
        std::string usb = nearest(target, [](const std::string &dir) { return has_entry(dir, "devnum"); });
        return usb.empty() ? std::string()
                           : attribute(usb, "busnum").value_or("") + "-" + attribute(usb, "devnum").value_or("");
    }
    case Mechanism::inhibit: return attribute(target, "name").value_or("");
    case Mechanism::read_only: {
        dev_t device = device_number(target);
        return std::to_string(major(device)) + ":" + std::to_string(minor(device)) + " " +
               attribute(target, "diskseq").value_or("");
    }
    case Mechanism::unbind:
    case Mechanism::offline:
    case Mechanism::none: break;
    }
    return {};
}

std::string udev_denied_mark(const std::string &eventPath)
{
    using namespace sysfs;
    std::string subsystem = link_name(eventPath, "subsystem");
    std::string id;
    if (dev_t device = device_number(eventPath))
        id = (subsystem == "block" ? "b" : "c") + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    else if (auto index = attribute(eventPath, "ifindex"); index && subsystem == "net")
        id = "n" + *index;
    else
        id = "+" + subsystem + ":" + base_name(eventPath);
    std::vector<uint8_t> bytes;
    if (read_whole_file("/run/udev/data/" + id, bytes).failed())
        return {};
    const std::string key = "E:KESTRUNE_DENIED=";
    std::string text(bytes.begin(), bytes.end());
    for (std::string_view line : split_text(text, '\n'))
        if (line.starts_with(key))
            return std::string(line.substr(key.size()));
    return {};
}

} // namespace kestrune::platform
