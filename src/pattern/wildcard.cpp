#include "pattern/wildcard.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pattern/wildcard_internal.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

using namespace wildcard_detail;

constexpr const char* kBackslashInClassText =
    "ワイルドカードの[ ]中で\\記号を使うときは、\\t,\\nしか許されていません。";
constexpr const char* kWildcardAfterRepeatText =
    "ワイルドカード[*...]に続けてワイルドカードを書くことは出来ません。";

std::atomic<std::uint64_t> g_next_version{1};

}  // namespace

// ---------------------------------------------------------------- errors

WildcardError::WildcardError(Kind kind)
    : std::runtime_error(kind == Kind::BackslashInClass ? kBackslashInClassText
                                                        : kWildcardAfterRepeatText),
      kind_(kind) {}

const std::string& WildcardError::Cp932Message() const { return text::Cp932(what()); }

// -------------------------------------------------------- character rules

std::size_t CharCount(std::string_view text) { return text::CharCount(text); }

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

TWChar::TWChar(TWString* sequence, std::uint32_t key)
    : TWSeq(sequence, Kind::Char),
      Code(static_cast<std::uint8_t>(key > 0xFF ? key >> 8 : key)),
      Trail(static_cast<std::uint8_t>(key > 0xFF ? key & 0xFF : 0)),
      key_(key) {}

std::string TWChar::GetText() const {
  std::string s;
  AppendKeyText(s, key_);
  return s;
}

TWKakko::TWKakko(TWString* sequence, std::string_view text, std::size_t& pos)
    : TWSeq(sequence, Kind::Kakko) {
  const std::size_t n = text.size();
  ++pos;  // '['
  if (pos < n && text[pos] == '!') {
    negate_ = true;
    ++pos;
  }
  if (pos < n) {
    switch (text[pos]) {
      case '*': mode_ = 1; ++pos; break;
      case '+': mode_ = 2; ++pos; break;
      case '=':
        mode_ = 3;
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
        throw WildcardError(WildcardError::Kind::BackslashInClass);
      }
      ++pos;
    } else {
      AddRange(c, c);
    }
  }
  if (pos < n) ++pos;  // ']'
}

void TWKakko::AddRange(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t lo = std::min(a, b), hi = std::max(a, b);
  ranges_.emplace_back(lo, hi);
  wide_ = wide_ || hi >= 256;
  for (std::uint32_t c = lo; c <= hi && c < 256; ++c) low_[c >> 6] |= std::uint64_t{1} << (c & 63);
}

void TWKakko::CompileAlternatives(std::string_view text, std::size_t& pos) {
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
  for (const auto& a : alternatives_) alternative_lengths_.push_back(static_cast<int>(CharCount(a)));
}

bool TWKakko::InRanges(std::uint32_t code) const {
  return std::any_of(ranges_.begin(), ranges_.end(),
                     [code](const Range& r) { return r.first <= code && code <= r.second; });
}

// ---------------------------------------------------------------- TWString

TWString::TWString() : version_(g_next_version++) {}
TWString::~TWString() = default;

void TWString::Compile(std::string_view text) {
  Clear();
  const std::size_t n = text.size();
  keys_.reserve(n);
  kinds_.reserve(n);
  std::size_t pos = 0;
  while (pos < n) {
    const auto b = static_cast<unsigned char>(text[pos]);
    if (!kCare.care[b]) {
      Push(Kind::Char, b);
      ++pos;
      continue;
    }
    switch (b) {
      case '#': Push(Kind::Number, b); ++pos; break;
      case '(': Push(Kind::PickupFrom, b); ++pos; break;
      case ')': Push(Kind::PickupTo, b); ++pos; break;
      case '*': Push(Kind::Asterisk, b); ++pos; break;
      case '?': Push(Kind::Question, b); ++pos; break;
      case '[': CompileClass(text, pos); break;
      case '\\':
        ++pos;
        if (pos == n) {
          Push(Kind::Char, '\\');  // a lone "\" at the end stands for itself
        } else if (text[pos] == 'n') {
          Push(Kind::Char, 13);
          Push(Kind::Char, 10);
          ++pos;
        } else if (text[pos] == 't') {
          Push(Kind::Char, 9);
          ++pos;
        } else {
          Push(Kind::Char, ReadChar(text, pos));
        }
        break;
      default: Push(Kind::Char, ReadChar(text, pos)); break;  // lead byte
    }
  }
}

void TWString::CompileClass(std::string_view text, std::size_t& pos) {
  auto kakko = std::make_unique<TWKakko>(this, text, pos);
  const std::size_t index = keys_.size();
  Push(Kind::Kakko, kKakkoKey);
  if (items_.size() <= index) items_.resize(index + 1);
  items_[index] = std::move(kakko);
}

void TWString::Clear() {
  keys_.clear();
  kinds_.clear();
  items_.clear();
  Cursor = 0;
  Pickups.clear();
  version_ = g_next_version++;
  rows_built_ = false;
  memo_subject_ = nullptr;
  std::vector<Memo>().swap(memo_);  // a long name once must not pin its table
  segments_.reset();
}

TWSeq* TWString::ItemAt(int index) {
  if (index < 0 || index >= Count()) return nullptr;
  const auto i = static_cast<std::size_t>(index);
  if (items_.size() < keys_.size()) items_.resize(keys_.size());
  auto& slot = items_[i];
  if (!slot) {
    switch (kinds_[i]) {
      case Kind::Char: slot = std::make_unique<TWChar>(this, keys_[i]); break;
      case Kind::Question: slot = std::make_unique<TWQuestion>(this); break;
      case Kind::Asterisk: slot = std::make_unique<TWAsterisk>(this); break;
      case Kind::Number: slot = std::make_unique<TWNumber>(this); break;
      case Kind::PickupFrom: slot = std::make_unique<TWPickupFrom>(this); break;
      case Kind::PickupTo: slot = std::make_unique<TWPickupTo>(this); break;
      case Kind::Kakko: break;  // made by the compiler
    }
  }
  return slot.get();
}

const std::vector<std::unique_ptr<TWSeq>>& TWString::Items() {
  for (int i = 0; i < Count(); ++i) ItemAt(i);
  return items_;
}

TWSeq* TWString::Next() { return ItemAt(Cursor++); }

void TWString::Back() { Cursor = std::max(Cursor - 1, 0); }

std::string TWString::TextOf(int start, int count) const {
  std::string out;
  if (start < 1 || count <= 0 || start > Count()) return out;
  const int end = start - 1 + std::min(count, Count() - (start - 1));
  for (int i = start - 1; i < end; ++i) AppendKeyText(out, keys_[static_cast<std::size_t>(i)]);
  return out;
}

void TWString::ResetCaptures() {
  Pickups.clear();
  PickupStart = 0;
  PickupEnd = -1;
  Recording = true;
}

// ---------------------------------------------------------------- matching

namespace {

// The last pattern stays compiled: the search panel matches one pattern
// against every name of the list.
struct MatchCache {
  std::string text;
  bool valid = false;
  TWString pattern;
  TWString subject;

  TWString& Pattern(std::string_view p) {
    if (valid && Same(p)) return pattern;
    return Recompile(p);
  }

  TWString& Recompile(std::string_view p);

  // Patterns are short: a few word compares beat a call to memcmp.
  bool Same(std::string_view p) const {
    const std::size_t n = p.size();
    if (n != text.size()) return false;
    const char* a = p.data();
    const char* b = text.data();
    auto word = [](const char* x, std::size_t at, auto zero) {
      decltype(zero) v;
      std::memcpy(&v, x + at, sizeof v);
      return v;
    };
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (word(a, i, std::uint64_t{}) != word(b, i, std::uint64_t{})) return false;
      }
      return word(a, n - 8, std::uint64_t{}) == word(b, n - 8, std::uint64_t{});
    }
    if (n >= 4) {
      return word(a, 0, std::uint32_t{}) == word(b, 0, std::uint32_t{}) &&
             word(a, n - 4, std::uint32_t{}) == word(b, n - 4, std::uint32_t{});
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
};

TWString& MatchCache::Recompile(std::string_view p) {
  valid = false;
  pattern.Compile(p);
  text.assign(p);
  valid = true;
  return pattern;
}

// The plain pointer needs no guard on every call, the owner only once.
thread_local MatchCache* t_cache = nullptr;

MatchCache& Cache() {
  if (t_cache) return *t_cache;
  struct Owner {
    MatchCache cache;
    ~Owner() { t_cache = nullptr; }
  };
  thread_local Owner owner;
  t_cache = &owner.cache;
  return *t_cache;
}

// Kept out of line so that MatchFileName's common way stays short.
[[gnu::noinline]] bool MatchFileNameAfresh(std::string_view name, std::string_view pattern) {
  return Cache().Pattern(pattern).MatchName(name);
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string& subject,
                   std::vector<std::string>* captures, bool whole) {
  MatchCache& cache = Cache();
  TWString& p = cache.Pattern(pattern);
  TWString& s = cache.subject;
  s.Compile(subject);
  bool result = p.Match(s);
  if (whole) {
    if (s.Cursor != s.Count()) result = false;
  } else {
    subject = s.TextOf(s.Cursor + 1, s.Count() - s.Cursor);
  }
  if (captures) *captures = p.Pickups;
  return result;
}

bool MatchFileName(std::string_view name, std::string_view pattern) {
  // Both ways end in a tail call: the common one saves no registers.
  MatchCache* cache = t_cache;
  if (cache && cache->valid && cache->Same(pattern)) return cache->pattern.MatchName(name);
  return MatchFileNameAfresh(name, pattern);
}

}  // namespace mirvo
