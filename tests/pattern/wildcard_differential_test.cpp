// The engine against the plain algorithm on generated patterns and names.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pattern/wildcard.h"
#include "reference_wildcard.h"

namespace {

namespace ref = mirvo::reference;

// Single-byte characters, double-byte ones (second byte "\", "]", "|",
// ASCII letter, high byte) and the bytes that mean something.
const std::vector<std::string> kNameChars{
    "a", "b", "1", ".", "-", "n", "t", "|", "]",
    "\x82\xA0",  // あ
    "\x83\x5C",  // ソ, second byte "\"
    "\x83\x5D",  // ゾ, second byte "]"
    "\x83\x7C",  // ポ, second byte "|"
    "\x83\x41",  // ア, second byte "A"
    "\x82\xF1",  // ん
    "*", "?", "#", "(", ")", "\\", "[", "\t",
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Below(100) < percent; }
  const std::string& Pick(const std::vector<std::string>& v) { return v[static_cast<std::size_t>(Below(static_cast<int>(v.size())))]; }

  // A plain character for names: mostly letters, sometimes special.
  std::string NameChar() {
    const int plain = 14;
    return Chance(85) ? kNameChars[static_cast<std::size_t>(Below(plain))] : Pick(kNameChars);
  }

  std::string Name() {
    std::string s;
    for (int i = Below(9); i > 0; --i) s += NameChar();
    return s;
  }

  std::string ClassBody() {
    static const std::vector<std::string> members{
        "a", "b", "1", "-", "!", "a-b", "b-a", "0-9", "\x82\xA0-\x82\xF1", "\x83\x5C", "\x83\x5D",
        "\\n", "\\t", "\\-b", "*", "+", "=", "[", "\x83\x41-a"};
    std::string s;
    for (int i = Below(4); i > 0; --i) s += Pick(members);
    if (Chance(2)) s += "\\x";
    return s;
  }

  std::string Class() {
    std::string s = "[";
    if (Chance(30)) s += "!";
    const int mode = Below(10);
    if (mode < 4) {
      s += ClassBody();
    } else if (mode < 6) {
      s += "*" + ClassBody();
    } else if (mode < 7) {
      s += "+" + ClassBody();
    } else {
      s += "=";
      for (int i = Below(4); i > 0; --i) {
        std::string alt;
        for (int k = Below(3); k > 0; --k) alt += NameChar();
        s += alt;
        if (Chance(80)) s += "|";
      }
    }
    if (Chance(90)) s += "]";
    return s;
  }

  std::string PatternPiece() {
    switch (Below(14)) {
      case 0: case 1: case 2: case 3: return NameChar();
      case 4: return "?";
      case 5: case 6: return "*";
      case 7: return "#";
      case 8: return "(";
      case 9: return ")";
      case 10: case 11: return Class();
      default: {
        static const std::vector<std::string> escapes{"\\*", "\\?", "\\n", "\\t", "\\\\", "\\[",
                                                      "\\\x83\x5C", "\\a", "\\#", "\\("};
        return Pick(escapes);
      }
    }
  }

  std::string Pattern() {
    std::string s;
    for (int i = 1 + Below(6); i > 0; --i) s += PatternPiece();
    if (Chance(3)) s += "\\";
    if (Chance(3)) s += "[a-";
    return s;
  }

  // A name made to fit the pattern more often than chance would.
  std::string NameLike(const std::string& pattern) {
    std::string s;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      const char c = pattern[i];
      if (c == '*') {
        for (int k = Below(3); k > 0; --k) s += NameChar();
      } else if (c == '?' || c == '#') {
        s += Chance(50) ? "5" : NameChar();
      } else if (c == '[' || c == ']' || c == '(' || c == ')' || c == '\\' || c == '=' || c == '|' || c == '!') {
        if (Chance(30)) s += NameChar();
      } else {
        s += c;
      }
    }
    return s;
  }

  std::string RandomBytes() {
    std::string s;
    for (int i = Below(8); i > 0; --i) s += static_cast<char>(Below(256));
    return s;
  }

 private:
  std::mt19937 rng_;
};

struct Engine {
  ref::Error error = ref::Error::None;
  bool result = false;
  std::string rest;
  std::vector<std::string> captures;
};

ref::Error ReferenceError(const mirvo::WildcardError& err) {
  return err.Kind() == mirvo::WildcardErrorKind::BackslashInClass ? ref::Error::BackslashInClass
                                                                  : ref::Error::WildcardAfterRepeat;
}

Engine RunEngine(const std::string& pattern, const std::string& subject, bool whole) {
  Engine e;
  std::string s = subject;
  try {
    e.result = mirvo::WildcardMatch(pattern, s, &e.captures, whole);
    if (!whole) e.rest = s;
  } catch (const mirvo::WildcardError& err) {
    e = Engine{};
    e.error = ReferenceError(err);
  }
  return e;
}

// MatchFileName goes its own way for names without "[".
Engine RunFileName(const std::string& pattern, const std::string& subject) {
  Engine e;
  try {
    e.result = mirvo::MatchFileName(subject, pattern);
  } catch (const mirvo::WildcardError& err) {
    e.error = ReferenceError(err);
  }
  return e;
}

std::string Show(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

TEST(WildcardDifferential, AgreesWithThePlainAlgorithm) {
  Generator gen(20240611);
  const int cases = 60000;
  int compared = 0, matched = 0, backslash = 0, repeat = 0, too_long = 0, mismatches = 0;
  for (int n = 0; n < cases && mismatches < 20; ++n) {
    const std::string pattern = gen.Chance(3) ? gen.RandomBytes() : gen.Pattern();
    for (int k = 0; k < 4; ++k) {
      const std::string subject =
          gen.Chance(3) ? gen.RandomBytes() : (gen.Chance(50) ? gen.NameLike(pattern) : gen.Name());
      for (bool whole : {true, false}) {
        const ref::Outcome want = ref::WildcardMatch(pattern, subject, whole);
        if (want.error == ref::Error::TooLong) {
          ++too_long;
          continue;
        }
        Engine got = RunEngine(pattern, subject, whole);
        if (whole && got.error == want.error && got.result == want.result) {
          const Engine by_name = RunFileName(pattern, subject);
          got.error = by_name.error;
          got.result = by_name.result;
        }
        ++compared;
        backslash += want.error == ref::Error::BackslashInClass;
        repeat += want.error == ref::Error::WildcardAfterRepeat;
        if (want.result) ++matched;
        const bool same = got.error == want.error && got.result == want.result && got.rest == want.rest &&
                          got.captures == want.captures;
        if (!same) {
          ++mismatches;
          ADD_FAILURE() << "pattern [" << Show(pattern) << "] subject [" << Show(subject) << "] whole " << whole
                        << ": result " << got.result << " want " << want.result << ", rest [" << Show(got.rest)
                        << "] want [" << Show(want.rest) << "], captures " << got.captures.size() << " want "
                        << want.captures.size() << ", error " << int(got.error) << " want " << int(want.error);
        }
      }
    }
  }
  // The generator must reach both answers and both errors for this to mean much.
  EXPECT_GT(matched, compared / 10);
  EXPECT_GT(backslash, compared / 500);
  EXPECT_GT(repeat, compared / 500);
  EXPECT_LT(too_long, compared / 100);
  std::printf("compared %d, matched %d, errors %d + %d, skipped as too long %d\n", compared, matched, backslash,
              repeat, too_long);
}

// Longer names and many "*": enough trials that the engine starts to
// remember their outcomes, which short names never reach.
TEST(WildcardDifferential, AgreesWhereTrialsAreRemembered) {
  Generator gen(99);
  // Runs of "*" make a "*" meet its own remembered outcomes on the way the
  // match finally takes.
  const std::vector<std::string> pieces{"*", "**", "***", "a", "b", "c", "?", "(", ")", "[*a]b", "[+b]a",
                                        "[=ab|a|]", "#"};
  int compared = 0, matched = 0, mismatches = 0;
  auto check = [&](const std::string& pattern, const std::string& subject) {
    for (bool whole : {true, false}) {
      const ref::Outcome want = ref::WildcardMatch(pattern, subject, whole, 3000000);
      if (want.error == ref::Error::TooLong) continue;
      const Engine got = RunEngine(pattern, subject, whole);
      ++compared;
      matched += want.result;
      bool same = got.error == want.error && got.result == want.result && got.rest == want.rest &&
                  got.captures == want.captures;
      if (whole && want.error == ref::Error::None) same = same && RunFileName(pattern, subject).result == want.result;
      if (!same) {
        ++mismatches;
        ADD_FAILURE() << "pattern [" << pattern << "] subject [" << subject << "] whole " << whole;
      }
    }
  };
  for (int n = 0; n < 1000 && mismatches < 20; ++n) {
    std::string pattern;
    for (int k = 6 + gen.Below(10); k > 0; --k) pattern += gen.Pick(pieces);
    if (gen.Chance(50)) pattern += gen.Chance(50) ? "*b" : "*c";
    // One pattern, several names: nothing may be kept from one to the next.
    for (int names = 0; names < 3; ++names) {
      std::string subject;
      for (int k = 8 + gen.Below(12); k > 0; --k) subject += gen.Chance(75) ? "a" : (gen.Chance(60) ? "b" : "c");
      check(pattern, subject);
    }
  }
  EXPECT_GT(compared, 2500);
  EXPECT_GT(matched, 50);
}
