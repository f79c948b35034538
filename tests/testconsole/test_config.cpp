// The console's key/value store: how lines become pairs, how pairs are kept and
// how they are written back.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "config.h"
#include "support/scratch_dir.h"

namespace {

using kestrune::test::read_file;
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

struct ParseCase {
    const char *what;
    const char *input;
    const char *rendered; // every pair as "key=value\n", in key order
};

const ParseCase parse_cases[] = {
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

TEST(ConfigReading, LinesBecomePairs)
{
    for (const ParseCase &c : parse_cases)
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

TEST(ConfigReading, ExtractionAddsToWhatIsThere)
{
    Config config = parse("a=1\nb=2\n");
    std::istringstream more("b=3\nc=4\n");
    more >> config;
    EXPECT_EQ(render(config), "a=1\nb=3\nc=4\n");
}

TEST(ConfigTrim, RemovesTheSixWhitespaceCharactersAtBothEnds)
{
    std::string text = " \n\t\v\r\fa \t b\f\r\v\t\n ";
    Config::trim(text);
    EXPECT_EQ(text, "a \t b");

    std::string only_space = " \t\r\n\v\f";
    Config::trim(only_space);
    EXPECT_EQ(only_space, "");

    std::string other = "\xA0x\xA0";
    Config::trim(other);
    EXPECT_EQ(other, "\xA0x\xA0");
}

TEST(ConfigAdd, InsertsOrReplacesTrimmedFormattedText)
{
    Config config = parse("a=1\n");
    config.add(" a ", " replaced ");
    config.add("n", 42);
    char buffer[32] = "  buffer\t";
    config.add("c", buffer);
    const char *pointer = "pointer";
    config.add("p", pointer);
    EXPECT_EQ(render(config), "a=replaced\nc=buffer\nn=42\np=pointer\n");
}

TEST(ConfigFile, MissingFileThrowsItsName)
{
    ScratchDir dir;
    const std::string name = dir / "absent.ini";
    try {
        Config config(name, "=", "#");
        FAIL() << "a missing file must throw";
    } catch (const Config::File_not_found &error) {
        EXPECT_EQ(error.filename, name);
    }
}

TEST(ConfigFile, WrittenStoreReadsBackTheSame)
{
    ScratchDir dir;
    write_file(dir / "in.ini", "# settings\nz = last\nmulti = first\n    indented\n\na = 1 # c\n");
    const Config original(dir / "in.ini", "=", "#");
    const std::string rendered = render(original);
    EXPECT_EQ(rendered, "a=1\nmulti=first\n    indented\nz=last\n");

    write_file(dir / "out.ini", rendered);
    const Config again(dir / "out.ini", "=", "#");
    EXPECT_EQ(render(again), rendered);
    EXPECT_EQ(read_file(dir / "out.ini"), rendered);
}

TEST(ConfigFile, OtherDelimiterAndComment)
{
    ScratchDir dir;
    write_file(dir / "in.ini", "k := v ; note\n;k2 := v2\n");
    const Config config(dir / "in.ini", ":=", ";");
    EXPECT_EQ(render(config), "k:=v\n");
}

} // namespace
