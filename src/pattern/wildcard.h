// Wildcard patterns for file names on the handset.
//
// Pattern and subject are code page 932 byte strings. Both go through the
// same compiler, so a "*" or "[...]" in a file name is an element of its own
// and "\" in a name escapes the next character. Matching walks the pattern's
// elements; a "*" takes the first split point at which the rest of the
// pattern matches and never tries another one, so "*a" does not match "aba"
// and "[*a-z]b" does not match "abab".
//
// Choices where the character rules leave the compiler without a next
// character (nothing is ever read past the text):
//  - a "\" at the very end is a literal "\";
//  - a class ending right after "-" ("[a-") has the first character and "-"
//    as members;
//  - a "\" at the very end inside a class raises the "\t,\n" error;
//  - a lead byte at the very end is a single-byte character;
//  - a zero byte is an ordinary character: the whole std::string counts.
// A "*" that has nothing left to match against never moves the subject
// back: "?" past the end stays a failure in whole mode, so "?*" does not
// match an empty name. While a "*" tries split points, nothing of the
// capture state changes (captures, "(" positions): captures come only from
// the path the match finally takes.
//
// Cost: a pattern without [*...], [+...] and [=...] classes comes down to
// runs of one-element atoms between the "*", each placed at its first fit
// from left to right, so its cost is linear in the name per run. Other
// patterns go through the trials of the "*" one by one; once a match has
// run many of them, every ("*", split point) outcome is remembered, which
// keeps the cost polynomial in the number of "*". A pattern can be matched
// against many names without compiling it again (MatchName), and
// MatchFileName keeps the last pattern compiled.
//
// Thread safety: a TWString is used by one thread at a time. WildcardMatch
// and MatchFileName keep their compiled pattern per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirvo {

// The engine's two errors. what() is the message for the user (UTF-8).
class WildcardError : public std::runtime_error {
 public:
  enum class Kind {
    BackslashInClass,     // "\" inside [ ] followed by anything but n, t, -
    WildcardAfterRepeat,  // [*...] or [+...] followed by a non-literal
  };
  explicit WildcardError(Kind kind);
  Kind kind() const { return kind_; }
  // The message as code page 932 bytes.
  const std::string& Cp932Message() const;

 private:
  Kind kind_;
};

// Number of characters; a lead byte at the very end counts as one.
std::size_t CharCount(std::string_view text);
// Code of the first character (lead byte * 256 + second byte for a
// double-byte character), 0 for an empty text.
std::uint32_t CharCode(std::string_view text);
// Copies characters from position into token until a single-byte character
// of stop_set (consumed, not copied) or the end of text. Double-byte
// characters are copied whole and never stop the token.
void ReadToken(std::string_view stop_set, std::string_view text, std::size_t& position,
               std::string& token);

class TWString;

// One compiled element. Match tries the element at the subject's Cursor and
// advances it over what it consumes.
class TWSeq {
 public:
  enum class Kind : std::uint8_t { Char, Question, Asterisk, Number, PickupFrom, PickupTo, Kakko };

  virtual ~TWSeq() = default;
  TWSeq(const TWSeq&) = delete;
  TWSeq& operator=(const TWSeq&) = delete;

  virtual bool Match(TWString& subject) = 0;
  virtual std::string GetText() const = 0;

  Kind kind() const { return kind_; }
  TWString* Sequence;  // the compiled text holding this element (not owned)

 protected:
  TWSeq(TWString* sequence, Kind kind) : Sequence(sequence), kind_(kind) {}

 private:
  Kind kind_;
};

class TWChar final : public TWSeq {
 public:
  // key: the character's code, as CharCode gives it.
  TWChar(TWString* sequence, std::uint32_t key);
  bool Match(TWString& subject) override;
  std::string GetText() const override;
  std::uint8_t Code;   // the byte, or the lead byte
  std::uint8_t Trail;  // second byte, 0 for a single-byte character

 private:
  std::uint32_t key_;
};

class TWQuestion final : public TWSeq {
 public:
  explicit TWQuestion(TWString* sequence) : TWSeq(sequence, Kind::Question) {}
  bool Match(TWString& subject) override;
  std::string GetText() const override { return "?"; }
};

class TWAsterisk final : public TWSeq {
 public:
  explicit TWAsterisk(TWString* sequence) : TWSeq(sequence, Kind::Asterisk) {}
  // The pattern's Cursor must stand on the element after this one.
  bool Match(TWString& subject) override;
  std::string GetText() const override { return "*"; }
};

class TWNumber final : public TWSeq {
 public:
  explicit TWNumber(TWString* sequence) : TWSeq(sequence, Kind::Number) {}
  bool Match(TWString& subject) override;
  std::string GetText() const override { return "#"; }
};

class TWPickupFrom final : public TWSeq {
 public:
  explicit TWPickupFrom(TWString* sequence) : TWSeq(sequence, Kind::PickupFrom) {}
  bool Match(TWString& subject) override;
  std::string GetText() const override { return "("; }
};

class TWPickupTo final : public TWSeq {
 public:
  explicit TWPickupTo(TWString* sequence) : TWSeq(sequence, Kind::PickupTo) {}
  bool Match(TWString& subject) override;
  std::string GetText() const override { return ")"; }
};

// A bracket class. Mode 0: one character of the class; 1 ("[*...]"): zero or
// more; 2 ("[+...]"): one or more; 3 ("[=a|b]"): one of the alternatives.
class TWKakko final : public TWSeq {
 public:
  using Range = std::pair<std::uint32_t, std::uint32_t>;  // low <= high

  // Compiles the class starting at text[position] == '['; position ends
  // after the class. Throws WildcardError (BackslashInClass).
  TWKakko(TWString* sequence, std::string_view text, std::size_t& position);
  bool Match(TWString& subject) override;
  std::string GetText() const override { return "[...]"; }

  const std::vector<Range>& Ranges() const { return ranges_; }
  bool Negate() const { return negate_; }
  int Mode() const { return mode_; }
  // In trial order; mode 3 only.
  const std::vector<std::string>& Alternatives() const { return alternatives_; }

  // Mode 0 membership of a character code, Negate applied.
  bool Accepts(std::uint32_t code) const {
    // Most classes hold single-byte characters only: no jump for them.
    bool member = code < 256 && ((low_[(code >> 6) & 3] >> (code & 63)) & 1);
    if (wide_ && code >= 256) member = InRanges(code);
    return member != negate_;
  }

 private:
  friend class TWString;
  void AddRange(std::uint32_t a, std::uint32_t b);
  bool InRanges(std::uint32_t code) const;
  void CompileAlternatives(std::string_view text, std::size_t& position);
  template <class Subject>
  bool MatchOn(Subject& subject) const;
  template <class Subject>
  bool MatchAlternatives(Subject& subject) const;
  template <class Subject>
  bool MatchRepeat(Subject& subject) const;

  std::vector<Range> ranges_;
  bool negate_ = false;
  int mode_ = 0;
  std::vector<std::string> alternatives_;
  std::vector<int> alternative_lengths_;  // CharCount of each alternative
  std::uint64_t low_[4] = {0, 0, 0, 0};   // membership of codes below 256
  bool wide_ = false;                     // some range reaches 256 or above
};

// A compiled text: the pattern, or a subject. Not copyable or movable: the
// elements point back at it.
class TWString {
 public:
  TWString();
  ~TWString();
  TWString(const TWString&) = delete;
  TWString& operator=(const TWString&) = delete;

  // Throws WildcardError (BackslashInClass).
  void Compile(std::string_view text);
  void Clear();
  void Reset() { Cursor = 0; }
  // nullptr when index is out of range.
  TWSeq* ItemAt(int index);
  int Count() const { return static_cast<int>(keys_.size()); }
  // ItemAt(Cursor); Cursor grows by one in every case.
  TWSeq* Next();
  // Cursor - 1, never below 0.
  void Back();
  // Texts of elements start-1 .. start+count-2 (cut at the last element).
  std::string TextOf(int start, int count) const;
  // Matches this pattern against subject from the start; captures are reset.
  bool Match(TWString& subject);
  // Matches the pattern's elements from Cursor on, the subject from its Cursor.
  bool MatchRest(TWString& subject);
  const std::vector<std::unique_ptr<TWSeq>>& Items();

  // Match of this pattern against subject, true only when the subject is
  // used up: the answer of Compile(subject), Match and that test, mostly
  // without compiling the subject. Captures are not recorded. Throws
  // WildcardError.
  bool MatchName(std::string_view subject);

  int Cursor = 0;
  bool Recording = true;
  std::vector<std::string> Pickups;
  int PickupStart = 0;
  int PickupEnd = -1;

  // Text key of element index: equal keys are equal texts. The key of a
  // character is its code; a class element has kKakkoKey.
  static constexpr std::uint32_t kKakkoKey = 0x1005B;
  static constexpr std::uint32_t kNoKey = 0xFFFFFFFF;
  std::uint32_t KeyAt(int index) const {
    return index >= 0 && index < Count() ? keys_[static_cast<std::size_t>(index)] : kNoKey;
  }
  // 0 <= index < Count().
  TWSeq::Kind KindAt(int index) const { return kinds_[static_cast<std::size_t>(index)]; }

 private:
  friend class TWAsterisk;
  struct Frame;
  struct Memo;
  struct StarOutcome;
  struct Segments;

  void Push(TWSeq::Kind kind, std::uint32_t key) {
    kinds_.push_back(kind);
    keys_.push_back(key);
  }
  void CompileClass(std::string_view text, std::size_t& position);
  void ResetCaptures();
  template <class Subject>
  bool Run(Subject& subject, bool from_star);
  template <class Subject>
  bool EnterStar(Subject& subject, StarOutcome& out);
  template <class Subject>
  bool AdvanceFrame(Subject& subject, StarOutcome& out);
  template <class Subject>
  bool MatchSegments(Subject& subject);
  template <class Subject>
  bool AtomsMatch(Subject& subject, int first, int last, int& pos) const;
  void PlanSegments();
  bool MatchNameGenerally(std::string_view subject);
  void FinishFrame(bool ok, int j, int end, int stop, StarOutcome& out);
  // subject: the compiled subject the memo belongs to, nullptr for a fresh one.
  void PrepareMemo(int width, const TWString* subject);
  void SwitchMemoOn();

  std::vector<std::uint32_t> keys_;
  std::vector<TWSeq::Kind> kinds_;
  std::vector<std::unique_ptr<TWSeq>> items_;  // built on first use
  std::uint64_t version_;                      // changes with every Compile

  // Matching state of a pattern, kept between calls to save allocations.
  std::vector<int> rest_row_;  // memo row of a pattern position after a "*"
  bool rows_built_ = false;
  int memo_rows_ = 0;
  std::vector<Memo> memo_;
  std::uint32_t stamp_ = 0;
  int memo_width_ = 0;
  bool memo_on_ = false;  // switched on once a match runs many trials
  long work_ = 0;  // trials and split points passed over
  const TWString* memo_subject_ = nullptr;
  std::uint64_t memo_version_ = 0;
  std::vector<Frame> frames_;
  std::unique_ptr<TWString> scratch_;  // MatchName's compiled subject
  std::unique_ptr<Segments> segments_;  // MatchName's plan, built on first use
};

// Matches subject against pattern. whole: the subject must be used up.
// Otherwise (prefix mode) subject becomes the part the match did not consume.
// captures, when given, receives the captured texts. Throws WildcardError.
bool WildcardMatch(std::string_view pattern, std::string& subject,
                   std::vector<std::string>* captures, bool whole);

// Whole-name match, no captures. Throws WildcardError.
bool MatchFileName(std::string_view name, std::string_view pattern);

}  // namespace mirvo
