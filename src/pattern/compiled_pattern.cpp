// Compiling a text into elements: the character rules, the bracket
// classes, and the element objects built on demand.
#include "pattern/compiled_pattern.h"

#include <algorithm>
#include <atomic>

#include "pattern/wildcard_internal.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using namespace wildcard_detail;

std::atomic<std::uint64_t> g_next_version{1};

}  // namespace

// -------------------------------------------------------- character rules

std::uint32_t CharCode(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t pos = 0;
  return ReadChar(text, pos);
}

void ReadToken(std::string_view stop_set, std::string_view text, std::size_t& position,
               std::string& token) {
  token.clear();
  while (position < text.size()) {
    const std::size_t len = text::CharLength(text, position);
    if (len == 1 && stop_set.find(text[position]) != std::string_view::npos) {
      ++position;
      return;
    }
    token.append(text.substr(position, len));
    position += len;
  }
}

// ---------------------------------------------------------------- elements

std::string CharElement::Text() const {
  std::string text;
  AppendKeyText(text, code_);
  return text;
}

BracketElement::BracketElement(CompiledPattern& owner, std::string_view text, std::size_t& pos)
    : PatternElement(owner, ElementKind::Bracket) {
  const std::size_t n = text.size();
  ++pos;  // '['
  if (pos < n && text[pos] == '!') {
    negated_ = true;
    ++pos;
  }
  if (pos < n) {
    switch (text[pos]) {
      case '*': mode_ = BracketMode::ZeroOrMore; ++pos; break;
      case '+': mode_ = BracketMode::OneOrMore; ++pos; break;
      case '=':
        mode_ = BracketMode::Alternatives;
        ++pos;
        CompileAlternatives(text, pos);
        return;
      default: break;
    }
  }
  while (pos < n && text[pos] != ']') {
    const std::uint32_t c = ReadChar(text, pos);
    if (pos < n && text[pos] == '-') {
      ++pos;
      if (pos < n) {
        AddRange(c, ReadChar(text, pos));
      } else {  // "[a-" at the end: both are members
        AddRange(c, c);
        AddRange('-', '-');
      }
    } else if (c == '\\') {
      if (pos < n && text[pos] == 'n') {
        AddRange(10, 13);
      } else if (pos < n && text[pos] == 't') {
        AddRange(9, 9);
      } else {
        throw WildcardError(WildcardErrorKind::BackslashInClass);
      }
      ++pos;
    } else {
      AddRange(c, c);
    }
  }
  if (pos < n) ++pos;  // ']'
}

void BracketElement::AddRange(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t low = std::min(a, b), high = std::max(a, b);
  ranges_.emplace_back(low, high);
  has_double_byte_range_ = has_double_byte_range_ || high >= 256;
  for (std::uint32_t c = low; c <= high && c < 256; ++c) byte_members_[c >> 6] |= std::uint64_t{1} << (c & 63);
}

void BracketElement::CompileAlternatives(std::string_view text, std::size_t& pos) {
  std::string all;
  ReadToken("]", text, pos, all);
  std::string token;
  for (std::size_t p = 0; p < all.size();) {
    ReadToken("|", all, p, token);
    alternatives_.push_back(token);
  }
  // Trial order, which is not a sort: round k moves the first shortest of
  // the alternatives after position k (or the one at k, if none) to the front.
  const std::size_t count = alternatives_.size();
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t pick = k;
    if (k + 1 < count) {
      pick = k + 1;
      for (std::size_t m = k + 2; m < count; ++m) {
        if (alternatives_[m].size() < alternatives_[pick].size()) pick = m;
      }
    }
    std::rotate(alternatives_.begin(), alternatives_.begin() + static_cast<std::ptrdiff_t>(pick),
                alternatives_.begin() + static_cast<std::ptrdiff_t>(pick) + 1);
  }
  for (const auto& a : alternatives_) alternative_lengths_.push_back(static_cast<int>(text::CharCount(a)));
}

bool BracketElement::InRanges(std::uint32_t code) const {
  return std::any_of(ranges_.begin(), ranges_.end(),
                     [code](const Range& r) { return r.first <= code && code <= r.second; });
}

// ---------------------------------------------------------------- compiled texts

CompiledPattern::CompiledPattern() : version_(g_next_version++) {}
CompiledPattern::~CompiledPattern() = default;

void CompiledPattern::Compile(std::string_view text) {
  Clear();
  const std::size_t n = text.size();
  keys_.reserve(n);
  kinds_.reserve(n);
  std::size_t pos = 0;
  while (pos < n) {
    const auto b = static_cast<unsigned char>(text[pos]);
    if (!kNeedsDecoding.contains[b]) {
      Append(ElementKind::Char, b);
      ++pos;
      continue;
    }
    switch (b) {
      case '#': Append(ElementKind::Digit, b); ++pos; break;
      case '(': Append(ElementKind::CaptureOpen, b); ++pos; break;
      case ')': Append(ElementKind::CaptureClose, b); ++pos; break;
      case '*': Append(ElementKind::Star, b); ++pos; break;
      case '?': Append(ElementKind::AnyChar, b); ++pos; break;
      case '[': CompileBracket(text, pos); break;
      case '\\':
        ++pos;
        if (pos == n) {
          Append(ElementKind::Char, '\\');  // a lone "\" at the end stands for itself
        } else if (text[pos] == 'n') {
          Append(ElementKind::Char, 13);
          Append(ElementKind::Char, 10);
          ++pos;
        } else if (text[pos] == 't') {
          Append(ElementKind::Char, 9);
          ++pos;
        } else {
          Append(ElementKind::Char, ReadChar(text, pos));
        }
        break;
      default: Append(ElementKind::Char, ReadChar(text, pos)); break;  // lead byte
    }
  }
}

void CompiledPattern::CompileBracket(std::string_view text, std::size_t& pos) {
  auto bracket = std::make_unique<BracketElement>(*this, text, pos);
  const std::size_t index = keys_.size();
  Append(ElementKind::Bracket, kBracketKey);
  if (elements_.size() <= index) elements_.resize(index + 1);
  elements_[index] = std::move(bracket);
}

void CompiledPattern::Clear() {
  keys_.clear();
  kinds_.clear();
  elements_.clear();
  cursor_ = 0;
  captures_.clear();
  version_ = g_next_version++;
  memo_rows_built_ = false;
  memo_subject_ = nullptr;
  std::vector<TrialMemo>().swap(memo_);  // a long name once must not pin its table
  segment_plan_.reset();
}

PatternElement* CompiledPattern::ElementAt(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  const auto i = static_cast<std::size_t>(index);
  if (elements_.size() < keys_.size()) elements_.resize(keys_.size());
  auto& slot = elements_[i];
  if (!slot) {
    switch (kinds_[i]) {
      case ElementKind::Char: slot = std::make_unique<CharElement>(*this, keys_[i]); break;
      case ElementKind::AnyChar: slot = std::make_unique<AnyCharElement>(*this); break;
      case ElementKind::Star: slot = std::make_unique<StarElement>(*this); break;
      case ElementKind::Digit: slot = std::make_unique<DigitElement>(*this); break;
      case ElementKind::CaptureOpen: slot = std::make_unique<CaptureOpenElement>(*this); break;
      case ElementKind::CaptureClose: slot = std::make_unique<CaptureCloseElement>(*this); break;
      case ElementKind::Bracket: break;  // made by the compiler
    }
  }
  return slot.get();
}

const std::vector<std::unique_ptr<PatternElement>>& CompiledPattern::Elements() {
  for (int i = 0; i < Count(); ++i) ElementAt(i);
  return elements_;
}

PatternElement* CompiledPattern::Next() { return ElementAt(cursor_++); }

void CompiledPattern::StepBack() { cursor_ = std::max(cursor_ - 1, 0); }

std::string CompiledPattern::TextOf(int start, int count) const {
  std::string out;
  if (start < 1 || count <= 0 || start > Count()) return out;
  const int end = start - 1 + std::min(count, Count() - (start - 1));
  for (int i = start - 1; i < end; ++i) AppendKeyText(out, keys_[static_cast<std::size_t>(i)]);
  return out;
}

void CompiledPattern::ResetCaptures() {
  captures_.clear();
  capture_start_ = 0;
  capture_end_ = -1;
  recording_ = true;
}

}  // namespace mirvo
