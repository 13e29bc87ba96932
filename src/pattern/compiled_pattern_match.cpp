// Matching: the elements one by one, the trials of "*" with their
// remembered outcomes, and the plan for patterns without repetition.
#include <algorithm>
#include <cstring>
#include <memory>

#include "pattern/compiled_pattern.h"
#include "pattern/wildcard_internal.h"

namespace mirvo {

using namespace wildcard_detail;

bool CharElement::Match(CompiledPattern& subject) {
  ElementView view(subject);
  return MatchChar(view, code_);
}

template <ElementKind SymbolKind, char Symbol>
bool SymbolElement<SymbolKind, Symbol>::Match(CompiledPattern& subject) {
  CompiledPattern& pattern = Owner();
  ElementView view(subject);
  switch (SymbolKind) {
    case ElementKind::AnyChar: MatchAnyChar(view); return true;
    case ElementKind::Digit: return MatchDigit(view);
    case ElementKind::CaptureOpen: pattern.capture_start_ = subject.Cursor(); return true;
    case ElementKind::CaptureClose: pattern.RecordCapture(subject); return true;
    case ElementKind::Star:
      pattern.PrepareMemo(subject.Count() + 1, &subject);
      return pattern.MatchElements(view, true);
    default: return false;
  }
}

bool BracketElement::Match(CompiledPattern& subject) {
  ElementView view(subject);
  return MatchOn(view);
}

template <class View>
bool BracketElement::MatchOn(View& s) const {
  switch (mode_) {
    case BracketMode::One: {
      const std::uint32_t key = s.Take(s.Cursor());
      return key != CompiledPattern::kNoKey && Accepts(KeyCode(key));
    }
    case BracketMode::Alternatives: return MatchAlternatives(s);
    default: return MatchRepeat(s);
  }
}

template <class View>
bool BracketElement::MatchAlternatives(View& s) const {
  for (std::size_t a = 0; a < alternatives_.size(); ++a) {
    const std::string& alt = alternatives_[a];
    const int count = alternative_lengths_[a];
    // Compare with the texts of the next `count` elements, cut at the end.
    std::size_t matched = 0;
    bool equal = true;
    int pos = s.Cursor();
    for (int k = 0; k < count && pos < s.End(); ++k) {
      char buf[5];
      const std::size_t len = KeyText(s.Take(pos), buf);
      if (matched + len > alt.size() || alt.compare(matched, len, buf, len) != 0) {
        equal = false;
        break;
      }
      matched += len;
    }
    if (equal && matched == alt.size()) {
      s.Cursor() = s.Advance(s.Cursor(), count);
      return true;
    }
  }
  return false;
}

template <class View>
bool BracketElement::MatchRepeat(View& s) const {
  const CompiledPattern& pattern = Owner();
  int follower = std::max(pattern.Cursor(), 0);
  if (follower < pattern.Count() && (pattern.KindAt(follower) == ElementKind::CaptureOpen ||
                                     pattern.KindAt(follower) == ElementKind::CaptureClose)) {
    ++follower;
  }
  const bool has_follower = follower < pattern.Count();
  if (has_follower && pattern.KindAt(follower) != ElementKind::Char) {
    throw WildcardError(WildcardErrorKind::WildcardAfterRepeat);
  }
  const std::uint32_t stop = has_follower ? pattern.KeyAt(follower) : CompiledPattern::kNoKey;
  int taken = 0;
  for (;;) {
    int next = s.Cursor();
    const std::uint32_t key = s.Take(next);
    if (key == CompiledPattern::kNoKey || key == stop || !Accepts(KeyCode(key))) break;
    s.Cursor() = next;
    ++taken;
  }
  return mode_ == BracketMode::ZeroOrMore || taken > 0;
}

void CompiledPattern::RecordCapture(const CompiledPattern& subject) {
  if (recording_ && subject.cursor_ > capture_end_) {
    capture_end_ = subject.cursor_;
    captures_.push_back(subject.TextOf(capture_start_ + 1, subject.cursor_ - capture_start_));
  }
}

bool CompiledPattern::Match(CompiledPattern& subject) {
  cursor_ = 0;
  subject.cursor_ = 0;
  ResetCaptures();
  return MatchRest(subject);
}

bool CompiledPattern::MatchRest(CompiledPattern& subject) {
  PrepareMemo(subject.Count() + 1, &subject);
  ElementView view(subject);
  return MatchElements(view, false);
}

// Without repetition or alternative classes every element but "*" takes
// exactly one element of the subject or none, and the trials of a "*" come
// down to this: the rest matches from a split point exactly when the next
// run of one-element atoms fits there and the runs after it fit, in order,
// somewhere later, and fitting later never helps. So each run goes to its
// first fit, left to right, in time linear in the name per run.
void CompiledPattern::PlanSegments() {
  segment_plan_ = std::make_unique<SegmentPlan>();
  SegmentPlan& plan = *segment_plan_;
  int last_star = -1;
  int run_first = 0;
  auto close_run = [&] {
    const int last = static_cast<int>(plan.atoms.size());
    SegmentPlan::Run run{run_first, last, false};
    if (run_first < last) {
      const SegmentPlan::Atom& lead = plan.atoms[static_cast<std::size_t>(run_first)];
      run.by_byte = lead.kind == ElementKind::Char && CanSeekByByte(lead.key);
    }
    if (!plan.starred) {
      plan.head = run;
    } else if (run_first < last) {
      plan.runs.push_back(run);
    }
    run_first = last;
  };
  for (int i = 0; i < Count(); ++i) {
    switch (kinds_[static_cast<std::size_t>(i)]) {
      case ElementKind::Star:
        close_run();
        plan.starred = true;
        last_star = i;
        break;
      case ElementKind::CaptureOpen:
      case ElementKind::CaptureClose: break;
      case ElementKind::Bracket: {
        const auto* bracket = static_cast<const BracketElement*>(elements_[static_cast<std::size_t>(i)].get());
        if (bracket->Mode() != BracketMode::One) plan.usable = false;
        plan.atoms.push_back({ElementKind::Bracket, kBracketKey, bracket});
        break;
      }
      default:
        plan.atoms.push_back({kinds_[static_cast<std::size_t>(i)], keys_[static_cast<std::size_t>(i)], nullptr});
        break;
    }
  }
  const bool last_run_empty = run_first == static_cast<int>(plan.atoms.size());
  close_run();
  if (plan.starred && last_run_empty) {
    const int after = Count() - 1 - last_star;
    plan.tail = after == 0 || (after == 1 && kinds_.back() == ElementKind::CaptureClose) ? SegmentPlan::Tail::All
                                                                             : SegmentPlan::Tail::None;
  }
}

// Atoms first..last (exclusive) against the subject from pos on. Inlined:
// it is the inner step of every name.
template <class View>
[[gnu::always_inline]] inline bool CompiledPattern::AtomsMatch(View& s, int first, int last, int& pos) const {
  for (int a = first; a < last; ++a) {
    const SegmentPlan::Atom& atom = segment_plan_->atoms[static_cast<std::size_t>(a)];
    const std::uint32_t key = s.Take(pos);
    switch (atom.kind) {
      case ElementKind::Char:
        if (key != atom.key) return false;
        break;
      case ElementKind::Digit:
        if (key < '0' || key > '9') return false;
        break;
      case ElementKind::Bracket:
        if (key == kNoKey || !atom.bracket->Accepts(KeyCode(key))) return false;
        break;
      default: break;  // "?"
    }
  }
  return true;
}

template <class View>
[[gnu::always_inline]] inline bool CompiledPattern::MatchSegments(View& s) {
  const SegmentPlan& plan = *segment_plan_;
  const int n = s.End();
  int pos = 0;
  if (!AtomsMatch(s, plan.head.first, plan.head.last, pos)) return false;
  for (const SegmentPlan::Run& run : plan.runs) {
    if (pos > n) return false;  // no split point left
    const SegmentPlan::Atom& lead = plan.atoms[static_cast<std::size_t>(run.first)];
    const bool literal = lead.kind == ElementKind::Char;
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
  if (!plan.starred || plan.tail != SegmentPlan::Tail::All) return pos == n;
  return pos <= n;
}

bool CompiledPattern::MatchName(std::string_view subject) {
  if (!segment_plan_) [[unlikely]] PlanSegments();
  if (segment_plan_->usable && RawView::Fits(subject)) [[likely]] {
    RawView v(subject);
    return MatchSegments(v);
  }
  return MatchNameGenerally(subject);
}

bool CompiledPattern::MatchNameGenerally(std::string_view subject) {
  cursor_ = 0;
  ResetCaptures();
  if (RawView::Fits(subject)) {
    RawView v(subject);
    PrepareMemo(v.End() + 1, nullptr);
    return MatchElements(v, false) && v.Cursor() == v.End();
  }
  if (!compiled_name_) compiled_name_ = std::make_unique<CompiledPattern>();
  CompiledPattern& name = *compiled_name_;
  name.Compile(subject);
  name.cursor_ = 0;
  if (segment_plan_->usable) {
    ElementView v(name);
    return MatchSegments(v);
  }
  return MatchRest(name) && name.cursor_ == name.Count();
}

void CompiledPattern::PrepareMemo(int width, const CompiledPattern* subject) {
  if (!memo_rows_built_) {
    // A "*" is tried again and again only from the trials of an earlier
    // "*"; the first one is never, so it needs no row.
    rest_row_.assign(keys_.size() + 1, -1);
    memo_rows_ = 0;
    bool first = true;
    for (std::size_t i = 0; i < kinds_.size(); ++i) {
      if (kinds_[i] != ElementKind::Star) continue;
      if (!first) rest_row_[i + 1] = memo_rows_++;
      first = false;
    }
    memo_rows_built_ = true;
    memo_subject_ = nullptr;
  }
  if (subject && memo_subject_ == subject && memo_version_ == subject->version_) return;
  memo_subject_ = subject;
  memo_version_ = subject ? subject->version_ : 0;
  memo_width_ = width;
  memo_on_ = false;
  work_done_ = 0;
}

// Most names need a handful of trials; remembering them would cost more
// than it saves. Past a budget of work linear in the name, every outcome
// is kept, which bounds the rest of the match by a polynomial.
void CompiledPattern::SwitchMemoOn() {
  const std::size_t need = static_cast<std::size_t>(memo_rows_) * static_cast<std::size_t>(memo_width_);
  if (memo_.size() < need || ++memo_stamp_ == 0) {
    memo_.assign(std::max(need, memo_.size()), TrialMemo{});
    memo_stamp_ = 1;
  }
  memo_on_ = true;
}

// Works without recursion: a "*" inside a trial pushes a StarTrial instead
// of calling MatchRest, so a pattern of thousands of "*" is no risk to the
// stack. from_star: the pattern's cursor stands after a "*" whose Match is
// wanted alone (the caller goes on with the rest).
template <class View>
bool CompiledPattern::MatchElements(View& s, bool from_star) {
  const std::size_t base = trials_.size();
  struct Unwind {  // an error leaves no trials behind
    std::vector<StarTrial>& trials;
    std::size_t base;
    ~Unwind() { trials.resize(base); }
  } unwind{trials_, base};

  enum class Step { Walk, Star, Resolve, StarDone };
  Step step = from_star ? Step::Star : Step::Walk;
  bool result = false;
  StarOutcome out;
  for (;;) {
    switch (step) {
      case Step::Walk: {
        const int index = cursor_++;
        if (index >= Count()) {
          result = true;
          step = Step::Resolve;
          break;
        }
        const auto i = static_cast<std::size_t>(index);
        bool ok = true;
        switch (kinds_[i]) {
          case ElementKind::Char: ok = MatchChar(s, keys_[i]); break;
          case ElementKind::Star: step = Step::Star; break;
          case ElementKind::AnyChar: MatchAnyChar(s); break;
          case ElementKind::Digit: ok = MatchDigit(s); break;
          case ElementKind::CaptureOpen:
            if constexpr (View::kCaptures) capture_start_ = s.Cursor();
            break;
          case ElementKind::CaptureClose:
            if constexpr (View::kCaptures) RecordCapture(s.Subject());
            break;
          case ElementKind::Bracket: ok = static_cast<const BracketElement*>(elements_[i].get())->MatchOn(s); break;
        }
        if (!ok) {
          result = false;
          step = Step::Resolve;
        }
        break;
      }
      case Step::Star: step = EnterStar(s, out) ? Step::StarDone : Step::Walk; break;
      case Step::Resolve: {
        if (trials_.size() == base) return result;
        StarTrial& trial = trials_.back();
        if (result) {
          FinishTrial(true, trial.current, s.Cursor(), trial.current, out);
          step = Step::StarDone;
        } else {
          trial.last_fail_end = s.Cursor();
          trial.current = s.After(trial.current);
          step = AdvanceTrial(s, out) ? Step::StarDone : Step::Walk;
        }
        break;
      }
      case Step::StarDone:
        if (!out.ok) {
          s.Cursor() = out.end;
          result = false;
          step = Step::Resolve;
        } else if (trials_.size() > base && out.end_known) {
          // Inside a trial the rest after this "*" is already known to
          // match; walking it again would change nothing.
          s.Cursor() = out.end;
          result = true;
          step = Step::Resolve;
        } else {
          cursor_ = out.rest;
          s.Cursor() = out.split;
          if (from_star && trials_.size() == base) return true;
          step = Step::Walk;
        }
        break;
    }
  }
}

// The cursor stands after a "*". Returns true when the "*" is decided at once
// (out holds the outcome), false when a trial has been set up.
template <class View>
bool CompiledPattern::EnterStar(View& s, StarOutcome& out) {
  const int rest = cursor_;
  const int n = s.End();
  const int i = s.Cursor();
  out = StarOutcome{};
  if (rest >= Count()) {
    out.ok = true;
    out.rest = rest;
    out.split = std::max(i, n);
    return true;
  }
  if (rest == Count() - 1 && kinds_[static_cast<std::size_t>(rest)] == ElementKind::CaptureClose) {
    s.Cursor() = std::max(i, n);
    cursor_ = Count();
    if constexpr (View::kCaptures) RecordCapture(s.Subject());
    out.ok = true;
    out.rest = Count();
    out.split = s.Cursor();
    return true;
  }
  if (i > n) {  // no split point to try
    out.end = i;
    return true;
  }
  trials_.push_back(StarTrial{rest_row_[static_cast<std::size_t>(rest)], rest, i, i, i, capture_start_,
                              capture_end_, recording_});
  recording_ = false;
  return AdvanceTrial(s, out);
}

// Finds the next split point of the top trial from its `current` on. Sets
// up its trial and returns false, or decides the "*" and returns true.
template <class View>
bool CompiledPattern::AdvanceTrial(View& s, StarOutcome& out) {
  StarTrial& trial = trials_.back();
  const int n = s.End();
  const auto rest = static_cast<std::size_t>(trial.rest);
  const bool literal = kinds_[rest] == ElementKind::Char;
  const std::uint32_t key = keys_[rest];
  const TrialMemo* row = memo_on_ && trial.row >= 0
                             ? &memo_[static_cast<std::size_t>(trial.row) * static_cast<std::size_t>(memo_width_)]
                             : nullptr;
  for (int j = trial.current; j <= n;) {
    if (row && row[j].stamp == memo_stamp_) {
      const TrialMemo memo = row[j];
      FinishTrial(memo.split >= 0, memo.split, memo.end, j - 1, out);
      return true;
    }
    if (literal) {  // a trial would fail on its first element until the literal shows
      const int q = s.Seek(j, key, trial.last_fail_end);
      if (q != j) {
        work_done_ += q - j;
        j = q;
        continue;
      }
    }
    if (!memo_on_ && memo_rows_ > 0 && ++work_done_ > 2 * memo_width_ + 64) SwitchMemoOn();
    trial.current = j;
    cursor_ = trial.rest;
    s.Cursor() = j;
    return false;
  }
  FinishTrial(false, -1, trial.last_fail_end, n, out);
  return true;
}

// Decides the top trial: ok at split point `split` with the rest ending at
// `end`, or failed with the subject's cursor at `end`. Split points
// first..stop share this outcome.
void CompiledPattern::FinishTrial(bool ok, int split, int end, int stop, StarOutcome& out) {
  const StarTrial trial = trials_.back();
  trials_.pop_back();
  if (memo_on_ && trial.row >= 0) {
    TrialMemo* row = &memo_[static_cast<std::size_t>(trial.row) * static_cast<std::size_t>(memo_width_)];
    for (int k = trial.first; k <= stop; ++k) row[k] = TrialMemo{memo_stamp_, ok ? split : -1, end};
  }
  recording_ = trial.saved_recording;
  capture_start_ = trial.saved_capture_start;
  capture_end_ = trial.saved_capture_end;
  out = StarOutcome{};
  out.ok = ok;
  out.end_known = true;
  out.rest = trial.rest;
  out.split = split;
  out.end = end;
}

template class SymbolElement<ElementKind::AnyChar, '?'>;
template class SymbolElement<ElementKind::Star, '*'>;
template class SymbolElement<ElementKind::Digit, '#'>;
template class SymbolElement<ElementKind::CaptureOpen, '('>;
template class SymbolElement<ElementKind::CaptureClose, ')'>;

}  // namespace mirvo
