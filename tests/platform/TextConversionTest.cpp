#include <gtest/gtest.h>

#include <string>

#include "platform/format/TextConversion.h"

namespace {

using zentrix::CopyToFixedName;
using zentrix::Utf16ToUtf8;
using zentrix::Utf8ToUtf16;

TEST(TextConversion, RoundTripsEveryPlane) {
    const std::string text = "Lick \xC3\xA4 \xE2\x82\xAC \xF0\x9F\x90\x81 end";  // ä € 🐁
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Lick \u00E4 \u20AC \U0001F401 end");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf16ToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters) {
    // Lone continuation byte, bad lead bytes, overlong form, encoded surrogate, above U+10FFFF.
    EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    // A truncated sequence at the end never reads past the input.
    EXPECT_EQ(Utf8ToUtf16("ok\xE2\x82"), u"ok\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F"), u"\uFFFD");
    // A sequence cut short by a plain character keeps the character.
    EXPECT_EQ(Utf8ToUtf16("\xE2"
                          "A"),
              u"\uFFFDA");
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacementCharacters) {
    const char16_t lowFirst[] = {0xDC00, 0xD800, u'x', 0};
    EXPECT_EQ(Utf16ToUtf8(lowFirst), "\xEF\xBF\xBD\xEF\xBF\xBDx");
    const char16_t trailingHigh[] = {u'a', 0xD83D, 0};
    EXPECT_EQ(Utf16ToUtf8(trailingHigh), "a\xEF\xBF\xBD");
}

TEST(TextConversion, FixedNamesAreCutToCapacityAndTerminated) {
    char16_t field[120];
    std::fill(std::begin(field), std::end(field), u'#');
    EXPECT_EQ(CopyToFixedName("Tamsel IO box", field), 13u);
    EXPECT_EQ(std::u16string(field), u"Tamsel IO box");
    EXPECT_EQ(field[14], u'#');  // bytes after the terminator stay as they were

    const std::string longName(300, 'x');
    EXPECT_EQ(CopyToFixedName(longName, field), 119u);
    EXPECT_EQ(field[119], u'\0');
    EXPECT_EQ(std::u16string(field), std::u16string(119, u'x'));
}

TEST(TextConversion, CuttingNeverSplitsASurrogatePair) {
    // 118 letters then a mouse (two units): the pair does not fit in 119 units and is dropped.
    std::string name(118, 'a');
    name += "\xF0\x9F\x90\x81";
    char16_t field[120];
    EXPECT_EQ(CopyToFixedName(name, field), 118u);
    EXPECT_EQ(field[118], u'\0');

    // 117 letters then the mouse: it fits exactly.
    std::string fits(117, 'a');
    fits += "\xF0\x9F\x90\x81";
    EXPECT_EQ(CopyToFixedName(fits, field), 119u);
    EXPECT_EQ(field[117], 0xD83D);
    EXPECT_EQ(field[118], 0xDC01);
    EXPECT_EQ(field[119], u'\0');

    char16_t tiny[1] = {u'#'};
    EXPECT_EQ(CopyToFixedName("abc", tiny), 0u);
    EXPECT_EQ(tiny[0], u'\0');
}

}  // namespace
