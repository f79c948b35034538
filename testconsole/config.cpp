#include "config.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <ostream>
#include <utility>

namespace {

// Reads one line without its line feed. A text-mode reader on Windows turns a
// CR LF line end into one line feed; this does the same, so a configuration
// written there reads the same here (a lone trailing CR would be trimmed from a
// key or value anyway, but not from the inside of a continued value).
// A read that fails yields nothing: the caller's text is cleared rather than left
// holding the line read before.
bool next_line(std::istream &in, std::string &line)
{
    if (!std::getline(in, line)) {
        line.clear();
        return false;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// The text before the first occurrence of `comment`, or the whole line.
void cut_comment(std::string &line, const std::string &comment)
{
    line.erase(std::min(line.find(comment), line.size()));
}

bool blank(std::string text)
{
    Config::trim(text);
    return text.empty();
}

} // namespace

Config::Config(std::string filename, std::string delimiter_, std::string comment_)
    : delimiter(std::move(delimiter_)), comment(std::move(comment_))
{
    std::ifstream in(filename);
    if (!in)
        throw File_not_found{std::move(filename)};
    in >> *this;
}

Config::Config(std::string delimiter_, std::string comment_)
    : delimiter(std::move(delimiter_)), comment(std::move(comment_))
{
}

std::string Config::read(const std::string &key, const std::string &fallback) const
{
    auto found = contents.find(key);
    return found == contents.end() ? fallback : found->second;
}

void Config::trim(std::string &text)
{
    static const char whitespace[] = " \n\t\v\r\f";
    const auto last = text.find_last_not_of(whitespace);
    if (last == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(whitespace));
}

// A pair starts on a line that holds the delimiter; the lines after it that hold
// neither the delimiter nor only whitespace continue its value, each after a line
// feed (a line that is empty before its comment adds nothing). The line that ends
// a continuation is kept and taken next, so a following pair is not lost.
std::istream &operator>>(std::istream &in, Config &config)
{
    const std::string::size_type skip = config.delimiter.length();
    std::string nextline;
    while (in || !nextline.empty()) {
        std::string line;
        if (nextline.empty())
            next_line(in, line);
        else
            line.swap(nextline);

        cut_comment(line, config.comment);
        const auto position = line.find(config.delimiter);
        if (position == std::string::npos)
            continue;

        std::string key = line.substr(0, position);
        line.erase(0, position + skip);

        // Only a line actually read is examined: when the last line had no line
        // feed, the read after it fails and ends the continuation, so that line
        // is appended once, not examined a second time.
        while (next_line(in, nextline)) {
            if (blank(nextline))
                break;
            cut_comment(nextline, config.comment);
            if (nextline.find(config.delimiter) != std::string::npos)
                break;
            if (!blank(nextline))
                line += '\n';
            line += nextline;
        }

        Config::trim(key);
        Config::trim(line);
        config.contents[key] = std::move(line);
    }
    return in;
}

std::ostream &operator<<(std::ostream &out, const Config &config)
{
    for (const auto &[key, value] : config.contents)
        out << key << config.delimiter << value << std::endl;
    return out;
}
