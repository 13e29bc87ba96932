#include "pattern/wildcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/cp932.h"

using mirvo::MatchFileName;
using mirvo::TWKakko;
using mirvo::TWSeq;
using mirvo::TWString;
using mirvo::WildcardError;
using mirvo::WildcardMatch;
using mirvo::text::Cp932;

namespace {

// Texts are written in UTF-8 and matched as code page 932 bytes.
bool M(std::string_view name, std::string_view pattern) { return MatchFileName(Cp932(name), Cp932(pattern)); }

WildcardError::Kind ErrorOf(std::string_view name, std::string_view pattern) {
  try {
    MatchFileName(Cp932(name), Cp932(pattern));
  } catch (const WildcardError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no error for " << pattern;
  return WildcardError::Kind::BackslashInClass;
}

struct Prefix {
  bool result;
  std::string rest;
  std::vector<std::string> captures;
};

Prefix MatchPrefix(std::string_view pattern, std::string subject) {
  Prefix p;
  p.result = WildcardMatch(pattern, subject, &p.captures, false);
  p.rest = subject;
  return p;
}

}  // namespace

TEST(WildcardStar, TakesTheFirstSplitPointAndNeverAnother) {
  EXPECT_TRUE(M("", "*"));
  EXPECT_TRUE(M("何でも.txt", "*"));
  EXPECT_TRUE(M("abc", "abc*"));
  EXPECT_TRUE(M("abcd", "abc*"));
  EXPECT_FALSE(M("aba", "*a"));  // the split before the first "a" wins
  EXPECT_TRUE(M("ba", "*a"));
  EXPECT_TRUE(M("a.b.txt", "*.txt"));
  EXPECT_FALSE(M("a.txt.txt", "*.txt"));
  for (const char* name : {"abc", "xabc", "abcx", "xxabcabc", "着abc歌"}) EXPECT_TRUE(M(name, "*abc*")) << name;
  EXPECT_FALSE(M("abxc", "*abc*"));
  EXPECT_TRUE(M("xaybzc", "*a*b*c*"));
  EXPECT_FALSE(M("xaybz", "*a*b*c*"));
}

TEST(WildcardSingle, QuestionAndNumberTakeExactlyOneCharacter) {
  EXPECT_FALSE(M("", "?"));
  EXPECT_FALSE(M("a", "a?"));
  EXPECT_FALSE(M("a", "??"));
  EXPECT_TRUE(M("あ", "?"));  // a double-byte character is one
  EXPECT_FALSE(M("あ", "??"));
  // "?" past the end stays a failure even when a "*" follows.
  EXPECT_FALSE(M("", "?*"));
  EXPECT_FALSE(M("a", "a?*"));
  EXPECT_TRUE(M("ab", "a?*"));
  EXPECT_TRUE(M("5", "#"));
  EXPECT_FALSE(M("５", "#"));
  EXPECT_FALSE(M("a", "#"));
  EXPECT_FALSE(M("", "#"));
  EXPECT_TRUE(M("v12", "v##"));
}

TEST(WildcardClass, RangesNegationAndDoubleByteMembers) {
  EXPECT_TRUE(M("b", "[a-c]"));
  EXPECT_TRUE(M("b", "[c-a]"));
  EXPECT_TRUE(M("d", "[!a-c]"));
  EXPECT_FALSE(M("b", "[!a-c]"));
  EXPECT_FALSE(M("", "[!a-c]"));
  EXPECT_TRUE(M("か", "[あ-ん]"));
  EXPECT_FALSE(M("ア", "[あ-ん]"));
  EXPECT_FALSE(M("a", "[あ-ん]"));
  EXPECT_TRUE(M("\t", "[\\t]"));
  EXPECT_FALSE(M(" ", "[\\t]"));
  for (char c : {'\n', '\v', '\f', '\r'}) EXPECT_TRUE(MatchFileName(std::string(1, c), "[\\n]")) << int(c);
  EXPECT_FALSE(MatchFileName("\t", "[\\n]"));
  EXPECT_TRUE(M("ソ", "[ソ]"));  // its second byte is "\"
  EXPECT_FALSE(M("\\", "[ソ]"));
  EXPECT_TRUE(M("-", "[-a]"));
  EXPECT_TRUE(M("^", "[\\-z]"));  // a range from "\"
  EXPECT_TRUE(M("!", "[a!]"));    // "!" is special only right after "["
  EXPECT_TRUE(M("]", "[a-]]"));   // "]" only as the end of a range
  EXPECT_TRUE(M("b", "[ab"));     // unclosed: ends with the pattern
  EXPECT_FALSE(M("a", "[]"));
  EXPECT_TRUE(M("a", "[!]"));
}

TEST(WildcardClass, OpenEndsNeverReadPastThePattern) {
  EXPECT_TRUE(M("a", "[a-"));
  EXPECT_TRUE(M("-", "[a-"));
  EXPECT_FALSE(M("b", "[a-"));
  EXPECT_TRUE(M("x\\", "x\\"));  // a trailing "\" is a literal, in the name too
  EXPECT_FALSE(M("x", "x\\"));
  EXPECT_EQ(ErrorOf("a", "[\\"), WildcardError::Kind::BackslashInClass);
  EXPECT_EQ(ErrorOf("a", "[\\x]"), WildcardError::Kind::BackslashInClass);
  EXPECT_EQ(ErrorOf("a", "[\\ソ]"), WildcardError::Kind::BackslashInClass);
  EXPECT_TRUE(MatchFileName("\x82", "\x82"));  // a lone lead byte at the end
  EXPECT_TRUE(MatchFileName("\x82", "?"));
  EXPECT_FALSE(MatchFileName("\x82", "??"));
  const std::string nul("a\0b", 3);
  EXPECT_TRUE(MatchFileName(nul, nul));
  EXPECT_FALSE(MatchFileName("a", nul));
}

TEST(WildcardRepeat, TakesGreedilyAndGivesNothingBack) {
  EXPECT_TRUE(M("12x", "[*0-9]x"));
  EXPECT_TRUE(M("x", "[*0-9]x"));
  EXPECT_FALSE(M("1ax", "[*0-9]x"));
  EXPECT_FALSE(M("x", "[+0-9]x"));
  EXPECT_TRUE(M("7x", "[+0-9]x"));
  EXPECT_FALSE(M("abab", "[*a-z]b"));  // stops at the first "b", a member itself
  EXPECT_TRUE(M("aab", "[*a-z]b"));
  EXPECT_TRUE(M("abc", "[*a-z]"));
  EXPECT_TRUE(M("", "[*a-z]"));
  EXPECT_TRUE(M("abc", "[!*0-9]"));
  EXPECT_TRUE(M("12x", "[*0-9](x)"));  // one marker between class and literal
  EXPECT_EQ(ErrorOf("ab", "[*a-z]?"), WildcardError::Kind::WildcardAfterRepeat);
  EXPECT_EQ(ErrorOf("ab", "[+a-z](*"), WildcardError::Kind::WildcardAfterRepeat);
  EXPECT_EQ(ErrorOf("ab", "[*a-z]()b"), WildcardError::Kind::WildcardAfterRepeat);
  // Raised only when the class is reached.
  EXPECT_FALSE(M("y", "x[*a]?"));
}

TEST(WildcardAlternatives, TrialOrderAndNoTakingBack) {
  EXPECT_TRUE(M("a.jpeg", "a.[=jpg|jpeg]"));
  EXPECT_TRUE(M("a.jpg", "a.[=jpg|jpeg]"));
  EXPECT_FALSE(M("a.png", "a.[=jpg|jpeg]"));
  EXPECT_TRUE(M("歌.mid", "[=着|歌].mid"));

  auto alternatives = [](std::string_view pattern) {
    TWString p;
    p.Compile(pattern);
    auto* k = dynamic_cast<TWKakko*>(p.ItemAt(0));
    EXPECT_NE(k, nullptr);
    return k ? k->Alternatives() : std::vector<std::string>{};
  };
  EXPECT_EQ(alternatives("[=a|bb|ccc]"), (std::vector<std::string>{"a", "ccc", "bb"}));
  EXPECT_EQ(alternatives("[=jpg|jpeg]"), (std::vector<std::string>{"jpg", "jpeg"}));
  EXPECT_EQ(alternatives("[=x|a|b]"), (std::vector<std::string>{"x", "b", "a"}));  // a tie: the first moves
  EXPECT_EQ(alternatives("[=a||b]"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(alternatives("[=|a]"), (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(alternatives("[=a|]"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(alternatives("[!=]"), (std::vector<std::string>{}));
  // A double-byte character whose second byte is "|" or "]" stays whole.
  EXPECT_EQ(alternatives(Cp932("[=ポ|ゾ]")), (std::vector<std::string>{Cp932("ポ"), Cp932("ゾ")}));

  EXPECT_TRUE(M("x", "x[=|y]"));
  EXPECT_FALSE(M("xy", "x[=|y]"));  // the empty alternative comes first
  EXPECT_TRUE(M("ab", "[=a|ab]b"));
  EXPECT_FALSE(M("abc", "[=a|ab]c"));  // "a" was chosen and is kept
  EXPECT_FALSE(M("a", "[=]"));
}

TEST(WildcardSubject, IsCompiledLikeAPattern) {
  EXPECT_FALSE(M("[1]", "\\[1\\]"));  // the name holds one element "[...]"
  EXPECT_TRUE(M("[1]", "*"));
  EXPECT_TRUE(M("[1]", "?"));
  EXPECT_TRUE(M("x[1]", "x[[]"));  // its code is that of "["
  EXPECT_TRUE(M("a*b", "a\\*b"));
  EXPECT_TRUE(M("a\\b", "ab"));  // "\" in the name escapes "b"
  EXPECT_TRUE(M("a\\nb", "a\\nb"));
  EXPECT_TRUE(MatchFileName("a\\nb", "a\r\nb"));
  EXPECT_TRUE(M("表", "表"));  // second byte "\" escapes nothing
  EXPECT_FALSE(M("a\\t", "*t"));  // "\t" in the name is a tab, not "t"
  EXPECT_TRUE(M("a\\t", "*\\t"));
  EXPECT_FALSE(M("a\\n", "*n"));
  EXPECT_TRUE(M("a\\x", "*x"));
  EXPECT_EQ(ErrorOf("[\\x]", "*"), WildcardError::Kind::BackslashInClass);
}

TEST(WildcardCaptures, RecordOnlyThePathTaken) {
  std::string name = "abc.txt";
  std::vector<std::string> caps;
  EXPECT_TRUE(WildcardMatch("(*).txt", name, &caps, true));
  EXPECT_EQ(caps, (std::vector<std::string>{"abc"}));

  EXPECT_EQ(MatchPrefix("(a)(b)", "abc").captures, (std::vector<std::string>{"a", "b"}));
  // A capture that ends where the last one ended is not recorded again.
  EXPECT_EQ(MatchPrefix("(a)()", "ab").captures, (std::vector<std::string>{"a"}));
  // Trials of the "*" leave no trace: the "(" they pass does not move the
  // start of the capture that the path taken records.
  EXPECT_EQ(MatchPrefix("(a*)(b", "axb").captures, (std::vector<std::string>{"ax"}));
  EXPECT_EQ(MatchPrefix("*(a*)x", "qaax").captures, (std::vector<std::string>{"aa"}));
  EXPECT_EQ(MatchPrefix("x(*)", "xyz").captures, (std::vector<std::string>{"yz"}));
  EXPECT_EQ(MatchPrefix("(*(b)*)", "abcb").captures, (std::vector<std::string>{"b", "bcb"}));
}

TEST(WildcardPrefix, LeavesTheUnconsumedText) {
  Prefix p = MatchPrefix("ab", "abcd");
  EXPECT_TRUE(p.result);
  EXPECT_EQ(p.rest, "cd");
  p = MatchPrefix("x", "ab");  // failure leaves the rest after the element tried
  EXPECT_FALSE(p.result);
  EXPECT_EQ(p.rest, "b");
  p = MatchPrefix("abx", "ab");
  EXPECT_FALSE(p.result);
  EXPECT_EQ(p.rest, "");
  p = MatchPrefix("a", "a\\*[1]\\n");  // the rest is rebuilt from its elements
  EXPECT_EQ(p.rest, "*[...]\r\n");
  p = MatchPrefix("*", "abc");
  EXPECT_EQ(p.rest, "");
}

TEST(WildcardString, ElementsCursorAndTexts) {
  TWString s;
  s.Compile(Cp932("a\\n[x]*?#()あ"));
  ASSERT_EQ(s.Count(), 10);
  const std::vector<TWSeq::Kind> kinds{TWSeq::Kind::Char,     TWSeq::Kind::Char,     TWSeq::Kind::Char,
                                       TWSeq::Kind::Kakko,    TWSeq::Kind::Asterisk, TWSeq::Kind::Question,
                                       TWSeq::Kind::Number,   TWSeq::Kind::PickupFrom, TWSeq::Kind::PickupTo,
                                       TWSeq::Kind::Char};
  std::string joined;
  for (int i = 0; i < s.Count(); ++i) {
    ASSERT_NE(s.ItemAt(i), nullptr);
    EXPECT_EQ(s.ItemAt(i)->kind(), kinds[static_cast<std::size_t>(i)]) << i;
    EXPECT_EQ(s.ItemAt(i)->Sequence, &s);
    joined += s.ItemAt(i)->GetText();
  }
  EXPECT_EQ(joined, "a\r\n[...]*?#()" + Cp932("あ"));
  EXPECT_EQ(s.ItemAt(10), nullptr);
  EXPECT_EQ(s.ItemAt(-1), nullptr);
  auto* ch = dynamic_cast<mirvo::TWChar*>(s.ItemAt(9));
  ASSERT_NE(ch, nullptr);
  EXPECT_EQ(ch->Code, 0x82);
  EXPECT_EQ(ch->Trail, 0xA0);

  EXPECT_EQ(s.TextOf(2, 2), "\r\n");
  EXPECT_EQ(s.TextOf(4, 100), "[...]*?#()" + Cp932("あ"));
  EXPECT_EQ(s.TextOf(0, 3), "");
  EXPECT_EQ(s.TextOf(11, 1), "");
  EXPECT_EQ(s.TextOf(1, 0), "");

  s.Cursor = 9;
  EXPECT_NE(s.Next(), nullptr);
  EXPECT_EQ(s.Next(), nullptr);
  EXPECT_EQ(s.Next(), nullptr);
  EXPECT_EQ(s.Cursor, 12);  // grows past the end
  s.Reset();
  s.Back();
  EXPECT_EQ(s.Cursor, 0);

  s.Compile("xy");
  EXPECT_EQ(s.Count(), 2);
  EXPECT_EQ(s.Cursor, 0);
  EXPECT_EQ(s.TextOf(1, 2), "xy");
}

TEST(WildcardString, ElementsMatchOneByOne) {
  TWString p, s;
  p.Compile("a*c");
  s.Compile("abbc");
  EXPECT_TRUE(p.Match(s));
  EXPECT_EQ(s.Cursor, 4);

  // The "*" alone: the pattern's Cursor on the element after it.
  p.Compile("*c");
  s.Compile("xxcz");
  p.Cursor = 1;
  s.Cursor = 0;
  EXPECT_TRUE(p.ItemAt(0)->Match(s));
  EXPECT_EQ(s.Cursor, 2);  // stands before "c"; the caller matches it
  EXPECT_EQ(p.Cursor, 1);
  EXPECT_TRUE(p.MatchRest(s));
  EXPECT_EQ(s.Cursor, 3);
}

TEST(WildcardCharacters, CountCodeAndTokens) {
  EXPECT_EQ(mirvo::CharCount(Cp932("aあ") + "\x83"), 3u);
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

TEST(WildcardErrors, CarryTheExactTexts) {
  try {
    MatchFileName("a", "[\\q]");
    FAIL();
  } catch (const WildcardError& e) {
    EXPECT_STREQ(e.what(), "ワイルドカードの[ ]中で\\記号を使うときは、\\t,\\nしか許されていません。");
    EXPECT_EQ(e.Cp932Message(), Cp932(e.what()));
  }
  try {
    MatchFileName("a", "[*a]*");
    FAIL();
  } catch (const WildcardError& e) {
    EXPECT_STREQ(e.what(), "ワイルドカード[*...]に続けてワイルドカードを書くことは出来ません。");
  }
}

TEST(WildcardReuse, EachCallStandsOnItsOwn) {
  EXPECT_TRUE(M("ab", "a*"));
  EXPECT_FALSE(M("ba", "a*"));
  EXPECT_THROW(M("a", "[\\q]"), WildcardError);
  EXPECT_THROW(M("a", "[\\q]"), WildcardError);  // a bad pattern is not kept
  EXPECT_TRUE(M("ba", "b*"));
  std::string subject = "axb";
  std::vector<std::string> caps{"old"};
  EXPECT_TRUE(WildcardMatch("(a*)(b", subject, &caps, true));
  EXPECT_EQ(caps, (std::vector<std::string>{"ax"}));
  subject = "ayyb";
  EXPECT_TRUE(WildcardMatch("(a*)(b", subject, &caps, true));
  EXPECT_EQ(caps, (std::vector<std::string>{"ayy"}));
}

// Finishing at all is the test here: the plain algorithm would need about
// 250^16 trials, the remembered one a few hundred thousand.
TEST(WildcardCost, ManyStarsStayPolynomial) {
  const std::string name(250, 'a');
  std::string pattern;
  for (int i = 0; i < 16; ++i) pattern += "*a";
  EXPECT_FALSE(MatchFileName(name, pattern + "*b"));
  EXPECT_TRUE(MatchFileName(name, pattern + "*"));

  // The same through the trials of the "*" (a capture list asks for them),
  // and with a class that the left-to-right plan does not cover.
  std::string subject = name;
  std::vector<std::string> caps;
  EXPECT_FALSE(WildcardMatch(pattern + "*b", subject, &caps, true));
  EXPECT_FALSE(MatchFileName(name, pattern + "[*a]b"));

  // Trials nest as deep as the "*" do: no recursion, so no stack to run out of.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "*a";
  EXPECT_FALSE(MatchFileName(std::string(10, 'a'), deep));
  EXPECT_TRUE(MatchFileName("", std::string(100000, '*')));
}
