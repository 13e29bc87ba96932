#include "pattern/wildcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pattern/compiled_pattern.h"
#include "text/cp932.h"

using mirvo::BracketElement;
using mirvo::CompiledPattern;
using mirvo::MatchFileName;
using mirvo::WildcardError;
using mirvo::WildcardErrorKind;
using mirvo::WildcardMatch;
using mirvo::text::Cp932;

namespace {

// Texts are written in UTF-8 and matched as code page 932 bytes.
bool Matches(std::string_view name, std::string_view pattern) {
  return MatchFileName(Cp932(name), Cp932(pattern));
}

WildcardErrorKind ErrorOf(std::string_view name, std::string_view pattern) {
  try {
    MatchFileName(Cp932(name), Cp932(pattern));
  } catch (const WildcardError& e) {
    return e.Kind();
  }
  ADD_FAILURE() << "no error for " << pattern;
  return WildcardErrorKind::BackslashInClass;
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
  EXPECT_TRUE(Matches("", "*"));
  EXPECT_TRUE(Matches("何でも.txt", "*"));
  EXPECT_TRUE(Matches("abc", "abc*"));
  EXPECT_TRUE(Matches("abcd", "abc*"));
  EXPECT_FALSE(Matches("aba", "*a"));  // the split before the first "a" wins
  EXPECT_TRUE(Matches("ba", "*a"));
  EXPECT_TRUE(Matches("a.b.txt", "*.txt"));
  EXPECT_FALSE(Matches("a.txt.txt", "*.txt"));
  for (const char* name : {"abc", "xabc", "abcx", "xxabcabc", "着abc歌"}) EXPECT_TRUE(Matches(name, "*abc*")) << name;
  EXPECT_FALSE(Matches("abxc", "*abc*"));
  EXPECT_TRUE(Matches("xaybzc", "*a*b*c*"));
  EXPECT_FALSE(Matches("xaybz", "*a*b*c*"));
}

TEST(WildcardSingle, QuestionAndNumberTakeExactlyOneCharacter) {
  EXPECT_FALSE(Matches("", "?"));
  EXPECT_FALSE(Matches("a", "a?"));
  EXPECT_FALSE(Matches("a", "??"));
  EXPECT_TRUE(Matches("あ", "?"));  // a double-byte character is one
  EXPECT_FALSE(Matches("あ", "??"));
  // "?" past the end stays a failure even when a "*" follows.
  EXPECT_FALSE(Matches("", "?*"));
  EXPECT_FALSE(Matches("a", "a?*"));
  EXPECT_TRUE(Matches("ab", "a?*"));
  EXPECT_TRUE(Matches("5", "#"));
  EXPECT_FALSE(Matches("５", "#"));
  EXPECT_FALSE(Matches("a", "#"));
  EXPECT_FALSE(Matches("", "#"));
  EXPECT_TRUE(Matches("v12", "v##"));
}

TEST(WildcardClass, RangesNegationAndDoubleByteMembers) {
  EXPECT_TRUE(Matches("b", "[a-c]"));
  EXPECT_TRUE(Matches("b", "[c-a]"));
  EXPECT_TRUE(Matches("d", "[!a-c]"));
  EXPECT_FALSE(Matches("b", "[!a-c]"));
  EXPECT_FALSE(Matches("", "[!a-c]"));
  EXPECT_TRUE(Matches("か", "[あ-ん]"));
  EXPECT_FALSE(Matches("ア", "[あ-ん]"));
  EXPECT_FALSE(Matches("a", "[あ-ん]"));
  EXPECT_TRUE(Matches("\t", "[\\t]"));
  EXPECT_FALSE(Matches(" ", "[\\t]"));
  for (char c : {'\n', '\v', '\f', '\r'}) EXPECT_TRUE(MatchFileName(std::string(1, c), "[\\n]")) << int(c);
  EXPECT_FALSE(MatchFileName("\t", "[\\n]"));
  EXPECT_TRUE(Matches("ソ", "[ソ]"));  // its second byte is "\"
  EXPECT_FALSE(Matches("\\", "[ソ]"));
  EXPECT_TRUE(Matches("-", "[-a]"));
  EXPECT_TRUE(Matches("^", "[\\-z]"));  // a range from "\"
  EXPECT_TRUE(Matches("!", "[a!]"));    // "!" is special only right after "["
  EXPECT_TRUE(Matches("]", "[a-]]"));   // "]" only as the end of a range
  EXPECT_TRUE(Matches("b", "[ab"));     // unclosed: ends with the pattern
  EXPECT_FALSE(Matches("a", "[]"));
  EXPECT_TRUE(Matches("a", "[!]"));
}

TEST(WildcardClass, OpenEndsNeverReadPastThePattern) {
  EXPECT_TRUE(Matches("a", "[a-"));
  EXPECT_TRUE(Matches("-", "[a-"));
  EXPECT_FALSE(Matches("b", "[a-"));
  EXPECT_TRUE(Matches("x\\", "x\\"));  // a trailing "\" is a literal, in the name too
  EXPECT_FALSE(Matches("x", "x\\"));
  EXPECT_EQ(ErrorOf("a", "[\\"), WildcardErrorKind::BackslashInClass);
  EXPECT_EQ(ErrorOf("a", "[\\x]"), WildcardErrorKind::BackslashInClass);
  EXPECT_EQ(ErrorOf("a", "[\\ソ]"), WildcardErrorKind::BackslashInClass);
  EXPECT_TRUE(MatchFileName("\x82", "\x82"));  // a lone lead byte at the end
  EXPECT_TRUE(MatchFileName("\x82", "?"));
  EXPECT_FALSE(MatchFileName("\x82", "??"));
  const std::string nul("a\0b", 3);
  EXPECT_TRUE(MatchFileName(nul, nul));
  EXPECT_FALSE(MatchFileName("a", nul));
}

TEST(WildcardRepeat, TakesGreedilyAndGivesNothingBack) {
  EXPECT_TRUE(Matches("12x", "[*0-9]x"));
  EXPECT_TRUE(Matches("x", "[*0-9]x"));
  EXPECT_FALSE(Matches("1ax", "[*0-9]x"));
  EXPECT_FALSE(Matches("x", "[+0-9]x"));
  EXPECT_TRUE(Matches("7x", "[+0-9]x"));
  EXPECT_FALSE(Matches("abab", "[*a-z]b"));  // stops at the first "b", a member itself
  EXPECT_TRUE(Matches("aab", "[*a-z]b"));
  EXPECT_TRUE(Matches("abc", "[*a-z]"));
  EXPECT_TRUE(Matches("", "[*a-z]"));
  EXPECT_TRUE(Matches("abc", "[!*0-9]"));
  EXPECT_TRUE(Matches("12x", "[*0-9](x)"));  // one marker between class and literal
  EXPECT_EQ(ErrorOf("ab", "[*a-z]?"), WildcardErrorKind::WildcardAfterRepeat);
  EXPECT_EQ(ErrorOf("ab", "[+a-z](*"), WildcardErrorKind::WildcardAfterRepeat);
  EXPECT_EQ(ErrorOf("ab", "[*a-z]()b"), WildcardErrorKind::WildcardAfterRepeat);
  // Raised only when the class is reached.
  EXPECT_FALSE(Matches("y", "x[*a]?"));
}

TEST(WildcardAlternatives, TrialOrderAndNoTakingBack) {
  EXPECT_TRUE(Matches("a.jpeg", "a.[=jpg|jpeg]"));
  EXPECT_TRUE(Matches("a.jpg", "a.[=jpg|jpeg]"));
  EXPECT_FALSE(Matches("a.png", "a.[=jpg|jpeg]"));
  EXPECT_TRUE(Matches("歌.mid", "[=着|歌].mid"));

  auto alternatives = [](std::string_view pattern) {
    CompiledPattern compiled;
    compiled.Compile(pattern);
    auto* bracket = dynamic_cast<BracketElement*>(compiled.ElementAt(0));
    EXPECT_NE(bracket, nullptr);
    return bracket ? bracket->Alternatives() : std::vector<std::string>{};
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

  EXPECT_TRUE(Matches("x", "x[=|y]"));
  EXPECT_FALSE(Matches("xy", "x[=|y]"));  // the empty alternative comes first
  EXPECT_TRUE(Matches("ab", "[=a|ab]b"));
  EXPECT_FALSE(Matches("abc", "[=a|ab]c"));  // "a" was chosen and is kept
  EXPECT_FALSE(Matches("a", "[=]"));
}

TEST(WildcardSubject, IsCompiledLikeAPattern) {
  EXPECT_FALSE(Matches("[1]", "\\[1\\]"));  // the name holds one element "[...]"
  EXPECT_TRUE(Matches("[1]", "*"));
  EXPECT_TRUE(Matches("[1]", "?"));
  EXPECT_TRUE(Matches("x[1]", "x[[]"));  // its code is that of "["
  EXPECT_TRUE(Matches("a*b", "a\\*b"));
  EXPECT_TRUE(Matches("a\\b", "ab"));  // "\" in the name escapes "b"
  EXPECT_TRUE(Matches("a\\nb", "a\\nb"));
  EXPECT_TRUE(MatchFileName("a\\nb", "a\r\nb"));
  EXPECT_TRUE(Matches("表", "表"));  // second byte "\" escapes nothing
  EXPECT_FALSE(Matches("a\\t", "*t"));  // "\t" in the name is a tab, not "t"
  EXPECT_TRUE(Matches("a\\t", "*\\t"));
  EXPECT_FALSE(Matches("a\\n", "*n"));
  EXPECT_TRUE(Matches("a\\x", "*x"));
  EXPECT_EQ(ErrorOf("[\\x]", "*"), WildcardErrorKind::BackslashInClass);
}

TEST(WildcardCaptures, RecordOnlyThePathTaken) {
  std::string name = "abc.txt";
  std::vector<std::string> captures;
  EXPECT_TRUE(WildcardMatch("(*).txt", name, &captures, true));
  EXPECT_EQ(captures, (std::vector<std::string>{"abc"}));

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
  EXPECT_TRUE(Matches("ab", "a*"));
  EXPECT_FALSE(Matches("ba", "a*"));
  EXPECT_THROW(Matches("a", "[\\q]"), WildcardError);
  EXPECT_THROW(Matches("a", "[\\q]"), WildcardError);  // a bad pattern is not kept
  EXPECT_TRUE(Matches("ba", "b*"));
  std::string subject = "axb";
  std::vector<std::string> captures{"old"};
  EXPECT_TRUE(WildcardMatch("(a*)(b", subject, &captures, true));
  EXPECT_EQ(captures, (std::vector<std::string>{"ax"}));
  subject = "ayyb";
  EXPECT_TRUE(WildcardMatch("(a*)(b", subject, &captures, true));
  EXPECT_EQ(captures, (std::vector<std::string>{"ayy"}));
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
  std::vector<std::string> captures;
  EXPECT_FALSE(WildcardMatch(pattern + "*b", subject, &captures, true));
  EXPECT_FALSE(MatchFileName(name, pattern + "[*a]b"));

  // Trials nest as deep as the "*" do: no recursion, so no stack to run out of.
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "*a";
  EXPECT_FALSE(MatchFileName(std::string(10, 'a'), deep));
  EXPECT_TRUE(MatchFileName("", std::string(100000, '*')));
}
