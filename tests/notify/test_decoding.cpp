// The pure steps of decoding: instance IDs from link names, the text join, and
// the callback's 8-bit copy of the text.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "notify/device_text.h"
#include "notify/link_name.h"

using kestrune::notify::append_device_texts;
using kestrune::notify::DeviceTexts;
using kestrune::notify::instance_id_from_link_name;
using kestrune::notify::kCallbackTextBytes;
using kestrune::notify::LinkNameError;
using kestrune::notify::to_callback_text;

namespace {

struct Decoded {
    LinkNameError error;
    std::u16string id;
};

Decoded decode(std::u16string_view link)
{
    Decoded result{LinkNameError::kNone, u"untouched"};
    result.error = instance_id_from_link_name(link, result.id);
    return result;
}

TEST(LinkName, InstanceIdBehindThePrefixAndBeforeTheClass)
{
    Decoded usb = decode(u"\\\\?\\USB#VID_1234&PID_5678#0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(usb.error, LinkNameError::kNone);
    EXPECT_EQ(usb.id, u"USB\\VID_1234&PID_5678\\0001");

    // A reference string behind the class does not change the ID.
    Decoded withReference = decode(u"\\\\?\\ROOT#NET#0000#{ad498944-762f-11d0-8dcb-00c04fc3358c}\\{7A1B-REF}");
    EXPECT_EQ(withReference.id, u"ROOT\\NET\\0000");
    EXPECT_EQ(decode(u"\\\\?\\ROOT#NET#0000#{ad498944-762f-11d0-8dcb-00c04fc3358c}").id, withReference.id);

    // Lower case is upper-cased; the four prefix characters are skipped whatever they are.
    EXPECT_EQ(decode(u"\\\\?\\net#eth0#{ad498944-762f-11d0-8dcb-00c04fc3358c}").id, u"NET\\ETH0");
    EXPECT_EQ(decode(u"abcdnet#veth0#{x}").id, u"NET\\VETH0");

    // The only number sign before the class leaves an ID without a backslash.
    EXPECT_EQ(decode(u"\\\\?\\ETH0#{AD498944-762F-11D0-8DCB-00C04FC3358C}").id, u"ETH0");
}

TEST(LinkName, TooShortOrWithoutNumberSign)
{
    EXPECT_EQ(decode(u"").error, LinkNameError::kTooShort);
    EXPECT_EQ(decode(u"\\\\?").error, LinkNameError::kTooShort);
    Decoded four = decode(u"\\\\?\\");
    EXPECT_EQ(four.error, LinkNameError::kTooShort);
    EXPECT_EQ(four.id, u"untouched");

    EXPECT_EQ(decode(u"\\\\?\\A").error, LinkNameError::kNoNumberSign);
    EXPECT_EQ(decode(u"\\\\?\\USB\\VID_1234").error, LinkNameError::kNoNumberSign);
    // A number sign inside the skipped prefix does not count.
    EXPECT_EQ(decode(u"##?#USB").error, LinkNameError::kNoNumberSign);
}

std::u16string joined(DeviceTexts texts)
{
    std::u16string text;
    append_device_texts(text, texts);
    return text;
}

TEST(DeviceText, FourFieldsWithClosingSemicolonAndEmptyFieldsForWhatIsMissing)
{
    EXPECT_EQ(joined({u"Disk drive", u"SanDisk Cruzer", u"Cruzer Blade", u"SanDisk"}),
              u"Disk drive;SanDisk Cruzer;Cruzer Blade;SanDisk;");
    // No description: one separator more, so the text begins with two semicolons.
    EXPECT_EQ(joined({std::nullopt, u"eth0", u"Bus", u"Maker"}), u";;eth0;Bus;Maker;");
    EXPECT_EQ(joined({u"Disk", std::nullopt, u"Bus", u"Maker"}), u"Disk;;Bus;Maker;");
    EXPECT_EQ(joined({u"Disk", u"sda", std::nullopt, std::nullopt}), u"Disk;sda;;;");
    EXPECT_EQ(joined({std::nullopt, std::nullopt, std::nullopt, std::nullopt}), u";;;;;");
    // An empty value read is a field of its own, not a missing one.
    EXPECT_EQ(joined({u"", u"", u"", u""}), u";;;;");

    std::u16string appended = u"kept";
    append_device_texts(appended, {u"a", u"b", u"c", u"d"});
    EXPECT_EQ(appended, u"kepta;b;c;d;");
}

class CallbackText : public ::testing::Test {
protected:
    void SetUp() override { saved_ = std::setlocale(LC_ALL, nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, saved_.c_str()); }

    static std::string convert(std::u16string_view text, char (&buffer)[kCallbackTextBytes])
    {
        std::memset(buffer, 'X', sizeof buffer);
        to_callback_text(text, buffer);
        return buffer;
    }

private:
    std::string saved_;
};

TEST_F(CallbackText, ZeroFilledAndNulTerminatedWithinTheBuffer)
{
    char buffer[kCallbackTextBytes];
    EXPECT_EQ(convert(u"Disk;sda;;;", buffer), "Disk;sda;;;");
    for (size_t i = 11; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], '\0') << i;

    EXPECT_EQ(convert(u"", buffer), "");

    std::u16string longText(700, u'a');
    EXPECT_EQ(convert(longText, buffer), std::string(511, 'a'));
    EXPECT_EQ(buffer[511], '\0');
}

TEST_F(CallbackText, UnrepresentableCharactersBecomeQuestionMarks)
{
    std::setlocale(LC_ALL, "C");
    char buffer[kCallbackTextBytes];
    EXPECT_EQ(convert(u"Caf\u00e9 \u4e2d;", buffer), "Caf? ?;");
}

TEST_F(CallbackText, OverLongTextIsCutBetweenCharacters)
{
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no C.UTF-8 locale on this machine";
    char buffer[kCallbackTextBytes];

    // Two bytes each: 255 of them fill 510 bytes, the 256th would split.
    std::string cut = convert(std::u16string(300, u'\u00e9'), buffer);
    EXPECT_EQ(cut.size(), 510u);
    EXPECT_EQ(cut.substr(508), "\xc3\xa9");

    // A surrogate pair is one character of four bytes.
    std::u16string faces;
    for (int i = 0; i < 200; ++i)
        faces += u"\U0001F600";
    cut = convert(u"x" + faces, buffer);
    EXPECT_EQ(cut.size(), 1u + 4u * 127u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\xf0\x9f\x98\x80");

    // A text that fits exactly is kept whole.
    EXPECT_EQ(convert(std::u16string(511, u'b'), buffer).size(), 511u);
}

} // namespace
