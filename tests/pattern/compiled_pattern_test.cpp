#include "pattern/compiled_pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/cp932.h"

using mirvo::CompiledPattern;
using mirvo::ElementKind;
using mirvo::text::Cp932;

TEST(CompiledPattern, ElementsCursorAndTexts) {
  CompiledPattern compiled;
  compiled.Compile(Cp932("a\\n[x]*?#()あ"));
  ASSERT_EQ(compiled.Count(), 10);
  const std::vector<ElementKind> kinds{ElementKind::Char,    ElementKind::Char,        ElementKind::Char,
                                       ElementKind::Bracket, ElementKind::Star,        ElementKind::AnyChar,
                                       ElementKind::Digit,   ElementKind::CaptureOpen, ElementKind::CaptureClose,
                                       ElementKind::Char};
  std::string joined;
  for (int i = 0; i < compiled.Count(); ++i) {
    ASSERT_NE(compiled.ElementAt(i), nullptr);
    EXPECT_EQ(compiled.ElementAt(i)->Kind(), kinds[static_cast<std::size_t>(i)]) << i;
    EXPECT_EQ(&compiled.ElementAt(i)->Owner(), &compiled);
    joined += compiled.ElementAt(i)->Text();
  }
  EXPECT_EQ(joined, "a\r\n[...]*?#()" + Cp932("あ"));
  EXPECT_EQ(compiled.Elements().size(), 10u);
  EXPECT_EQ(compiled.ElementAt(10), nullptr);
  EXPECT_EQ(compiled.ElementAt(-1), nullptr);
  auto* character = dynamic_cast<mirvo::CharElement*>(compiled.ElementAt(9));
  ASSERT_NE(character, nullptr);
  EXPECT_EQ(character->FirstByte(), 0x82);
  EXPECT_EQ(character->SecondByte(), 0xA0);

  EXPECT_EQ(compiled.TextOf(2, 2), "\r\n");
  EXPECT_EQ(compiled.TextOf(4, 100), "[...]*?#()" + Cp932("あ"));
  EXPECT_EQ(compiled.TextOf(0, 3), "");
  EXPECT_EQ(compiled.TextOf(11, 1), "");
  EXPECT_EQ(compiled.TextOf(1, 0), "");

  compiled.SetCursor(9);
  EXPECT_NE(compiled.Next(), nullptr);
  EXPECT_EQ(compiled.Next(), nullptr);
  EXPECT_EQ(compiled.Next(), nullptr);
  EXPECT_EQ(compiled.Cursor(), 12);  // grows past the end
  compiled.Rewind();
  compiled.StepBack();
  EXPECT_EQ(compiled.Cursor(), 0);

  compiled.Compile("xy");
  EXPECT_EQ(compiled.Count(), 2);
  EXPECT_EQ(compiled.Cursor(), 0);
  EXPECT_EQ(compiled.TextOf(1, 2), "xy");
}

TEST(CompiledPattern, ElementsMatchOneByOne) {
  CompiledPattern pattern, subject;
  pattern.Compile("a*c");
  subject.Compile("abbc");
  EXPECT_TRUE(pattern.Match(subject));
  EXPECT_EQ(subject.Cursor(), 4);

  // The "*" alone: the pattern's cursor on the element after it.
  pattern.Compile("*c");
  subject.Compile("xxcz");
  pattern.SetCursor(1);
  subject.SetCursor(0);
  EXPECT_TRUE(pattern.ElementAt(0)->Match(subject));
  EXPECT_EQ(subject.Cursor(), 2);  // stands before "c"; the caller matches it
  EXPECT_EQ(pattern.Cursor(), 1);
  EXPECT_TRUE(pattern.MatchRest(subject));
  EXPECT_EQ(subject.Cursor(), 3);
}

TEST(CompiledPatternCharacters, CountCodeAndTokens) {
  EXPECT_EQ(mirvo::text::CharCount(Cp932("aあ") + "\x83"), 3u);  // a lone lead byte at the end is one
  EXPECT_EQ(mirvo::CharCode(Cp932("あい")), 0x82A0u);
  EXPECT_EQ(mirvo::CharCode("b"), static_cast<std::uint32_t>('b'));
  EXPECT_EQ(mirvo::CharCode(""), 0u);
  EXPECT_EQ(mirvo::CharCode("\x83"), 0x83u);

  const std::string text = Cp932("ポa|b|") + "\x83";
  std::size_t pos = 0;
  std::string token;
  mirvo::ReadToken("|", text, pos, token);
  EXPECT_EQ(token, Cp932("ポa"));
  mirvo::ReadToken("|", text, pos, token);
  EXPECT_EQ(token, "b");
  mirvo::ReadToken("|", text, pos, token);
  EXPECT_EQ(token, "\x83");
  EXPECT_EQ(pos, text.size());
}
