// A fault soak of the window's session worker, run by hand:
//
//   bench_session_soak --benchmark_counters_tabular=true
//
// 500 files fetched and 500 sent (2 KiB to 6 KiB each) in runs of ten
// against the simulated handset, with about one frame in a hundred spoiled
// (a bad CRC from the handset, a NAK of the handset's) and the line hung up
// in the middle of a run every 200 files, after which the session is opened
// again on a new line. Every
// file must end byte-exact or reported failed: the counters say how many
// of each, and "wrong" (copies or handset files that differ, or a copy
// left of a failed fetch) must be 0.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "app/session_worker.h"
#include "handset/sim_handset.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using mirvo::app::FileOutcome;
using mirvo::app::SessionWorker;

constexpr int kFiles = 500;
constexpr int kRun = 10;
constexpr int kHangUpEvery = 200;

// Serves this thread's events until done() holds or a minute has passed.
bool Until(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  tick.start(1);
  QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  return done();
}

std::string Content(int i) { return mirvo::testing::PatternBytes(2048 + static_cast<std::size_t>(i % 5) * 1024 + static_cast<std::size_t>(i)); }

class Soak {
 public:
  Soak() {
    char tmpl[] = "/tmp/mirvo-soak-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "handset");
    fs::create_directories(dir_ / "local");
    for (int i = 0; i < kFiles; ++i) {
      mirvo::testing::WriteFile(dir_ / "handset" / Name("g", i), Content(i));
      mirvo::testing::WriteFile(dir_ / "local" / Name("p", i), Content(i + 7));
    }
    QObject::connect(&worker_, &SessionWorker::FileSettled, [this](const FileOutcome& o) { settled_.push_back(o); });
    QObject::connect(&worker_, &SessionWorker::RunFinished, [this] { ++runs_finished_; });
    // The line goes away in the middle of a run, at its fourth file.
    QObject::connect(&worker_, &SessionWorker::FileStarted, [this](int index) {
      if (!hang_up_armed_ || index != 3) return;
      hang_up_armed_ = false;
      handset_->HangUp();
    });
    QObject::connect(&worker_, &SessionWorker::SessionEnded, [this] { session_open_ = false; });
    QObject::connect(&worker_, &SessionWorker::ConnectFinished, [this](const mirvo::app::ConnectOutcome& o) {
      session_open_ = o.step == mirvo::app::ConnectOutcome::Step::kReady;
      connected_ = true;
    });
    QObject::connect(&worker_, &SessionWorker::ListReplaced,
                     [this](const mirvo::ListingSnapshot& listing) { listing_ = listing; });
    worker_.Start();
    worker_.PostTimeouts({.read_ms = 3000, .write_ms = 3000, .read_interval_ms = 3000},
                         {.ack = 2000, .data = 2000, .reply = 3000, .first_frame = 3000});
  }
  ~Soak() {
    worker_.Shutdown();
    handset_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static std::string Name(const char* prefix, int i) { return std::string(prefix) + std::to_string(1000 + i) + ".bin"; }

  // A new line to the handset and a session on it.
  bool Reconnect() {
    mirvo::sim::HandsetOptions options;
    options.wait = std::chrono::milliseconds(2000);
    options.record_bytes = false;
    handset_ = std::make_unique<mirvo::sim::SimHandset>(dir_ / "handset", options);
    connected_ = false;
    worker_.PostConnect(handset_->DevicePath(), "0000");
    ++reconnects_;
    return Until([&] { return connected_; }) && session_open_;
  }

  // One run; what it settled.
  std::vector<FileOutcome> RunOnce(const std::function<void()>& post) {
    settled_.clear();
    const int before = runs_finished_;
    post();
    Until([&] { return runs_finished_ > before; });
    return settled_;
  }

  void Fetch(int first, std::mt19937& random) {
    std::vector<mirvo::HandsetFile> files;
    for (int i = first; i < first + kRun; ++i)
      for (const auto& f : listing_->Files())
        if (f.record.name == Name("g", i)) files.push_back(f);
    // About one frame in a hundred: a run is some forty frames.
    if (random() % 5 < 2) handset_->CorruptCrc(1 + static_cast<int>(random() % 40));
    const auto outcomes = RunOnce([&] { worker_.PostFetch({files, (dir_ / "stage").string() + "/", {}}); });
    for (const FileOutcome& o : outcomes) {
      const std::string name = files[static_cast<std::size_t>(o.index)].record.name;
      const fs::path copy = dir_ / "stage" / name;
      if (o.kind == FileOutcome::Kind::kDone) {
        ++fetched_;
        if (mirvo::testing::ReadFile(copy) != mirvo::testing::ReadFile(dir_ / "handset" / name)) ++wrong_;
        fs::remove(copy);
      } else {
        ++fetch_failed_;
        if (fs::exists(copy)) ++wrong_;  // a failed fetch leaves nothing
      }
    }
    not_tried_ += kRun - static_cast<int>(outcomes.size());
  }

  void Send(int first, std::mt19937& random) {
    mirvo::app::SendJob job;
    job.attributes = std::string(30, '-') + "00";
    for (int i = first; i < first + kRun; ++i) {
      const std::string name = Name("p", i);
      job.files.push_back({(dir_ / "local" / name).string(), "", name,
                           static_cast<std::int64_t>(fs::file_size(dir_ / "local" / name))});
    }
    if (random() % 5 < 2) handset_->NakUploadFrame(1 + static_cast<int>(random() % 30));
    const auto outcomes = RunOnce([&] { worker_.PostSend(job); });
    for (const FileOutcome& o : outcomes) {
      const std::string name = job.files[static_cast<std::size_t>(o.index)].name;
      const fs::path stored = dir_ / "handset" / name;
      if (o.kind == FileOutcome::Kind::kDone) {
        ++sent_;
        if (mirvo::testing::ReadFile(stored) != mirvo::testing::ReadFile(dir_ / "local" / name)) ++wrong_;
      } else {
        ++send_failed_;
        if (fs::exists(stored)) ++wrong_;  // nothing half-stored
      }
      fs::remove(stored);
    }
    not_tried_ += kRun - static_cast<int>(outcomes.size());
  }

  bool open() const { return session_open_; }
  void ArmHangUp() { hang_up_armed_ = true; }
  SessionWorker& worker() { return worker_; }
  void RefreshList() {
    listing_.reset();
    worker_.PostFetchList();
    Until([&] { return listing_ != nullptr; });
  }

  int fetched_ = 0, fetch_failed_ = 0, sent_ = 0, send_failed_ = 0, not_tried_ = 0, wrong_ = 0, reconnects_ = 0;

 private:
  fs::path dir_;
  SessionWorker worker_;
  std::unique_ptr<mirvo::sim::SimHandset> handset_;
  std::vector<FileOutcome> settled_;
  mirvo::ListingSnapshot listing_;
  int runs_finished_ = 0;
  bool connected_ = false, session_open_ = false, hang_up_armed_ = false;
};

void BM_SessionSoak(benchmark::State& state) {
  for (auto _ : state) {
    Soak soak;
    std::mt19937 random(20261208);
    if (!soak.Reconnect()) return state.SkipWithError("no session");
    for (int done = 0; done < kFiles; done += kRun) {
      if (done > 0 && done % kHangUpEvery == 0) soak.ArmHangUp();
      if (!soak.open() && !soak.Reconnect()) return state.SkipWithError("the session did not open again");
      soak.RefreshList();
      soak.Fetch(done, random);
      if (!soak.open() && !soak.Reconnect()) return state.SkipWithError("the session did not open again");
      soak.Send(done, random);
    }
    state.counters["fetched"] = soak.fetched_;
    state.counters["fetch_failed"] = soak.fetch_failed_;
    state.counters["sent"] = soak.sent_;
    state.counters["send_failed"] = soak.send_failed_;
    state.counters["not_tried"] = soak.not_tried_;
    state.counters["wrong"] = soak.wrong_;
    state.counters["sessions"] = soak.reconnects_;
  }
}

}  // namespace

BENCHMARK(BM_SessionSoak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
