// Inside the wildcard engine: element keys, the two views through which
// the matcher reads a subject, and the matcher's own records. For the
// engine's sources only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/compiled_pattern.h"
#include "text/cp932.h"

namespace mirvo::wildcard_detail {

// Bytes that need more than "one byte, one literal element".
inline constexpr bool NeedsDecoding(unsigned char b) {
  return text::IsLeadByte(b) || b == '#' || b == '(' || b == ')' || b == '*' || b == '?' ||
         b == '[' || b == '\\';
}

struct ByteSet {
  bool contains[256] = {};
};

template <class Predicate>
constexpr ByteSet MakeByteSet(Predicate predicate) {
  ByteSet set;
  for (int b = 0; b < 256; ++b) set.contains[b] = predicate(static_cast<unsigned char>(b));
  return set;
}

inline constexpr ByteSet kNeedsDecoding = MakeByteSet(NeedsDecoding);

// Bytes that are an element by themselves, their text being the byte.
inline constexpr ByteSet kOneByteElements = MakeByteSet([](unsigned char b) {
  return !NeedsDecoding(b) || b == '#' || b == '(' || b == ')' || b == '*' || b == '?';
});

// Keys that RawView::SeekByte can find: plain ASCII, and no escape gives
// them otherwise ("\t" is a tab, "\n" carriage return and line feed).
inline constexpr bool CanSeekByByte(std::uint32_t key) {
  return key < 0x80 && kOneByteElements.contains[key] && key != 9 && key != 10 && key != 13;
}

// Reads the character at pos and returns its code.
inline std::uint32_t ReadChar(std::string_view text, std::size_t& pos) {
  const auto b = static_cast<unsigned char>(text[pos]);
  if (text::CharLength(text, pos) == 2) {
    const auto t = static_cast<unsigned char>(text[pos + 1]);
    pos += 2;
    return static_cast<std::uint32_t>(b) << 8 | t;
  }
  ++pos;
  return b;
}

inline constexpr std::uint32_t KeyCode(std::uint32_t key) { return key & 0xFFFF; }

// Writes the text of key into buf (5 bytes at most) and returns its length.
inline std::size_t KeyText(std::uint32_t key, char* buf) {
  if (key == CompiledPattern::kBracketKey) {
    std::copy_n("[...]", 5, buf);
    return 5;
  }
  if (key > 0xFF) {
    buf[0] = static_cast<char>(key >> 8);
    buf[1] = static_cast<char>(key & 0xFF);
    return 2;
  }
  buf[0] = static_cast<char>(key);
  return 1;
}

inline void AppendKeyText(std::string& out, std::uint32_t key) {
  char buf[5];
  out.append(buf, KeyText(key, buf));
}

// The matcher sees a subject through one of two views. Positions are
// ordered; End() is the position after the last element, and every step
// past it adds one.

// A compiled subject: positions are element indexes.
class ElementView {
 public:
  static constexpr bool kCaptures = true;
  explicit ElementView(CompiledPattern& subject) : subject_(subject) {}
  CompiledPattern& Subject() { return subject_; }
  int& Cursor() { return subject_.cursor_; }
  int End() const { return subject_.Count(); }
  std::uint32_t Take(int& pos) const { return subject_.KeyAt(pos++); }
  int After(int pos) const { return pos + 1; }
  int Advance(int pos, int count) const { return pos + count; }
  // The first position from pos on whose key is key, End() + 1 if none.
  // fail_end: the position after the last element passed over.
  int Seek(int pos, std::uint32_t key, int& fail_end) const {
    int q = pos;
    while (q < End() && subject_.KeyAt(q) != key) ++q;
    if (q >= End()) q = End() + 1;
    if (q != pos) fail_end = q;
    return q;
  }
  int SeekByte(int pos, std::uint32_t key) const {
    int ignored = 0;
    return Seek(pos, key, ignored);
  }

 private:
  CompiledPattern& subject_;
};

// The bytes of a subject that holds no class, decoded as the compiler would
// while the matcher goes: no array of elements to build for each name. Position
// 2 * offset is the element starting at that byte; "\n" makes two
// elements, carriage return at 2 * offset and line feed at 2 * offset + 1.
class RawView {
 public:
  static constexpr bool kCaptures = false;
  explicit RawView(std::string_view text) : text_(text), end_(2 * static_cast<int>(text.size())) {}

  // The nearest offset from c back to known (an element start) where an
  // element surely starts: after a byte below 0x40, which is never a lead
  // byte, a second byte or a "\", or after a single-byte element that
  // follows another byte below 0x80 other than "\".
  static std::size_t BoundaryBefore(std::string_view t, std::size_t c, std::size_t known) {
    auto single = [&](std::size_t i) {
      const auto b = static_cast<unsigned char>(t[i]);
      return b < 0x80 && b != '\\';
    };
    std::size_t off = c;
    while (off > known) {
      if (static_cast<unsigned char>(t[off - 1]) < 0x40) break;
      if (off >= 2 && single(off - 1) && single(off - 2)) break;
      --off;
    }
    return off;
  }
  std::size_t BoundaryBefore(std::size_t c, std::size_t known) const { return BoundaryBefore(text_, c, known); }

  // The first "[" from `from` on, or n.
  static std::size_t FindBracket(const char* d, std::size_t from, std::size_t n) {
    if (from >= n) return n;  // an empty view may have no data at all
    const void* hit = std::memchr(d + from, '[', n - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - d) : n;
  }

  // True when no element of t is a class: the view cannot decode classes.
  // A "[" byte is mostly the second byte of a character such as "ー"; it
  // opens a class only where an element starts (see SeekByte).
  static bool Fits(std::string_view t) {
    const std::size_t c = FindBracket(t.data(), 0, t.size());
    return c == t.size() ? t.size() < (1u << 29) : FitsFrom(t, c);
  }

  // Fits, a "[" byte having been found at c.
  [[gnu::noinline]] static bool FitsFrom(std::string_view t, std::size_t c) {
    if (t.size() >= (1u << 29)) return false;
    const char* d = t.data();
    const std::size_t n = t.size();
    for (std::size_t known = 0; c < n; c = FindBracket(d, known, n)) {
      std::size_t off = BoundaryBefore(t, c, known);
      while (off < c) off += d[off] == '\\' ? 1 + text::CharLength(t, off + 1) : text::CharLength(t, off);
      if (off == c) return false;
      known = off;
    }
    return true;
  }

  int& Cursor() { return cursor_; }
  int End() const { return end_; }

  std::uint32_t Take(int& pos) const {
    if (pos >= end_) {
      ++pos;
      return CompiledPattern::kNoKey;
    }
    if (pos & 1) {  // the line feed of "\n"
      pos += 3;
      return 10;
    }
    const auto off = static_cast<std::size_t>(pos >> 1);
    const auto b = static_cast<unsigned char>(text_[off]);
    if (b != '\\') {  // one or two bytes, chosen without a jump
      const bool more = off + 1 < text_.size();
      const auto next = static_cast<unsigned char>(text_[more ? off + 1 : off]);
      const bool pair = more && text::IsLeadByte(b);
      pos += pair ? 4 : 2;
      return pair ? static_cast<std::uint32_t>(b) << 8 | next : b;
    }
    if (off + 1 == text_.size()) {
      pos += 2;
      return '\\';
    }
    const char x = text_[off + 1];
    if (x == 'n') {
      pos += 1;
      return 13;
    }
    pos += 2 + 2 * static_cast<int>(text::CharLength(text_, off + 1));
    return x == 't' ? 9 : DoubleOrSingle(off + 1);
  }
  int After(int pos) const {
    Take(pos);
    return pos;
  }
  int Advance(int pos, int count) const {
    for (; count > 0; --count) Take(pos);
    return pos;
  }
  int Seek(int pos, std::uint32_t key, int& fail_end) const {
    const int q = CanSeekByByte(key) ? SeekByte(pos, key) : SeekAny(pos, key);
    if (q != pos) fail_end = q;
    return q;
  }
  // Seek of a plain ASCII key that no escape turns into another key (not
  // tab, line feed or carriage return). memchr finds the byte; it counts
  // when an element starts there or a "\" escapes it. No byte below 0x40
  // is a lead byte, a second byte or a "\", so an element starts right after
  // one: the check walks elements only from the last such byte on.
  int SeekByte(int q, std::uint32_t key) const {
    if (q >= end_) return end_ + 1;
    if (q & 1) q += 3;  // past the line feed of "\n", which is not the key
    const char* d = text_.data();
    const std::size_t n = text_.size();
    auto known = static_cast<std::size_t>(q >> 1);  // an element starts here
    while (known < n) {
      const void* hit = std::memchr(d + known, static_cast<int>(key), n - known);
      if (!hit) break;
      const auto c = static_cast<std::size_t>(static_cast<const char*>(hit) - d);
      std::size_t off = BoundaryBefore(c, known);
      while (off < c) {
        if (d[off] == '\\') {
          // "\" escapes the key, except that "\n" and "\t" give other keys.
          if (off + 1 == c && key != 'n' && key != 't') return 2 * static_cast<int>(off);
          off += 1 + text::CharLength(text_, off + 1);
        } else {
          off += text::CharLength(text_, off);
        }
      }
      if (off == c) return 2 * static_cast<int>(c);
      known = off;  // the byte was part of a character
    }
    return end_ + 1;
  }

 private:
  int SeekAny(int q, std::uint32_t key) const {
    while (q < end_) {
      int next = q;
      if (Take(next) == key) return q;
      q = next;
    }
    return end_ + 1;
  }

  std::uint32_t DoubleOrSingle(std::size_t off) const {
    const auto b = static_cast<unsigned char>(text_[off]);
    if (text::CharLength(text_, off) == 2) {
      return static_cast<std::uint32_t>(b) << 8 | static_cast<unsigned char>(text_[off + 1]);
    }
    return b;
  }

  std::string_view text_;
  int end_;
  int cursor_ = 0;
};

template <class View>
bool MatchChar(View& s, std::uint32_t key) {
  return s.Take(s.Cursor()) == key;
}

template <class View>
void MatchAnyChar(View& s) {
  s.Cursor() = s.After(s.Cursor());
}

template <class View>
bool MatchDigit(View& s) {
  const std::uint32_t key = s.Take(s.Cursor());
  return key >= '0' && key <= '9';
}

}  // namespace mirvo::wildcard_detail

namespace mirvo {

// One "*" trying its split points. Trials must not change the capture
// state, so it is saved here and restored when the "*" is decided.
struct CompiledPattern::StarTrial {
  int row;      // memo row, -1 for none
  int rest;     // pattern position after the "*"
  int first;    // first split point
  int current;  // split point on trial
  int last_fail_end;
  int saved_capture_start, saved_capture_end;
  bool saved_recording;
};

// Outcome of MatchRest from (rest, split): ok with the subject's cursor at
// the end, or failure with the subject's cursor where the failure left it.
struct CompiledPattern::TrialMemo {
  std::uint32_t stamp = 0;
  int split = -1;  // split point taken, -1: no split point works
  int end = 0;     // ok: subject cursor after the rest; failed: where it stopped
};

struct CompiledPattern::StarOutcome {
  bool ok = false;
  bool end_known = false;
  int rest = 0;
  int split = 0;  // split point (ok)
  int end = 0;    // ok and end_known: end of the rest; failure: subject cursor
};

struct CompiledPattern::SegmentPlan {
  struct Atom {
    ElementKind kind;
    std::uint32_t key;
    const BracketElement* bracket;
  };
  struct Run {
    int first, last;  // atoms[first .. last)
    bool by_byte;     // led by a key that SeekByte can find
  };
  bool usable = true;
  std::vector<Atom> atoms;  // the one-element atoms in order
  Run head{0, 0, false};    // before the first "*"
  std::vector<Run> runs;    // after each "*", empty ones left out
  bool starred = false;     // at least one "*"
  // What follows the last "*": a run, nothing or a lone ")" (the "*"
  // takes all), or other capture marks only (it takes nothing).
  enum class Tail { Run, All, None } tail = Tail::Run;
};

}  // namespace mirvo
