#include "platform/text.h"

#include <gtest/gtest.h>

namespace cadenza {
namespace {

TEST(TextTest, Utf16RoundTripsThroughUtf8IncludingSurrogatePairs) {
  std::u16string s = u"Bj\u00f6rk \u6771\u4eac \U0001F3B5";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
  EXPECT_EQ(Utf16ToUtf8(u"\u00e9"), "\xc3\xa9");
}

TEST(TextTest, BrokenInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xef\xbf\xbd");
  EXPECT_EQ(Utf8ToUtf16("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xe6\x97"), u"\uFFFD\uFFFD");  // cut sequence
}

TEST(TextTest, Windows1252MapsTheHighControlRange) {
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xe2\x82\xac");   // euro sign
  EXPECT_EQ(Cp1252ToUtf8("\xe9"), "\xc3\xa9");       // e acute
  EXPECT_EQ(Cp1252ToUtf8("\x81"), "\xc2\x81");       // unused byte
}

TEST(TextTest, PrefixCountsCodePoints) {
  EXPECT_EQ(Utf8Length("a\xc3\xa9" "b"), 3u);
  EXPECT_EQ(Utf8Prefix("a\xc3\xa9" "b", 2), "a\xc3\xa9");
  EXPECT_EQ(TrimBlanks("  MP3 "), "MP3");
}

}  // namespace
}  // namespace cadenza
