#include "platform/text.h"

#include <gtest/gtest.h>

namespace cadenza {
namespace {

TEST(TextTest, BrokenInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xef\xbf\xbd");
  EXPECT_EQ(Utf8ToUtf16("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xe6\x97"), u"\uFFFD\uFFFD");  // cut sequence
}

TEST(TextTest, PrefixCountsCodePoints) {
  EXPECT_EQ(Utf8Length("a\xc3\xa9" "b"), 3u);
  EXPECT_EQ(Utf8Prefix("a\xc3\xa9" "b", 2), "a\xc3\xa9");
  EXPECT_EQ(TrimBlanks("  MP3 "), "MP3");
}

TEST(TextTest, WidthCountsTerminalColumns) {
  size_t used = 0;
  // "東京" takes four columns; a cut never splits a wide character.
  EXPECT_EQ(Utf8FitWidth("\xe6\x9d\xb1\xe4\xba\xac" "ab", 5, &used), "\xe6\x9d\xb1\xe4\xba\xac" "a");
  EXPECT_EQ(used, 5u);
  EXPECT_EQ(Utf8FitWidth("\xe6\x9d\xb1\xe4\xba\xac", 3, &used), "\xe6\x9d\xb1");
  EXPECT_EQ(used, 2u);
  // A combining accent adds no column.
  EXPECT_EQ(Utf8FitWidth("e\xcc\x81x", 2, &used), "e\xcc\x81x");
  EXPECT_EQ(used, 2u);
}

}  // namespace
}  // namespace cadenza
