#include <gtest/gtest.h>

#include "platform/text.h"

namespace kelvo {
namespace {

TEST(Text, RoundTripsCyrillicAndAstralCharacters) {
  const std::u16string text = u"Логин \U0001F600 =[]\n\t";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(ToUtf8(u"Пинг"), "\xD0\x9F\xD0\xB8\xD0\xBD\xD0\xB3");
}

TEST(Text, BrokenInputBecomesReplacementCharacters) {
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf8("a\xC3"), u"a\uFFFD");             // truncated sequence
  EXPECT_EQ(FromUtf8("\xC0\xAF" "b"), u"\uFFFDb");      // overlong
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\uFFFD");       // encoded surrogate
  EXPECT_EQ(FromUtf8("\xFF" "c"), u"\uFFFDc");
}

}  // namespace
}  // namespace kelvo
