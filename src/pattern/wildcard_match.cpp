// Matching: the elements one by one, the trials of "*" with their
// remembered outcomes, and the plan for patterns without repetition.
#include <algorithm>
#include <cstring>
#include <memory>

#include "pattern/wildcard.h"
#include "pattern/wildcard_internal.h"

namespace mirvo {
namespace {

using namespace wildcard_detail;

void RecordPickup(TWString& p, TWString& s) {
  if (p.Recording && s.Cursor > p.PickupEnd) {
    p.PickupEnd = s.Cursor;
    p.Pickups.push_back(s.TextOf(p.PickupStart + 1, s.Cursor - p.PickupStart));
  }
}

}  // namespace

bool TWChar::Match(TWString& subject) {
  ElementView v(subject);
  return MatchChar(v, key_);
}

bool TWQuestion::Match(TWString& subject) {
  ElementView v(subject);
  MatchQuestion(v);
  return true;
}

bool TWNumber::Match(TWString& subject) {
  ElementView v(subject);
  return MatchNumber(v);
}

bool TWPickupFrom::Match(TWString& subject) {
  Sequence->PickupStart = subject.Cursor;
  return true;
}

bool TWPickupTo::Match(TWString& subject) {
  RecordPickup(*Sequence, subject);
  return true;
}

bool TWAsterisk::Match(TWString& subject) {
  TWString& p = *Sequence;
  p.PrepareMemo(subject.Count() + 1, &subject);
  ElementView v(subject);
  return p.Run(v, true);
}

bool TWKakko::Match(TWString& subject) {
  ElementView v(subject);
  return MatchOn(v);
}

template <class View>
bool TWKakko::MatchOn(View& s) const {
  switch (mode_) {
    case 0: {
      const std::uint32_t key = s.Take(s.cursor());
      return key != TWString::kNoKey && Accepts(KeyCode(key));
    }
    case 3: return MatchAlternatives(s);
    default: return MatchRepeat(s);
  }
}

template <class View>
bool TWKakko::MatchAlternatives(View& s) const {
  for (std::size_t a = 0; a < alternatives_.size(); ++a) {
    const std::string& alt = alternatives_[a];
    const int count = alternative_lengths_[a];
    // Compare with the texts of the next `count` elements, cut at the end.
    std::size_t matched = 0;
    bool equal = true;
    int pos = s.cursor();
    for (int k = 0; k < count && pos < s.end(); ++k) {
      char buf[5];
      const std::size_t len = KeyText(s.Take(pos), buf);
      if (matched + len > alt.size() || alt.compare(matched, len, buf, len) != 0) {
        equal = false;
        break;
      }
      matched += len;
    }
    if (equal && matched == alt.size()) {
      s.cursor() = s.Advance(s.cursor(), count);
      return true;
    }
  }
  return false;
}

template <class View>
bool TWKakko::MatchRepeat(View& s) const {
  TWString& p = *Sequence;
  int follower = std::max(p.Cursor, 0);
  if (follower < p.Count() &&
      (p.KindAt(follower) == Kind::PickupFrom || p.KindAt(follower) == Kind::PickupTo)) {
    ++follower;
  }
  const bool has_follower = follower < p.Count();
  if (has_follower && p.KindAt(follower) != Kind::Char) {
    throw WildcardError(WildcardError::Kind::WildcardAfterRepeat);
  }
  const std::uint32_t stop = has_follower ? p.KeyAt(follower) : TWString::kNoKey;
  int taken = 0;
  for (;;) {
    int next = s.cursor();
    const std::uint32_t key = s.Take(next);
    if (key == TWString::kNoKey || key == stop || !Accepts(KeyCode(key))) break;
    s.cursor() = next;
    ++taken;
  }
  return mode_ == 1 || taken > 0;
}

bool TWString::Match(TWString& subject) {
  Cursor = 0;
  subject.Cursor = 0;
  ResetCaptures();
  return MatchRest(subject);
}

bool TWString::MatchRest(TWString& subject) {
  PrepareMemo(subject.Count() + 1, &subject);
  ElementView v(subject);
  return Run(v, false);
}

// Without repetition or alternative classes every element but "*" takes
// exactly one element of the subject or none, and the trials of a "*" come
// down to this: the rest matches from a split point exactly when the next
// run of one-element atoms fits there and the runs after it fit, in order,
// somewhere later, and fitting later never helps. So each run goes to its
// first fit, left to right, in time linear in the name per run.
void TWString::PlanSegments() {
  segments_ = std::make_unique<Segments>();
  Segments& g = *segments_;
  int last_star = -1;
  int run_first = 0;
  auto close_run = [&] {
    const int last = static_cast<int>(g.atoms.size());
    Segments::Run run{run_first, last, false};
    if (run_first < last) {
      const Segments::Atom& lead = g.atoms[static_cast<std::size_t>(run_first)];
      run.by_byte = lead.kind == Kind::Char && ByteSeekable(lead.key);
    }
    if (!g.starred) {
      g.head = run;
    } else if (run_first < last) {
      g.runs.push_back(run);
    }
    run_first = last;
  };
  for (int i = 0; i < Count(); ++i) {
    switch (kinds_[static_cast<std::size_t>(i)]) {
      case Kind::Asterisk:
        close_run();
        g.starred = true;
        last_star = i;
        break;
      case Kind::PickupFrom:
      case Kind::PickupTo: break;
      case Kind::Kakko: {
        const auto* kakko = static_cast<const TWKakko*>(items_[static_cast<std::size_t>(i)].get());
        if (kakko->Mode() != 0) g.usable = false;
        g.atoms.push_back({Kind::Kakko, kKakkoKey, kakko});
        break;
      }
      default:
        g.atoms.push_back({kinds_[static_cast<std::size_t>(i)], keys_[static_cast<std::size_t>(i)], nullptr});
        break;
    }
  }
  const bool last_run_empty = run_first == static_cast<int>(g.atoms.size());
  close_run();
  if (g.starred && last_run_empty) {
    const int after = Count() - 1 - last_star;
    g.tail = after == 0 || (after == 1 && kinds_.back() == Kind::PickupTo) ? Segments::Tail::All
                                                                             : Segments::Tail::None;
  }
}

// Atoms first..last (exclusive) against the subject from pos on. Inlined:
// it is the inner step of every name.
template <class View>
[[gnu::always_inline]] inline bool TWString::AtomsMatch(View& s, int first, int last, int& pos) const {
  for (int a = first; a < last; ++a) {
    const Segments::Atom& atom = segments_->atoms[static_cast<std::size_t>(a)];
    const std::uint32_t key = s.Take(pos);
    switch (atom.kind) {
      case Kind::Char:
        if (key != atom.key) return false;
        break;
      case Kind::Number:
        if (key < '0' || key > '9') return false;
        break;
      case Kind::Kakko:
        if (key == kNoKey || !atom.kakko->Accepts(KeyCode(key))) return false;
        break;
      default: break;  // "?"
    }
  }
  return true;
}

template <class View>
[[gnu::always_inline]] inline bool TWString::MatchSegments(View& s) {
  const Segments& g = *segments_;
  const int n = s.end();
  int pos = 0;
  if (!AtomsMatch(s, g.head.first, g.head.last, pos)) return false;
  for (const Segments::Run& run : g.runs) {
    if (pos > n) return false;  // no split point left
    const Segments::Atom& lead = g.atoms[static_cast<std::size_t>(run.first)];
    const bool literal = lead.kind == Kind::Char;
    int ignored = 0;
    for (int j = pos;; j = s.After(j)) {
      if (run.by_byte) {
        j = s.SeekByte(j, lead.key);
      } else if (literal) {
        j = s.Seek(j, lead.key, ignored);
      }
      if (j > n) return false;
      int end = j;
      // A found literal needs no second look.
      if (literal ? (s.Take(end), AtomsMatch(s, run.first + 1, run.last, end))
                  : AtomsMatch(s, run.first, run.last, end)) {
        pos = end;
        break;
      }
    }
  }
  if (!g.starred || g.tail != Segments::Tail::All) return pos == n;
  return pos <= n;
}

bool TWString::MatchName(std::string_view subject) {
  if (!segments_) [[unlikely]] PlanSegments();
  if (segments_->usable && RawView::Fits(subject)) [[likely]] {
    RawView v(subject);
    return MatchSegments(v);
  }
  return MatchNameGenerally(subject);
}

bool TWString::MatchNameGenerally(std::string_view subject) {
  Cursor = 0;
  ResetCaptures();
  if (RawView::Fits(subject)) {
    RawView v(subject);
    PrepareMemo(v.end() + 1, nullptr);
    return Run(v, false) && v.cursor() == v.end();
  }
  if (!scratch_) scratch_ = std::make_unique<TWString>();
  TWString& s = *scratch_;
  s.Compile(subject);
  s.Cursor = 0;
  if (segments_->usable) {
    ElementView v(s);
    return MatchSegments(v);
  }
  return MatchRest(s) && s.Cursor == s.Count();
}

void TWString::PrepareMemo(int width, const TWString* subject) {
  if (!rows_built_) {
    // A "*" is tried again and again only from the trials of an earlier
    // "*"; the first one is never, so it needs no row.
    rest_row_.assign(keys_.size() + 1, -1);
    memo_rows_ = 0;
    bool first = true;
    for (std::size_t i = 0; i < kinds_.size(); ++i) {
      if (kinds_[i] != Kind::Asterisk) continue;
      if (!first) rest_row_[i + 1] = memo_rows_++;
      first = false;
    }
    rows_built_ = true;
    memo_subject_ = nullptr;
  }
  if (subject && memo_subject_ == subject && memo_version_ == subject->version_) return;
  memo_subject_ = subject;
  memo_version_ = subject ? subject->version_ : 0;
  memo_width_ = width;
  memo_on_ = false;
  work_ = 0;
}

// Most names need a handful of trials; remembering them would cost more
// than it saves. Past a budget of work linear in the name, every outcome
// is kept, which bounds the rest of the match by a polynomial.
void TWString::SwitchMemoOn() {
  const std::size_t need = static_cast<std::size_t>(memo_rows_) * static_cast<std::size_t>(memo_width_);
  if (memo_.size() < need || ++stamp_ == 0) {
    memo_.assign(std::max(need, memo_.size()), Memo{});
    stamp_ = 1;
  }
  memo_on_ = true;
}

// Works without recursion: a "*" inside a trial pushes a frame instead of
// calling MatchRest, so a pattern of thousands of "*" is no risk to the
// stack. from_star: the pattern's Cursor stands after a "*" whose Match is
// wanted alone (the caller goes on with the rest).
template <class View>
bool TWString::Run(View& s, bool from_star) {
  const std::size_t base = frames_.size();
  struct Unwind {  // an error leaves no frames behind
    std::vector<Frame>& frames;
    std::size_t base;
    ~Unwind() { frames.resize(base); }
  } unwind{frames_, base};

  enum class Step { Walk, Star, Resolve, StarDone };
  Step step = from_star ? Step::Star : Step::Walk;
  bool result = false;
  StarOutcome out;
  for (;;) {
    switch (step) {
      case Step::Walk: {
        const int index = Cursor++;
        if (index >= Count()) {
          result = true;
          step = Step::Resolve;
          break;
        }
        const auto i = static_cast<std::size_t>(index);
        bool ok = true;
        switch (kinds_[i]) {
          case Kind::Char: ok = MatchChar(s, keys_[i]); break;
          case Kind::Asterisk: step = Step::Star; break;
          case Kind::Question: MatchQuestion(s); break;
          case Kind::Number: ok = MatchNumber(s); break;
          case Kind::PickupFrom:
            if constexpr (View::kCaptures) PickupStart = s.cursor();
            break;
          case Kind::PickupTo:
            if constexpr (View::kCaptures) RecordPickup(*this, s.string());
            break;
          case Kind::Kakko: ok = static_cast<const TWKakko*>(items_[i].get())->MatchOn(s); break;
        }
        if (!ok) {
          result = false;
          step = Step::Resolve;
        }
        break;
      }
      case Step::Star: step = EnterStar(s, out) ? Step::StarDone : Step::Walk; break;
      case Step::Resolve: {
        if (frames_.size() == base) return result;
        Frame& f = frames_.back();
        if (result) {
          FinishFrame(true, f.current, s.cursor(), f.current, out);
          step = Step::StarDone;
        } else {
          f.last_fail_end = s.cursor();
          f.current = s.After(f.current);
          step = AdvanceFrame(s, out) ? Step::StarDone : Step::Walk;
        }
        break;
      }
      case Step::StarDone:
        if (!out.ok) {
          s.cursor() = out.end;
          result = false;
          step = Step::Resolve;
        } else if (frames_.size() > base && out.end_known) {
          // Inside a trial the rest after this "*" is already known to
          // match; walking it again would change nothing.
          s.cursor() = out.end;
          result = true;
          step = Step::Resolve;
        } else {
          Cursor = out.rest;
          s.cursor() = out.j;
          if (from_star && frames_.size() == base) return true;
          step = Step::Walk;
        }
        break;
    }
  }
}

// Cursor stands after a "*". Returns true when the "*" is decided at once
// (out holds the outcome), false when a trial has been set up.
template <class View>
bool TWString::EnterStar(View& s, StarOutcome& out) {
  const int rest = Cursor;
  const int n = s.end();
  const int i = s.cursor();
  out = StarOutcome{};
  if (rest >= Count()) {
    out.ok = true;
    out.rest = rest;
    out.j = std::max(i, n);
    return true;
  }
  if (rest == Count() - 1 && kinds_[static_cast<std::size_t>(rest)] == Kind::PickupTo) {
    s.cursor() = std::max(i, n);
    Cursor = Count();
    if constexpr (View::kCaptures) RecordPickup(*this, s.string());
    out.ok = true;
    out.rest = Count();
    out.j = s.cursor();
    return true;
  }
  if (i > n) {  // no split point to try
    out.end = i;
    return true;
  }
  frames_.push_back(Frame{rest_row_[static_cast<std::size_t>(rest)], rest, i, i, i, PickupStart,
                          PickupEnd, Recording});
  Recording = false;
  return AdvanceFrame(s, out);
}

// Finds the next split point of the top frame from its `current` on. Sets
// up its trial and returns false, or decides the "*" and returns true.
template <class View>
bool TWString::AdvanceFrame(View& s, StarOutcome& out) {
  Frame& f = frames_.back();
  const int n = s.end();
  const auto rest = static_cast<std::size_t>(f.rest);
  const bool literal = kinds_[rest] == Kind::Char;
  const std::uint32_t key = keys_[rest];
  const Memo* row = memo_on_ && f.row >= 0
                        ? &memo_[static_cast<std::size_t>(f.row) * static_cast<std::size_t>(memo_width_)]
                        : nullptr;
  for (int j = f.current; j <= n;) {
    if (row && row[j].stamp == stamp_) {
      const Memo m = row[j];
      FinishFrame(m.j >= 0, m.j, m.end, j - 1, out);
      return true;
    }
    if (literal) {  // a trial would fail on its first element until the literal shows
      const int q = s.Seek(j, key, f.last_fail_end);
      if (q != j) {
        work_ += q - j;
        j = q;
        continue;
      }
    }
    if (!memo_on_ && memo_rows_ > 0 && ++work_ > 2 * memo_width_ + 64) SwitchMemoOn();
    f.current = j;
    Cursor = f.rest;
    s.cursor() = j;
    return false;
  }
  FinishFrame(false, -1, f.last_fail_end, n, out);
  return true;
}

// Decides the top frame: ok at split point j with the rest ending at `end`,
// or failed with the subject's Cursor at `end`. Split points first..stop
// share this outcome.
void TWString::FinishFrame(bool ok, int j, int end, int stop, StarOutcome& out) {
  const Frame f = frames_.back();
  frames_.pop_back();
  if (memo_on_ && f.row >= 0) {
    Memo* row = &memo_[static_cast<std::size_t>(f.row) * static_cast<std::size_t>(memo_width_)];
    for (int k = f.first; k <= stop; ++k) row[k] = Memo{stamp_, ok ? j : -1, end};
  }
  Recording = f.saved_recording;
  PickupStart = f.saved_start;
  PickupEnd = f.saved_end;
  out = StarOutcome{};
  out.ok = ok;
  out.end_known = true;
  out.rest = f.rest;
  out.j = j;
  out.end = end;
}

}  // namespace mirvo
