#include "reference_wildcard.h"

#include <algorithm>
#include <utility>

namespace mirvo::reference {
namespace {

struct Failure {
  Error error;
};

bool IsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Byte length of the character at i.
std::size_t Len(std::string_view t, std::size_t i) {
  return IsLead(static_cast<unsigned char>(t[i])) && i + 1 < t.size() ? 2 : 1;
}

unsigned Code(std::string_view t) {
  if (t.empty()) return 0;
  if (Len(t, 0) == 2) return static_cast<unsigned char>(t[0]) * 256u + static_cast<unsigned char>(t[1]);
  return static_cast<unsigned char>(t[0]);
}

int Chars(std::string_view t) {
  int n = 0;
  for (std::size_t i = 0; i < t.size(); i += Len(t, i)) ++n;
  return n;
}

std::string Token(std::string_view stops, std::string_view t, std::size_t& i) {
  std::string out;
  while (i < t.size()) {
    const std::size_t l = Len(t, i);
    if (l == 1 && stops.find(t[i]) != std::string_view::npos) {
      ++i;
      break;
    }
    out += t.substr(i, l);
    i += l;
  }
  return out;
}

struct Elem {
  char kind;  // 'c' char, '?', '*', '#', '(', ')', '['
  std::string text;
  std::vector<std::pair<unsigned, unsigned>> ranges;
  bool negate = false;
  int mode = 0;
  std::vector<std::string> alts;
};

struct Str {
  std::vector<Elem> elements;
  int cursor = 0;
  bool recording = true;
  std::vector<std::string> captures;
  int capture_start = 0;
  int capture_end = -1;

  int Count() const { return static_cast<int>(elements.size()); }
  const Elem* ElementAt(int i) const { return i >= 0 && i < Count() ? &elements[static_cast<std::size_t>(i)] : nullptr; }
  const Elem* Next() { return ElementAt(cursor++); }
  std::string TextOf(int start, int count) const {
    std::string out;
    if (start < 1) return out;
    for (int i = start - 1; i <= start + count - 2 && i < Count(); ++i) out += elements[static_cast<std::size_t>(i)].text;
    return out;
  }
};

Elem Char(std::string text) { return Elem{'c', std::move(text), {}, false, 0, {}}; }

void AddPair(Elem& e, unsigned a, unsigned b) { e.ranges.emplace_back(std::min(a, b), std::max(a, b)); }

Elem CompileClass(std::string_view t, std::size_t& i) {
  Elem e{'[', "[...]", {}, false, 0, {}};
  ++i;
  if (i < t.size() && t[i] == '!') {
    e.negate = true;
    ++i;
  }
  if (i < t.size() && t[i] == '*') {
    e.mode = 1;
    ++i;
  } else if (i < t.size() && t[i] == '+') {
    e.mode = 2;
    ++i;
  } else if (i < t.size() && t[i] == '=') {
    e.mode = 3;
    ++i;
    const std::string all = Token("]", t, i);
    for (std::size_t k = 0; k < all.size();) e.alts.push_back(Token("|", all, k));
    const std::size_t n = e.alts.size();
    for (std::size_t k = 0; k < n; ++k) {
      std::size_t take = k;
      if (k + 1 <= n - 1) {
        take = k + 1;
        for (std::size_t m = k + 1; m < n; ++m) {
          if (e.alts[m].size() < e.alts[take].size()) take = m;
        }
      }
      std::string moved = e.alts[take];
      e.alts.erase(e.alts.begin() + static_cast<long>(take));
      e.alts.insert(e.alts.begin(), moved);
    }
    return e;
  }
  while (i < t.size() && t[i] != ']') {
    const std::size_t l = Len(t, i);
    const unsigned c = Code(t.substr(i, l));
    i += l;
    if (i < t.size() && t[i] == '-') {
      ++i;
      if (i < t.size()) {
        const std::size_t l2 = Len(t, i);
        AddPair(e, c, Code(t.substr(i, l2)));
        i += l2;
      } else {
        AddPair(e, c, c);
        AddPair(e, '-', '-');
      }
    } else if (l == 1 && c == '\\') {
      if (i < t.size() && t[i] == 'n') {
        AddPair(e, 10, 13);
        ++i;
      } else if (i < t.size() && t[i] == 't') {
        AddPair(e, 9, 9);
        ++i;
      } else {
        throw Failure{Error::BackslashInClass};
      }
    } else {
      AddPair(e, c, c);
    }
  }
  if (i < t.size()) ++i;
  return e;
}

Str Compile(std::string_view t) {
  Str s;
  std::size_t i = 0;
  while (i < t.size()) {
    const char b = t[i];
    const std::size_t l = Len(t, i);
    if (l == 2) {
      s.elements.push_back(Char(std::string(t.substr(i, 2))));
      i += 2;
    } else if (b == '#' || b == '(' || b == ')' || b == '*' || b == '?') {
      s.elements.push_back(Elem{b, std::string(1, b), {}, false, 0, {}});
      ++i;
    } else if (b == '[') {
      s.elements.push_back(CompileClass(t, i));
    } else if (b == '\\') {
      ++i;
      if (i == t.size()) {
        s.elements.push_back(Char("\\"));
      } else if (t[i] == 'n') {
        s.elements.push_back(Char("\r"));
        s.elements.push_back(Char("\n"));
        ++i;
      } else if (t[i] == 't') {
        s.elements.push_back(Char("\t"));
        ++i;
      } else {
        const std::size_t l2 = Len(t, i);
        s.elements.push_back(Char(std::string(t.substr(i, l2))));
        i += l2;
      }
    } else {
      s.elements.push_back(Char(std::string(1, b)));
      ++i;
    }
  }
  return s;
}

class Matcher {
 public:
  explicit Matcher(long max_steps) : steps_left_(max_steps) {}

  bool MatchRest(Str& p, Str& s) {
    for (;;) {
      const Elem* e = p.Next();
      if (!e) return true;
      if (!MatchElem(p, *e, s)) return false;
    }
  }

 private:
  static bool Member(const Elem& k, const Elem* e) {
    if (!e || e->text.empty()) return false;
    const unsigned code = Code(e->text);
    bool hit = false;
    for (const auto& [lo, hi] : k.ranges) {
      if (lo <= code && code <= hi) {
        hit = true;
        break;
      }
    }
    return hit != k.negate;
  }

  bool MatchElem(Str& p, const Elem& e, Str& s) {
    if (--steps_left_ < 0) throw Failure{Error::TooLong};
    switch (e.kind) {
      case 'c': {
        const Elem* x = s.Next();
        return x && x->text == e.text;
      }
      case '?': s.Next(); return true;
      case '#': {
        const Elem* x = s.Next();
        return x && !x->text.empty() && x->text[0] >= '0' && x->text[0] <= '9';
      }
      case '(': p.capture_start = s.cursor; return true;
      case ')':
        if (p.recording && s.cursor > p.capture_end) {
          p.capture_end = s.cursor;
          p.captures.push_back(s.TextOf(p.capture_start + 1, s.cursor - p.capture_start));
        }
        return true;
      case '*': return Star(p, s);
      default: break;
    }
    if (e.mode == 0) return Member(e, s.Next());
    if (e.mode == 3) {
      for (const std::string& alt : e.alts) {
        const int n = Chars(alt);
        if (alt == s.TextOf(s.cursor + 1, n)) {
          s.cursor += n;
          return true;
        }
      }
      return false;
    }
    const Elem* follower = p.ElementAt(p.cursor);
    if (follower && (follower->kind == '(' || follower->kind == ')')) follower = p.ElementAt(p.cursor + 1);
    if (follower && follower->kind != 'c') throw Failure{Error::WildcardAfterRepeat};
    int taken = 0;
    for (;;) {
      const Elem* x = s.ElementAt(s.cursor);
      if (!x || (follower && x->text == follower->text) || !Member(e, x)) break;
      ++s.cursor;
      ++taken;
    }
    return e.mode == 1 || taken > 0;
  }

  bool Star(Str& p, Str& s) {
    const int rest = p.cursor;
    const int i = s.cursor;
    if (rest >= p.Count()) {
      s.cursor = std::max(i, s.Count());
      return true;
    }
    if (rest == p.Count() - 1 && p.elements[static_cast<std::size_t>(rest)].kind == ')') {
      s.cursor = std::max(i, s.Count());
      p.cursor = p.Count();
      MatchElem(p, p.elements[static_cast<std::size_t>(rest)], s);
      return true;
    }
    const bool recording = p.recording;
    const int start = p.capture_start, end = p.capture_end;
    p.recording = false;
    bool found = false;
    for (int j = i; j <= s.Count(); ++j) {
      p.cursor = rest;
      s.cursor = j;
      if (MatchRest(p, s)) {
        p.cursor = rest;
        s.cursor = j;
        found = true;
        break;
      }
    }
    p.recording = recording;
    p.capture_start = start;
    p.capture_end = end;
    return found;
  }

  long steps_left_;
};

}  // namespace

Outcome WildcardMatch(std::string_view pattern, std::string_view subject, bool whole, long max_steps) {
  Outcome out;
  try {
    Str p = Compile(pattern);
    Str s = Compile(subject);
    Matcher m(max_steps);
    p.cursor = 0;
    s.cursor = 0;
    p.captures.clear();
    out.result = m.MatchRest(p, s);
    if (whole) {
      if (s.cursor != s.Count()) out.result = false;
    } else {
      out.rest = s.TextOf(s.cursor + 1, s.Count() - s.cursor);
    }
    out.captures = p.captures;
  } catch (const Failure& f) {
    out = Outcome{};
    out.error = f.error;
  }
  return out;
}

}  // namespace mirvo::reference
