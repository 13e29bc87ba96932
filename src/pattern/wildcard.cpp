#include "pattern/wildcard.h"

#include <cstdint>
#include <cstring>

#include "pattern/compiled_pattern.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

constexpr const char* kBackslashInClassText =
    "ワイルドカードの[ ]中で\\記号を使うときは、\\t,\\nしか許されていません。";
constexpr const char* kWildcardAfterRepeatText =
    "ワイルドカード[*...]に続けてワイルドカードを書くことは出来ません。";

}  // namespace

// ---------------------------------------------------------------- errors

WildcardError::WildcardError(WildcardErrorKind kind)
    : std::runtime_error(kind == WildcardErrorKind::BackslashInClass ? kBackslashInClassText
                                                                     : kWildcardAfterRepeatText),
      kind_(kind) {}

const std::string& WildcardError::Cp932Message() const { return text::Cp932(what()); }

// ---------------------------------------------------------------- matching

namespace {

template <class Word>
Word LoadWord(const char* at) {
  Word word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// The last pattern stays compiled: the search panel matches one pattern
// against every name of the list.
struct MatchCache {
  std::string text;
  bool valid = false;
  CompiledPattern pattern;
  CompiledPattern subject;

  CompiledPattern& Pattern(std::string_view pattern_text) {
    if (valid && Same(pattern_text)) return pattern;
    return Recompile(pattern_text);
  }

  CompiledPattern& Recompile(std::string_view pattern_text);

  // Patterns are short: a few word compares beat a call to memcmp.
  bool Same(std::string_view pattern_text) const {
    const std::size_t n = pattern_text.size();
    if (n != text.size()) return false;
    const char* a = pattern_text.data();
    const char* b = text.data();
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (LoadWord<std::uint64_t>(a + i) != LoadWord<std::uint64_t>(b + i)) return false;
      }
      return LoadWord<std::uint64_t>(a + n - 8) == LoadWord<std::uint64_t>(b + n - 8);
    }
    if (n >= 4) {
      return LoadWord<std::uint32_t>(a) == LoadWord<std::uint32_t>(b) &&
             LoadWord<std::uint32_t>(a + n - 4) == LoadWord<std::uint32_t>(b + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
};

CompiledPattern& MatchCache::Recompile(std::string_view pattern_text) {
  valid = false;
  pattern.Compile(pattern_text);
  text.assign(pattern_text);
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
  CompiledPattern& compiled_pattern = cache.Pattern(pattern);
  CompiledPattern& compiled_subject = cache.subject;
  compiled_subject.Compile(subject);
  bool result = compiled_pattern.Match(compiled_subject);
  const int cursor = compiled_subject.Cursor();
  if (whole) {
    if (cursor != compiled_subject.Count()) result = false;
  } else {
    subject = compiled_subject.TextOf(cursor + 1, compiled_subject.Count() - cursor);
  }
  if (captures) *captures = compiled_pattern.Captures();
  return result;
}

bool MatchFileName(std::string_view name, std::string_view pattern) {
  // Both ways end in a tail call: the common one saves no registers.
  MatchCache* cache = t_cache;
  if (cache && cache->valid && cache->Same(pattern)) return cache->pattern.MatchName(name);
  return MatchFileNameAfresh(name, pattern);
}

}  // namespace mirvo
