#include "enforcement_report.h"

namespace kestrune::cli {

namespace {

constexpr std::string_view kHeader = "# kestrune enforcement ";

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return fields;
        start = end + 1;
    }
}

bool one_word(std::string_view text)
{
    return !text.empty() && text.find(' ') == std::string_view::npos;
}

} // namespace

EnforcementReport parse_enforcement_report(std::string_view text)
{
    EnforcementReport report;
    size_t number = 0;
    for (std::string_view line : split(text, '\n')) {
        ++number;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (number == 1 && line.starts_with(kHeader)) {
            const std::vector<std::string_view> words = split(line.substr(kHeader.size()), ' ');
            if (words.size() == 2 && one_word(words[0]) && one_word(words[1])) {
                report.mode = words[0];
                report.time = words[1];
                continue;
            }
        }
        // Past the header: blank lines (the final line break leaves one) and
        // comments.
        if (number > 1 && (line.empty() || line.starts_with('#')))
            continue;
        const std::vector<std::string_view> fields = split(line, '\t');
        if (fields.size() != 4 || !one_word(fields[0]) || !one_word(fields[1]) || fields[2].empty()) {
            report.bad_lines.push_back(number);
            continue;
        }
        report.entries.push_back(
            {std::string(fields[0]), std::string(fields[1]), std::string(fields[2]), std::string(fields[3])});
    }
    // Without its header the report is still shown, but not as sound.
    if (report.mode.empty() && (report.bad_lines.empty() || report.bad_lines.front() != 1))
        report.bad_lines.insert(report.bad_lines.begin(), 1);
    return report;
}

} // namespace kestrune::cli
