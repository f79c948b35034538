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

std::string render(const Config &config)
{
    std::ostringstream out;
    out << config;
    return out.str();
}

TEST(Config, LinesBecomePairs)
{
    const struct {
        const char *what, *input, *rendered; // every pair as "key=value\n", in key order
    } cases[] = {
        {"spaces around the delimiter", "a = 1\n", "a=1\n"},
        {"second delimiter stays in the value", "a=b=c\n", "a=b=c\n"},
        {"empty key and empty value", "=x\nb=\n", "=x\nb=\n"},
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
        {"comments only", "# one\n  # two\n", ""},
        {"CR LF line ends", "a=1\r\nb = 2 \r\n", "a=1\nb=2\n"},
        {"CR LF inside a continuation", "a=1\r\n  2\r\n\r\nb=3\r\n", "a=1\n  2\nb=3\n"},
        {"keys sorted as unsigned bytes, prefix first", "b=1\n\xC3\xA9=2\nab=3\na=4\nB=5\n",
         "B=5\na=4\nab=3\nb=1\n\xC3\xA9=2\n"},
    };
    for (const auto &c : cases) {
        Config config("=", "#");
        std::istringstream in(c.input);
        in >> config;
        EXPECT_EQ(render(config), c.rendered) << c.what;
    }
}

TEST(Config, FilesReadAndWrittenBackTheSameLookupsAndAdditions)
{
    ScratchDir dir;
    EXPECT_THROW(Config(dir / "absent.ini", "=", "#"), Config::File_not_found);
    write_file(dir / "in.ini", "# settings\nz = last\nmulti = first\n    indented\n\nkey = value # c\n=empty\nblank=\n");
    Config config(dir / "in.ini", "=", "#");
    const std::string rendered = render(config);
    EXPECT_EQ(rendered, "=empty\nblank=\nkey=value\nmulti=first\n    indented\nz=last\n");
    write_file(dir / "out.ini", rendered);
    EXPECT_EQ(render(Config(dir / "out.ini", "=", "#")), rendered);

    // Lookups are exact, with the fallback for anything else.
    const std::pair<const char *, const char *> reads[] = {
        {"key", "value"}, {" key", "def"}, {"Key", "def"}, {"", "empty"}, {"blank", ""}};
    for (const auto &[key, value] : reads)
        EXPECT_EQ(config.read(key, "def"), value) << '"' << key << '"';

    // Additions trim exactly the six whitespace characters, and replace.
    config.add(" \n\t\v\r\fkey", "\tr e\f\r\v\n \t");
    config.add("c", "\xA0kept\xA0");
    config.add("n", 42);
    config.add("blank", " \t\r\n\v\f");
    EXPECT_EQ(render(config), "=empty\nblank=\nc=\xA0kept\xA0\nkey=r e\nmulti=first\n    indented\nn=42\nz=last\n");

    // A delimiter of more than one character, and another comment.
    write_file(dir / "other.ini", "k := v ; note\n;k2 := v2\n");
    EXPECT_EQ(render(Config(dir / "other.ini", ":=", ";")), "k:=v\n");
}

// The values are atoi's wherever the number fits.
TEST(SpeedText, ReadsAsAtoiAndReportsOverflow)
{
    const struct {
        const char *text;
        int32_t value;
        bool fits;
    } cases[] = {
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
    for (const auto &c : cases) {
        const SpeedNumber number = parse_speed_text(c.text);
        EXPECT_EQ(number.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(number.fits, c.fits) << '"' << c.text << '"';
    }
}

} // namespace
