// MatchFileName against glibc fnmatch on handset-like names, and the cost of
// many "*" on long names.
//
//   bench_wildcard [benchmark flags]
//
// Names are code page 932 bytes; fnmatch runs in the "C" locale, where it
// compares bytes. The two agree on a name unless a second byte of a
// double-byte character is an ASCII byte (then fnmatch may see a letter
// that is not there); those names are timed but left out of the check.
#include <benchmark/benchmark.h>
#include <fnmatch.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pattern/wildcard.h"
#include "text/cp932.h"

namespace {

const std::vector<std::string> kPatterns{"*jpg*", "*.mid", "[a-c]*", "*a*b*c*"};

std::vector<std::string> MakeNames(std::size_t count) {
  using mirvo::text::Cp932;
  const std::vector<std::string> folders{"data", "sound", "picture", "movie", "DCIM", "100SHARP", "music",
                                         Cp932("メロディ"), Cp932("着うた"), Cp932("デコメ絵文字"),
                                         Cp932("マイピクチャ"), Cp932("表示")};
  const std::vector<std::string> words{"abc",  "img",  "song", "bgm",  "photo", "cap",    "mail", "alarm",
                                       "birthday", "cat", "beach", "voice", "ring", "tone", "clip", "map",
                                       Cp932("着信"), Cp932("写真"), Cp932("ソング"), Cp932("画像"),
                                       Cp932("アラーム"), Cp932("音楽"), Cp932("ポケット"), Cp932("ダンス")};
  const std::vector<std::string> exts{".jpg", ".mid", ".mmf", ".3gp", ".gif", ".png", ".txt", ".jpeg", ".amc",
                                      ".mld", ".JPG"};
  std::mt19937 rng(42);
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  std::vector<std::string> names;
  names.reserve(count);
  while (names.size() < count) {
    std::string name;
    for (unsigned depth = rng() % 3; depth > 0; --depth) name += pick(folders) + "\\";
    name += pick(words);
    if (rng() % 2) name += std::to_string(rng() % 1000);
    if (rng() % 4 == 0) {
      name += '_';
      name += pick(words);
    }
    name += pick(exts);
    names.push_back(name);
  }
  return names;
}

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = MakeNames(10000);
  return names;
}

bool MeaningsCoincide(const std::string& name) {
  bool ok = true;
  mirvo::text::ForEachChar(name, [&](std::size_t pos, std::size_t len) {
    if (len == 2 && static_cast<unsigned char>(name[pos + 1]) < 0x80) ok = false;
  });
  return ok;
}

// Both matchers must give the same answers before their times mean anything.
bool CheckAgreement() {
  bool all = true;
  for (const auto& pattern : kPatterns) {
    int compared = 0, hits = 0, differ = 0;
    for (const auto& name : Names()) {
      if (!MeaningsCoincide(name)) continue;
      const bool ours = mirvo::MatchFileName(name, pattern);
      const bool theirs = fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
      ++compared;
      hits += ours;
      differ += ours != theirs;
    }
    std::printf("%-8s compared on %d names, %d match, %d differ\n", pattern.c_str(), compared, hits, differ);
    all = all && differ == 0;
  }
  return all;
}

void BM_MatchFileName(benchmark::State& state, std::string pattern) {
  const auto& names = Names();
  for (auto _ : state) {
    int hits = 0;
    for (const auto& name : names) hits += mirvo::MatchFileName(name, pattern);
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * names.size()));
}

void BM_Fnmatch(benchmark::State& state, std::string pattern) {
  const auto& names = Names();
  for (auto _ : state) {
    int hits = 0;
    for (const auto& name : names) hits += fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * names.size()));
}

// ("*a" x (stars - 1)) + "*b" against 250 "a": never matches, and the
// plain algorithm would try about 250^(stars-1) split points.
std::string StarPattern(int stars) {
  std::string pattern;
  for (int i = 1; i < stars; ++i) pattern += "*a";
  return pattern + "*b";
}

void BM_Stars(benchmark::State& state) {
  const std::string pattern = StarPattern(static_cast<int>(state.range(0)));
  const std::string name(250, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(mirvo::MatchFileName(name, pattern));
}

// The same through the trial engine itself, which a capture list asks for.
void BM_StarsTrials(benchmark::State& state) {
  const std::string pattern = StarPattern(static_cast<int>(state.range(0)));
  std::vector<std::string> captures;
  for (auto _ : state) {
    std::string name(250, 'a');
    benchmark::DoNotOptimize(mirvo::WildcardMatch(pattern, name, &captures, true));
  }
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (!r.error_occurred && (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")) {
        times_[r.run_name.str()] = r.GetAdjustedCPUTime();
      }
    }
  }
  void PrintRatios() const {
    std::printf("\nratio MatchFileName / fnmatch (<= 1.0 is the goal)\n");
    for (const auto& p : kPatterns) {
      const auto a = times_.find("MatchFileName/" + p + "/");
      const auto b = times_.find("fnmatch/" + p + "/");
      if (a != times_.end() && b != times_.end()) std::printf("  %-8s %.2f\n", p.c_str(), a->second / b->second);
    }
    for (const char* name : {"BM_Stars", "BM_StarsTrials"}) {
      const auto s3 = times_.find(std::string(name) + "/3");
      const auto s6 = times_.find(std::string(name) + "/6");
      if (s3 != times_.end() && s6 != times_.end()) {
        std::printf("%s: time 6 stars / 3 stars on 250 \"a\": %.2f\n", name, s6->second / s3->second);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!CheckAgreement()) {
    std::fprintf(stderr, "MatchFileName and fnmatch disagree\n");
    return 1;
  }
  for (const auto& p : kPatterns) {
    benchmark::RegisterBenchmark(("MatchFileName/" + p + "/").c_str(), BM_MatchFileName, p)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("fnmatch/" + p + "/").c_str(), BM_Fnmatch, p)->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("BM_Stars", BM_Stars)->DenseRange(3, 8)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_StarsTrials", BM_StarsTrials)->DenseRange(3, 8)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
