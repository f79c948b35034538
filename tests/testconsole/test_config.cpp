// The console's configuration: how lines become pairs, how pairs are kept and
// written back, and how a bandwidth text becomes a number.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

#include "config.h"
#include "speed_text.h"
#include "support/scratch_dir.h"

namespace {

using kestrune::test::ScratchDir;
using kestrune::test::write_file;

Config parse(const std::string &text)
{
    Config config("=", "#");
    std::istringstream in(text);
    in >> config;
    return config;
}

std::string render(const Config &config)
{
    std::ostringstream out;
    out << config;
    return out.str();
}

TEST(ConfigReading, LinesBecomePairs)
{
    struct Case {
        const char *what;
        const char *input;
        const char *rendered; // every pair as "key=value\n", in key order
    };
    const Case cases[] = {
        {"spaces around the delimiter", "a = 1\n", "a=1\n"},
        {"second delimiter stays in the value", "a=b=c\n", "a=b=c\n"},
        {"empty key", "=x\n", "=x\n"},
        {"empty value", "a=\n", "a=\n"},
        {"comment after the value", "a=1 # note\n", "a=1\n"},
        {"comment before the delimiter", "x#=1\n", ""},
        {"indented continuation", "a=1\n  2\n\n", "a=1\n  2\n"},
        {"blank line ends the value, stray line dropped", "a=1\n\n2\n", "a=1\n"},
        {"comment line inside a continuation", "a=1\n# c\n2\n", "a=1\n2\n"},
        {"text before a comment continues", "a=1\n 2 # c\n", "a=1\n 2\n"},
        {"whitespace line ends the value, next pair kept", "a=1\n  \t\nb=2\n", "a=1\nb=2\n"},
        {"pair line ends a continuation", "a=1\n 2\nb=3\n", "a=1\n 2\nb=3\n"},
        {"line without delimiter before any pair", "junk\na=1\n", "a=1\n"},
        {"repeated key: last wins", "a=1\na=2\n", "a=2\n"},
        {"no line feed after the last pair", "a=1\nb=2", "a=1\nb=2\n"},
        {"last continuation line without line feed, once", "a=1\n  2", "a=1\n  2\n"},
        {"empty input", "", ""},
        {"comments only", "# one\n  # two\n", ""},
        {"CR LF line ends", "a=1\r\nb = 2 \r\n", "a=1\nb=2\n"},
        {"CR LF inside a continuation", "a=1\r\n  2\r\n\r\nb=3\r\n", "a=1\n  2\nb=3\n"},
        {"keys sorted as unsigned bytes, prefix first", "b=1\n\xC3\xA9=2\nab=3\na=4\nB=5\n",
         "B=5\na=4\nab=3\nb=1\n\xC3\xA9=2\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render(parse(c.input)), c.rendered) << c.what;
}

TEST(ConfigReading, ReadLooksUpExactlyWithDefault)
{
    const Config config = parse(" key = value \n=empty-key\nblank=\n");
    EXPECT_EQ(config.read("key", "def"), "value");
    EXPECT_EQ(config.read(" key", "def"), "def");
    EXPECT_EQ(config.read("Key", "def"), "def");
    EXPECT_EQ(config.read("", "def"), "empty-key");
    EXPECT_EQ(config.read("blank", "def"), "");
}

TEST(ConfigAdd, TrimsTheSixWhitespaceCharactersAndReplaces)
{
    Config config = parse("a=1\n");
    config.add(" \n\t\v\r\fa", "\tr e\f\r\v\n \t");
    char buffer[32] = "\xA0kept\xA0"; // not whitespace of the six
    config.add("c", buffer);
    config.add("n", 42);
    config.add("blank", " \t\r\n\v\f");
    EXPECT_EQ(render(config), "a=r e\nblank=\nc=\xA0kept\xA0\nn=42\n");
}

TEST(ConfigFile, MissingFileThrowsItsName)
{
    ScratchDir dir;
    try {
        Config config(dir / "absent.ini", "=", "#");
        FAIL() << "a missing file must throw";
    } catch (const Config::File_not_found &error) {
        EXPECT_EQ(error.filename, dir / "absent.ini");
    }
}

TEST(ConfigFile, WrittenStoreReadsBackTheSame)
{
    ScratchDir dir;
    write_file(dir / "in.ini", "# settings\nz = last\nmulti = first\n    indented\n\na = 1 # c\n");
    const std::string rendered = render(Config(dir / "in.ini", "=", "#"));
    EXPECT_EQ(rendered, "a=1\nmulti=first\n    indented\nz=last\n");
    write_file(dir / "out.ini", rendered);
    EXPECT_EQ(render(Config(dir / "out.ini", "=", "#")), rendered);

    // A delimiter of more than one character, and another comment.
    write_file(dir / "other.ini", "k := v ; note\n;k2 := v2\n");
    EXPECT_EQ(render(Config(dir / "other.ini", ":=", ";")), "k:=v\n");
}

// The values are atoi's wherever the number fits.
TEST(SpeedText, ReadsAsAtoiAndReportsOverflow)
{
    struct Case {
        const char *text;
        int32_t value;
        bool fits;
    };
    const Case cases[] = {
        {"", 0, true},
        {"abc", 0, true},
        {" \t\n\v\f\r+12kb", 12, true},
        {"-1", -1, true},
        {"+-1", 0, true},
        {"2147483647", INT32_MAX, true},
        {"-2147483648", INT32_MIN, true},
        {"2147483648", INT32_MAX, false},
        {"-2147483649", INT32_MIN, false},
        {"000000000000000000000000000100", 100, true},
        {"99999999999999999999999999999", INT32_MAX, false},
        {"-99999999999999999999999999999", INT32_MIN, false},
    };
    for (const Case &c : cases) {
        const SpeedNumber number = parse_speed_text(c.text);
        EXPECT_EQ(number.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(number.fits, c.fits) << '"' << c.text << '"';
    }
}

} // namespace
