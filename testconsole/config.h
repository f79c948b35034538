// The test console's key/value store: lines of "key = value" around a delimiter,
// with comments and indented continuation lines, held in a map ordered by key and
// written back one pair per line. Texts are bytes; nothing is converted.
#ifndef KESTRUNE_TESTCONSOLE_CONFIG_H
#define KESTRUNE_TESTCONSOLE_CONFIG_H

#include <iosfwd>
#include <map>
#include <sstream>
#include <string>

class Config {
public:
    // Thrown by value when the constructor cannot open its file.
    struct File_not_found {
        std::string filename;
    };

    // Reads the whole file; throws File_not_found when it cannot be opened.
    Config(std::string filename, std::string delimiter, std::string comment);
    // An empty store, filled later by stream extraction.
    Config(std::string delimiter, std::string comment);

    // The stored value of `key` (looked up exactly as given), or `fallback`.
    std::string read(const std::string &key, const std::string &fallback) const;

    // Stores `value` as its formatted text under `key`, both trimmed; a key that is
    // already there gets the new value.
    template <class T>
    void add(std::string key, const T &value)
    {
        std::ostringstream text;
        text << value;
        std::string stored = text.str();
        trim(key);
        trim(stored);
        contents[key] = std::move(stored);
    }

    // Removes leading and trailing spaces, line feeds, tabs, vertical tabs,
    // carriage returns and form feeds, in place.
    static void trim(std::string &text);

    friend std::istream &operator>>(std::istream &in, Config &config);
    friend std::ostream &operator<<(std::ostream &out, const Config &config);

private:
    std::string delimiter;
    std::string comment;
    // std::string orders its bytes as unsigned char, so keys sort byte by byte
    // and a key that is a prefix of another comes first.
    std::map<std::string, std::string> contents;
};

#endif
