#include "base/Unicode.h"

#include <gtest/gtest.h>

namespace {

std::string Encoded(char32_t c) {
    std::string out;
    unicode::AppendUtf8(out, c);
    return out;
}

TEST(Unicode, EachLengthAtItsBoundaries) {
    EXPECT_EQ(Encoded(0x7F), "\x7f");
    EXPECT_EQ(Encoded(0x80), "\xc2\x80");
    EXPECT_EQ(Encoded(0x7FF), "\xdf\xbf");
    EXPECT_EQ(Encoded(0x800), "\xe0\xa0\x80");
    EXPECT_EQ(Encoded(0xFFFF), "\xef\xbf\xbf");
    EXPECT_EQ(Encoded(0x10000), "\xf0\x90\x80\x80");
    EXPECT_EQ(Encoded(0x10FFFF), "\xf4\x8f\xbf\xbf");
}

TEST(Unicode, WhatIsNotACharacterBecomesTheReplacement) {
    EXPECT_EQ(Encoded(0xD800), "\xef\xbf\xbd");
    EXPECT_EQ(Encoded(0xDFFF), "\xef\xbf\xbd");
    EXPECT_EQ(Encoded(0x110000), "\xef\xbf\xbd");
}

TEST(Unicode, SurrogatePairsJoinAndLoneHalvesAreReplaced) {
    EXPECT_EQ(unicode::HighSurrogate(0x1F600), 0xD83D);
    EXPECT_EQ(unicode::LowSurrogate(0x1F600), 0xDE00);
    EXPECT_EQ(unicode::FromSurrogates(0xD83D, 0xDE00), U'\U0001F600');
    EXPECT_EQ(unicode::Utf16ToUtf8(u"a\U0001F600b"),
              "a\xf0\x9f\x98\x80"
              "b");
    EXPECT_EQ(unicode::Utf16ToUtf8(std::u16string{u'a', 0xD83D}), "a\xef\xbf\xbd");
    EXPECT_EQ(unicode::Utf16ToUtf8(std::u16string{0xDE00, u'a', 0xD83D, u'b'}),
              "\xef\xbf\xbd"
              "a\xef\xbf\xbd"
              "b");
}

}  // namespace
