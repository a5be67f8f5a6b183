#include "text_encoding.h"

#include <gtest/gtest.h>

TEST(TextEncoding, RoundTripsEveryPlane) {
  const std::string utf8 = "Brenvelt \xE9\xA6\x96\xE6\xAC\xA1 \xF0\x9F\x98\x80 \xC3\xA9";
  std::u16string utf16;
  ASSERT_TRUE(Utf8ToUtf16(utf8, &utf16));
  EXPECT_EQ(utf16, u"Brenvelt \u9996\u6B21 \U0001F600 \u00E9");
  std::string back;
  ASSERT_TRUE(Utf16ToUtf8(utf16, &back));
  EXPECT_EQ(back, utf8);
}

TEST(TextEncoding, RefusesMalformedInput) {
  std::u16string utf16;
  for (const char* bad : {"\xFF", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE9\xA6", "\x80", "a\xC3"})
    EXPECT_FALSE(Utf8ToUtf16(bad, &utf16)) << bad;
  std::string utf8;
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, (char16_t)0xD83D), &utf8));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, (char16_t)0xDE00), &utf8));
}
