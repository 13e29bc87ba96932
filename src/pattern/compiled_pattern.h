// CompiledPattern: a wildcard pattern, or a file name, compiled into the
// sequence of elements the matcher walks: one element per character,
// wildcard, capture mark or bracket class. Matching a pattern against a
// name walks the pattern's elements, each consuming elements of the
// compiled name from its cursor on.
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
// against many names without compiling it again (MatchName).
//
// Thread safety: a CompiledPattern is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pattern/wildcard.h"

namespace mirvo {

// Code of the first character (lead byte * 256 + second byte for a
// double-byte character), 0 for an empty text.
std::uint32_t CharCode(std::string_view text);
// Copies characters from position into token until a single-byte character
// of stop_set (consumed, not copied) or the end of text. Double-byte
// characters are copied whole and never stop the token.
void ReadToken(std::string_view stop_set, std::string_view text, std::size_t& position,
               std::string& token);

class CompiledPattern;
namespace wildcard_detail {
class ElementView;
}

enum class ElementKind : std::uint8_t { Char, AnyChar, Star, Digit, CaptureOpen, CaptureClose, Bracket };

// One element of a compiled text. Match tries the element at the subject's
// cursor and moves the cursor over what it consumes.
class PatternElement {
 public:
  virtual ~PatternElement() = default;
  PatternElement(const PatternElement&) = delete;
  PatternElement& operator=(const PatternElement&) = delete;

  virtual bool Match(CompiledPattern& subject) = 0;
  // The character, the wildcard's symbol, or "[...]" for a class: what the
  // element stands for when a name is rebuilt from its elements.
  virtual std::string Text() const = 0;

  ElementKind Kind() const { return kind_; }
  // The compiled text that holds this element.
  CompiledPattern& Owner() const { return owner_; }

 protected:
  PatternElement(CompiledPattern& owner, ElementKind kind) : owner_(owner), kind_(kind) {}

 private:
  CompiledPattern& owner_;
  ElementKind kind_;
};

// A literal character, written as itself or escaped.
class CharElement final : public PatternElement {
 public:
  // code: the character's code, as CharCode gives it.
  CharElement(CompiledPattern& owner, std::uint32_t code) : PatternElement(owner, ElementKind::Char), code_(code) {}
  bool Match(CompiledPattern& subject) override;
  std::string Text() const override;
  // The byte, or the lead byte of a double-byte character.
  std::uint8_t FirstByte() const { return static_cast<std::uint8_t>(code_ > 0xFF ? code_ >> 8 : code_); }
  // 0 for a single-byte character.
  std::uint8_t SecondByte() const { return static_cast<std::uint8_t>(code_ > 0xFF ? code_ & 0xFF : 0); }

 private:
  std::uint32_t code_;
};

// An element written as one symbol, which is also its text: "?" takes any
// one character, "*" any run, "#" one digit, "(" and ")" mark a capture.
// A "*" matched on its own wants the pattern's cursor on the element after
// it.
template <ElementKind SymbolKind, char Symbol>
class SymbolElement final : public PatternElement {
 public:
  explicit SymbolElement(CompiledPattern& owner) : PatternElement(owner, SymbolKind) {}
  bool Match(CompiledPattern& subject) override;
  std::string Text() const override { return std::string(1, Symbol); }
};

using AnyCharElement = SymbolElement<ElementKind::AnyChar, '?'>;
using StarElement = SymbolElement<ElementKind::Star, '*'>;
using DigitElement = SymbolElement<ElementKind::Digit, '#'>;
using CaptureOpenElement = SymbolElement<ElementKind::CaptureOpen, '('>;
using CaptureCloseElement = SymbolElement<ElementKind::CaptureClose, ')'>;
extern template class SymbolElement<ElementKind::AnyChar, '?'>;
extern template class SymbolElement<ElementKind::Star, '*'>;
extern template class SymbolElement<ElementKind::Digit, '#'>;
extern template class SymbolElement<ElementKind::CaptureOpen, '('>;
extern template class SymbolElement<ElementKind::CaptureClose, ')'>;

enum class BracketMode : std::uint8_t {
  One,           // "[...]": one character of the class
  ZeroOrMore,    // "[*...]"
  OneOrMore,     // "[+...]"
  Alternatives,  // "[=a|b]": one of the alternative texts
};

// A bracket class: characters and ranges of codes, maybe negated, or a list
// of alternative texts.
class BracketElement final : public PatternElement {
 public:
  using Range = std::pair<std::uint32_t, std::uint32_t>;  // low <= high

  // Compiles the class starting at text[position] == '['; position ends
  // after the class. Throws WildcardError (BackslashInClass).
  BracketElement(CompiledPattern& owner, std::string_view text, std::size_t& position);
  bool Match(CompiledPattern& subject) override;
  std::string Text() const override { return "[...]"; }

  const std::vector<Range>& Ranges() const { return ranges_; }
  bool Negated() const { return negated_; }
  BracketMode Mode() const { return mode_; }
  // In trial order; Alternatives mode only.
  const std::vector<std::string>& Alternatives() const { return alternatives_; }

  // Membership of a character code in the class, negation applied.
  bool Accepts(std::uint32_t code) const {
    // Most classes hold single-byte characters only: no jump for them.
    bool member = code < 256 && ((byte_members_[(code >> 6) & 3] >> (code & 63)) & 1);
    if (has_double_byte_range_ && code >= 256) member = InRanges(code);
    return member != negated_;
  }

 private:
  friend class CompiledPattern;
  void AddRange(std::uint32_t a, std::uint32_t b);
  bool InRanges(std::uint32_t code) const;
  void CompileAlternatives(std::string_view text, std::size_t& position);
  template <class View>
  bool MatchOn(View& subject) const;
  template <class View>
  bool MatchAlternatives(View& subject) const;
  template <class View>
  bool MatchRepeat(View& subject) const;

  std::vector<Range> ranges_;
  bool negated_ = false;
  BracketMode mode_ = BracketMode::One;
  std::vector<std::string> alternatives_;
  std::vector<int> alternative_lengths_;          // character count of each alternative
  std::uint64_t byte_members_[4] = {0, 0, 0, 0};  // membership of codes below 256
  bool has_double_byte_range_ = false;            // some range reaches 256 or above
};

// A compiled text: the pattern, or a subject. Not copyable or movable: the
// elements point back at it.
class CompiledPattern {
 public:
  CompiledPattern();
  ~CompiledPattern();
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  // Throws WildcardError (BackslashInClass).
  void Compile(std::string_view text);
  void Clear();
  void Rewind() { cursor_ = 0; }
  // nullptr when index is out of range.
  PatternElement* ElementAt(int index);
  const std::vector<std::unique_ptr<PatternElement>>& Elements();
  int Count() const { return static_cast<int>(keys_.size()); }
  // Index of the next element to take; may stand past the end.
  int Cursor() const { return cursor_; }
  void SetCursor(int cursor) { cursor_ = cursor; }
  // ElementAt(Cursor()); the cursor grows by one in every case.
  PatternElement* Next();
  // Cursor back by one, never below 0.
  void StepBack();
  // Texts of elements start-1 .. start+count-2 (cut at the last element).
  std::string TextOf(int start, int count) const;

  // Matches this pattern against subject from the start; captures are reset.
  bool Match(CompiledPattern& subject);
  // Matches the pattern's elements from the cursor on, the subject from its
  // cursor.
  bool MatchRest(CompiledPattern& subject);
  // What Match recorded, in the order the ")" were reached.
  const std::vector<std::string>& Captures() const { return captures_; }

  // Match of this pattern against subject, true only when the subject is
  // used up: the answer of Compile(subject), Match and that test, mostly
  // without compiling the subject. Captures are not recorded. Throws
  // WildcardError.
  bool MatchName(std::string_view subject);

  // Text key of element index: equal keys are equal texts. The key of a
  // character is its code; a class element has kBracketKey.
  static constexpr std::uint32_t kBracketKey = 0x1005B;
  static constexpr std::uint32_t kNoKey = 0xFFFFFFFF;
  std::uint32_t KeyAt(int index) const {
    return index >= 0 && index < Count() ? keys_[static_cast<std::size_t>(index)] : kNoKey;
  }
  // 0 <= index < Count().
  ElementKind KindAt(int index) const { return kinds_[static_cast<std::size_t>(index)]; }

 private:
  template <ElementKind, char>
  friend class SymbolElement;
  friend class wildcard_detail::ElementView;
  struct StarTrial;
  struct TrialMemo;
  struct StarOutcome;
  struct SegmentPlan;

  void Append(ElementKind kind, std::uint32_t key) {
    kinds_.push_back(kind);
    keys_.push_back(key);
  }
  void CompileBracket(std::string_view text, std::size_t& position);
  void ResetCaptures();
  void RecordCapture(const CompiledPattern& subject);
  template <class View>
  bool MatchElements(View& subject, bool from_star);
  template <class View>
  bool EnterStar(View& subject, StarOutcome& out);
  template <class View>
  bool AdvanceTrial(View& subject, StarOutcome& out);
  template <class View>
  bool MatchSegments(View& subject);
  template <class View>
  bool AtomsMatch(View& subject, int first, int last, int& position) const;
  void PlanSegments();
  bool MatchNameGenerally(std::string_view subject);
  void FinishTrial(bool ok, int split, int end, int stop, StarOutcome& out);
  // subject: the compiled subject the memo belongs to, nullptr for a fresh one.
  void PrepareMemo(int width, const CompiledPattern* subject);
  void SwitchMemoOn();

  std::vector<std::uint32_t> keys_;
  std::vector<ElementKind> kinds_;
  std::vector<std::unique_ptr<PatternElement>> elements_;  // built on first use
  std::uint64_t version_;                                  // changes with every Compile
  int cursor_ = 0;

  // Captures, kept on the pattern.
  bool recording_ = true;
  std::vector<std::string> captures_;
  int capture_start_ = 0;
  int capture_end_ = -1;

  // Matching state of a pattern, kept between calls to save allocations.
  std::vector<int> rest_row_;  // memo row of a pattern position after a "*"
  bool memo_rows_built_ = false;
  int memo_rows_ = 0;
  std::vector<TrialMemo> memo_;
  std::uint32_t memo_stamp_ = 0;
  int memo_width_ = 0;
  bool memo_on_ = false;  // switched on once a match runs many trials
  long work_done_ = 0;    // trials and split points passed over
  const CompiledPattern* memo_subject_ = nullptr;
  std::uint64_t memo_version_ = 0;
  std::vector<StarTrial> trials_;
  std::unique_ptr<CompiledPattern> compiled_name_;  // MatchName's compiled subject
  std::unique_ptr<SegmentPlan> segment_plan_;       // MatchName's plan, built on first use
};

}  // namespace mirvo
