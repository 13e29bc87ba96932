#include "text/cp932.h"

#include <gtest/gtest.h>

#include <vector>

using namespace mirvo::text;

namespace {
// ソ is 0x83 0x5C: its second byte is the backslash.
const std::string kSo = "\x83\x5C";
}  // namespace

TEST(Cp932Rules, LeadBytesAreExactlyTheTwoRanges) {
  for (int c = 0; c < 256; ++c) {
    const bool expected = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    EXPECT_EQ(IsLeadByte(static_cast<unsigned char>(c)), expected) << c;
  }
}

TEST(Cp932Rules, WalkingKeepsSecondBytesInsideTheirCharacter) {
  // "a", ソ, half-width 0xA5, "\", a lone lead byte at the end
  const std::string s = "a" + kSo + "\xA5\\\x83";
  std::vector<std::pair<std::size_t, std::size_t>> chars;
  ForEachChar(s, [&](std::size_t pos, std::size_t len) { chars.emplace_back(pos, len); });
  const std::vector<std::pair<std::size_t, std::size_t>> expected{{0, 1}, {1, 2}, {3, 1}, {4, 1}, {5, 1}};
  EXPECT_EQ(chars, expected);
  EXPECT_EQ(CharCount(s), 5u);
  EXPECT_EQ(CharCount(""), 0u);
}

TEST(Cp932Rules, TrimRemovesBytesUpToBlankOnly) {
  EXPECT_EQ(TrimBlanks("\r\n OK\r\n"), "OK");
  EXPECT_EQ(TrimBlanks(std::string("\0\x1f x \x20", 6)), "x");
  EXPECT_EQ(TrimBlanks(" \r\n "), "");
  EXPECT_EQ(TrimBlanks(kSo + "\xA5"), kSo + "\xA5");
  EXPECT_EQ(TrimBlanks("\t!\x7f"), "!\x7f");
}

TEST(Cp932Conversion, RoundTripsHalfWidthYenAndBackslashSecondByte) {
  const std::string cp = "dir" + std::string("\xA5") + kSo + "\\x.txt";
  const auto utf8 = Cp932ToUtf8(cp);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(*utf8, "dir\uFF65\u30BD\\x.txt");  // ･ ソ
  const auto back = Utf8ToCp932(*utf8);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, cp);
}

TEST(Cp932Conversion, ReportsFailureInsteadOfSubstituting) {
  EXPECT_FALSE(Cp932ToUtf8("ab\x83"));        // truncated lead byte
  EXPECT_FALSE(Cp932ToUtf8("\x81\x20"));      // invalid pair
  EXPECT_FALSE(Utf8ToCp932("\xF0\x9F\x98\x80"));  // emoji: no code page 932 form
  EXPECT_FALSE(Utf8ToCp932("\xC3"));          // broken UTF-8
  EXPECT_EQ(Utf8ToCp932("").value(), "");
  EXPECT_EQ(Cp932ToUtf8(std::string(1, '\0')).value(), std::string(1, '\0'));
}

TEST(Cp932Conversion, FixedTextsAreConvertedOnceAndKept) {
  const std::string& a = Cp932("無し");
  EXPECT_EQ(a, "\x96\xB3\x82\xB5");
  EXPECT_EQ(&a, &Cp932(std::string("無し")));  // same cached object
  EXPECT_EQ(Cp932("データ内容"), "\x83\x66\x81\x5B\x83\x5E\x93\xE0\x97\x65");
}

TEST(Cp932Conversion, LongTextsGrowTheOutput) {
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "\x82\xA0";  // あ: 2 bytes -> 3 bytes
  const auto utf8 = Cp932ToUtf8(big);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8->size(), 15000u);
  EXPECT_EQ(Utf8ToCp932(*utf8).value(), big);
}
