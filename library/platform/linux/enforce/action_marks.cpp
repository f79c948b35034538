#include "platform/linux/enforce/action_marks.h"

#include <sys/sysmacros.h>

#include <cerrno>

#include "platform/linux/enforce/sysfs_reader.h"
#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

namespace {

std::string escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\t' || c == '\n' || c == '\\' || c == '=' || byte < 0x20) {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", byte);
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            text.substr(i + 1, 3).find_first_not_of("01234567") == std::string::npos) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::string> split(const std::string &line, char separator)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        size_t end = line.find(separator, at);
        parts.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            return parts;
        at = end + 1;
    }
}

constexpr Mechanism kMechanisms[] = {Mechanism::deauthorize, Mechanism::inhibit, Mechanism::unbind,
                                     Mechanism::offline, Mechanism::read_only};

} // namespace

std::string format_marks(const std::vector<ActionMark> &marks)
{
    std::string text;
    for (const ActionMark &mark : marks) {
        text += std::string(device_kind_name(mark.kind)) + "\t" + mechanism_name(mark.action) + "\t" +
                escape(mark.target) + "\t" + escape(mark.identity) + "\t" + escape(mark.label);
        for (const auto &[key, value] : mark.details)
            text += "\t" + escape(key) + "=" + escape(value);
        text += "\n";
    }
    return text;
}

std::vector<ActionMark> parse_marks(const std::string &text)
{
    std::vector<ActionMark> marks;
    for (const std::string &line : split(text, '\n')) {
        std::vector<std::string> fields = split(line, '\t');
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
        mark.target = unescape(fields[2]);
        mark.identity = unescape(fields[3]);
        mark.label = unescape(fields[4]);
        for (size_t i = 5; i < fields.size(); ++i)
            if (size_t equals = fields[i].find('='); equals != std::string::npos)
                mark.details[unescape(fields[i].substr(0, equals))] = unescape(fields[i].substr(equals + 1));
        marks.push_back(std::move(mark));
    }
    return marks;
}

std::vector<ActionMark> load_marks()
{
    std::vector<uint8_t> bytes;
    if (read_whole_file(kMarksFile, bytes) != 0)
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
    if (int error = make_directories(kMarksDir))
        return {std::string("mkdir(") + kMarksDir + ")", error};
    std::string text = format_marks(marks);
    if (int error = write_file_atomically(kMarksFile, std::vector<uint8_t>(text.begin(), text.end())))
        return {std::string("write_file_atomically(") + kMarksFile + ")", error};
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
    if (read_whole_file("/run/udev/data/" + id, bytes) != 0)
        return {};
    const std::string key = "E:KESTRUNE_DENIED=";
    for (const std::string &line : split(std::string(bytes.begin(), bytes.end()), '\n'))
        if (line.starts_with(key))
            return line.substr(key.size());
    return {};
}

} // namespace kestrune::platform
