// File transfers through the main window (selection, staging, progress,
// event processing) against the in-process simulated handset, next to the
// engine's own GetFile and PutFile on the same line in the same run.
//
//   QT_QPA_PLATFORM=offscreen bench_window_transfer --benchmark_counters_tabular=true
//
// Unthrottled, 10 MiB each way: window MiB/s as a ratio to the engine's, and
// the longest gap between two ticks of a 5 ms timer while the window moves
// the file; for downloads also the time to write the staged copy alone
// (written whole and flushed to disk), which the engine's figure leaves out. Line speed (115200 bit/s, 11,520 bytes/s): 20 files of 2 KiB in
// one download run; files/s, payload efficiency, and where each file's time
// goes: command to first data, data, and from the last data frame to the
// next file's command (completion handshake plus the window's own work).
// Upload at line speed, 20 files of 2 KiB in one run on a device with a
// UART's send queue (bench/serial/uart_queue_device.h): the time the line
// waits on Mirvo between two files (from the handset's last reply to the
// next PUT_FILE, less the line time of the ACK between): goal under 3 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QItemSelectionModel>
#include <QTimer>
#include <QTreeView>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <utility>

#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/main_window.h"
#include "app/session_controller.h"
#include "app/transfer_controller.h"
#include "app/message_box.h"
#include "app/staging.h"
#include "handset/sim_handset.h"
#include "protocol/protocol_engine.h"
#include "test_files.h"
#include "uart_queue_device.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using mirvo::app::MainWindow;

constexpr std::size_t kMiB = 1 << 20;
constexpr double kLineBytesPerSecond = 11520.0;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A connected window on a handset serving a throwaway folder.
class WindowRig {
 public:
  explicit WindowRig(mirvo::sim::HandsetOptions options) {
    char tmpl[] = "/tmp/mirvo-wbench-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "handset");
    setenv("APPDATA", dir_.c_str(), 1);
    options.record_bytes = false;
    options.on_command = [this](const std::string& command) {
      if (command.rfind("GET_FILE", 0) != 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(Clock::now());
    };
    handset_ = std::make_unique<mirvo::sim::SimHandset>(dir_ / "handset", options);
    fs::create_directories(dir_ / "ZQR" / "mirvo" / "ports");
    fs::create_symlink(handset_->DevicePath(), dir_ / "ZQR" / "mirvo" / "ports" / "COM3");
    mirvo::testing::WriteFile(dir_ / "ZQR" / "mirvo" / "config.ini", "COM=COM3\r\nPASSWORD=0000\r\n");
    hooks_.SetResponder([this](const mirvo::app::MessageRequest& r) {
      messages_ += r.text.toStdString() + "\n";
      return mirvo::app::MsgAnswer::Ok;
    });
    window_ = std::make_unique<MainWindow>();
    window_->SetConnectOnFirstActivation(false);
    window_->Transfers().SetStagingDir((dir_ / "stage").string() + "/");
  }
  ~WindowRig() {
    window_->close();
    window_.reset();
    handset_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  bool Connect() {
    return window_->Session().Connect() == mirvo::app::CommandResult::kStarted && WaitIdle() && window_->Session().IsSessionOpen() && messages_.empty();
  }
  // Serves the window's events until the session is free again.
  bool WaitIdle() {
    QElapsedTimer clock;
    clock.start();
    while (window_->Session().IsBusy() && clock.elapsed() < 600'000)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return !window_->Session().IsBusy();
  }
  // Starts a run and serves the window's events until it has ended.
  bool RunToEnd(const std::function<mirvo::app::CommandResult()>& start) {
    bool ended = false;
    const auto c = QObject::connect(&window_->Transfers(), &mirvo::app::TransferController::RunFinished,
                                    [&] { ended = true; });
    const bool started = start() == mirvo::app::CommandResult::kStarted;
    while (started && !ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QObject::disconnect(c);
    return started && WaitIdle();
  }
  // Runs fn with the session's engine on its own thread, and waits for it.
  bool OnEngine(const std::function<bool(mirvo::ProtocolEngine&)>& fn) {
    std::promise<bool> done;
    window_->Session().Worker().PostInspect(
        [&](mirvo::SerialPort&, mirvo::ProtocolEngine& engine) { done.set_value(fn(engine)); });
    return done.get_future().get();
  }
  MainWindow& window() { return *window_; }
  fs::path HandsetFile(const std::string& name) const { return dir_ / "handset" / name; }
  fs::path LocalFile(const std::string& name) const { return dir_ / "local" / name; }
  fs::path Staged(const std::string& name) const { return dir_ / "stage" / name; }
  const std::string& messages() const { return messages_; }

  void SelectAll() {
    auto& model = window_->Files().Model();
    QItemSelection all(model.index(0, 0), model.index(model.rowCount() - 1, 0));
    window_->Files().DetailView()->selectionModel()->select(all, QItemSelectionModel::ClearAndSelect |
                                                             QItemSelectionModel::Rows);
  }
  std::vector<Clock::time_point> TakeCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(commands_, {});
  }

 private:
  fs::path dir_;
  mirvo::app::MessageBoxes hooks_;
  std::unique_ptr<mirvo::sim::SimHandset> handset_;
  std::unique_ptr<MainWindow> window_;
  std::string messages_;
  std::mutex mutex_;
  std::vector<Clock::time_point> commands_;
};

// The longest gap between two ticks of a 5 ms timer while fn runs.
template <class F>
double LongestGapMs(F&& fn) {
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QTimer tick;
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longest = std::max(longest, clock.elapsed() - last);
    last = clock.elapsed();
  });
  clock.start();
  tick.start();
  fn();
  tick.stop();
  return static_cast<double>(std::max(longest, clock.elapsed() - last));
}

// range(0): 0 download, 1 upload. 10 MiB, window path and engine path.
void BM_WindowVsEngine(benchmark::State& state) {
  const bool upload = state.range(0) != 0;
  WindowRig rig({});
  const std::string content = mirvo::testing::PatternBytes(10 * kMiB);
  mirvo::testing::WriteFile(rig.HandsetFile("big.bin"), content);
  mirvo::testing::WriteFile(rig.LocalFile("up.bin"), content);
  if (!rig.Connect()) return state.SkipWithError("session did not open");
  MainWindow& w = rig.window();
  const std::string attr = std::string(30, '-') + "00";
  double window_s = 0, engine_s = 0, gap = 0;
  // The engine alone on the session's thread, without the window's progress.
  auto engine = [&] {
    const auto t0 = Clock::now();
    const bool ok = rig.OnEngine([&](mirvo::ProtocolEngine& e) {
      const auto progress = std::exchange(e.On().progress, nullptr);
      std::string data;
      const bool done = upload ? e.PutFile("", rig.LocalFile("up.bin").string(), attr) == mirvo::ExchangeResult::Ok
                               : e.GetFile(data, "big.bin") == mirvo::ExchangeResult::Ok && data == content;
      e.On().progress = progress;
      return done;
    });
    engine_s += Seconds(Clock::now() - t0);
    return ok;
  };
  auto window = [&] {
    bool ran = false;
    const auto t0 = Clock::now();
    gap = std::max(gap, LongestGapMs([&] {
      if (upload) {
        ran = rig.RunToEnd([&] { return w.Transfers().UploadFiles({QString::fromStdString(rig.LocalFile("up.bin").string())}); });
      } else {
        rig.SelectAll();
        ran = rig.RunToEnd([&] { return w.Transfers().DownloadSelected(); });
      }
    }));
    window_s += Seconds(Clock::now() - t0);
    return ran && rig.messages().empty() && (upload || mirvo::testing::ReadFile(rig.Staged("big.bin")) == content);
  };
  // What the window adds that the engine alone does not do: the staged copy.
  double write_s = 0;
  auto write = [&] {
    std::string why;
    const auto t0 = Clock::now();
    const bool ok = upload || mirvo::app::WriteStagedFile(rig.Staged("").string(), rig.Staged("w.bin").string(),
                                                          content, "", why);
    write_s += Seconds(Clock::now() - t0);
    return ok;
  };
  bool engine_first = false;
  for (auto _ : state) {
    // Alternated, so that neither always runs on a line the other has warmed.
    engine_first = !engine_first;
    const bool ok = (engine_first ? engine() && window() : window() && engine()) && write();
    if (!ok) return state.SkipWithError("transfer failed");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["window_MiB/s"] = 10.0 * n / window_s;
  state.counters["engine_MiB/s"] = 10.0 * n / engine_s;
  state.counters["ratio"] = engine_s / window_s;
  state.counters["longest_gap_ms"] = gap;
  if (!upload) state.counters["staged_write_ms"] = 1000.0 * write_s / n;
}

// 20 files of 2 KiB in one download run at 115200 bit/s.
void BM_WindowLineSpeedSmallFiles(benchmark::State& state) {
  mirvo::sim::HandsetOptions options;
  options.bytes_per_second = static_cast<int>(kLineBytesPerSecond);
  WindowRig rig(options);
  constexpr int kFiles = 20;
  constexpr std::size_t kSize = 2048;
  for (int i = 0; i < kFiles; ++i)
    mirvo::testing::WriteFile(rig.HandsetFile("f" + std::to_string(100 + i) + ".bin"),
                              mirvo::testing::PatternBytes(kSize + static_cast<std::size_t>(i)).substr(0, kSize));
  if (!rig.Connect()) return state.SkipWithError("session did not open");
  MainWindow& w = rig.window();
  // When each file's last data came, seen on the session's thread.
  std::mutex last_mutex;
  std::vector<Clock::time_point> last_data;
  rig.OnEngine([&](mirvo::ProtocolEngine& e) {
    e.On().progress = [&, shown = e.On().progress](std::int64_t done) {
      shown(done);
      if (done != static_cast<std::int64_t>(kSize)) return;
      std::lock_guard lock(last_mutex);
      last_data.push_back(Clock::now());
    };
    return true;
  });
  double total = 0, to_data = 0, data = 0, between = 0;
  int files = 0, gaps = 0;
  for (auto _ : state) {
    rig.SelectAll();
    rig.TakeCommands();
    {
      std::lock_guard lock(last_mutex);
      last_data.clear();
    }
    qsizetype fetched = 0;
    const auto t0 = Clock::now();
    const bool ran = rig.RunToEnd([&] {
      return w.Transfers().DownloadSelected(
          [&](const mirvo::app::TransferController::Fetched& f) { fetched = f.local_paths.size(); });
    });
    const auto t1 = Clock::now();
    const std::vector<Clock::time_point> commands = rig.TakeCommands();
    std::lock_guard lock(last_mutex);
    if (!ran || fetched != kFiles || commands.size() != kFiles || last_data.size() != kFiles)
      return state.SkipWithError("download run failed");
    total += Seconds(t1 - t0);
    files += kFiles;
    for (int i = 0; i < kFiles; ++i) {
      // A file's data phase is 2 frames; the command exchange ends with the first.
      data += Seconds(last_data[static_cast<std::size_t>(i)] - commands[static_cast<std::size_t>(i)]);
      if (i + 1 < kFiles) {
        between += Seconds(commands[static_cast<std::size_t>(i) + 1] - last_data[static_cast<std::size_t>(i)]);
        ++gaps;
      }
    }
    to_data += Seconds(commands.front() - t0);
  }
  state.counters["files/s"] = files / total;
  state.counters["efficiency"] = static_cast<double>(files) * kSize / total / kLineBytesPerSecond;
  state.counters["cmd_to_last_data_ms"] = 1000.0 * data / files;
  state.counters["last_data_to_next_cmd_ms"] = gaps ? 1000.0 * between / gaps : 0;
  state.counters["run_start_to_first_cmd_ms"] = 1000.0 * to_data / static_cast<double>(state.iterations());
  state.counters["ideal_ms_per_file"] = 1000.0 * 2 * 1029 / kLineBytesPerSecond;
}

// One file of 256 KiB each way through the window at 115200 bit/s, as a
// share of what the line carries in 1,024-byte frames; range(0): upload.
void BM_WindowLineSpeedLargeFile(benchmark::State& state) {
  const bool upload = state.range(0) != 0;
  mirvo::sim::HandsetOptions options;
  options.bytes_per_second = static_cast<int>(kLineBytesPerSecond);
  WindowRig rig(options);
  const std::string content = mirvo::testing::PatternBytes(256 * 1024);
  mirvo::testing::WriteFile(rig.HandsetFile("tone.bin"), content);
  mirvo::testing::WriteFile(rig.LocalFile("tone.bin"), content);
  if (!rig.Connect()) return state.SkipWithError("session did not open");
  MainWindow& w = rig.window();
  w.SetReplaceAsker([](QWidget*, const QString&) { return mirvo::app::ReplaceAnswer::Replace; });
  double seconds = 0;
  for (auto _ : state) {
    rig.SelectAll();
    const auto t0 = Clock::now();
    const bool ran = rig.RunToEnd([&] {
      return upload ? w.Transfers().UploadFiles({QString::fromStdString(rig.LocalFile("tone.bin").string())})
                    : w.Transfers().DownloadSelected();
    });
    seconds += Seconds(Clock::now() - t0);
    if (!ran || !rig.messages().empty()) return state.SkipWithError("transfer failed");
  }
  const double bps = static_cast<double>(content.size()) * static_cast<double>(state.iterations()) / seconds;
  state.counters["of_frame_limit"] = bps / kLineBytesPerSecond / (1024.0 / 1029.0);
}

// 20 files of 2 KiB in one upload run at 115200 bit/s.
void BM_WindowUploadGap(benchmark::State& state) {
  mirvo::bench::UartQueueDevices devices(4096);
  mirvo::sim::HandsetOptions options;
  options.bytes_per_second = static_cast<int>(kLineBytesPerSecond);
  WindowRig rig(options);
  constexpr int kFiles = 20;
  QStringList paths;
  for (int i = 0; i < kFiles; ++i) {
    const fs::path local = rig.LocalFile("u" + std::to_string(100 + i) + ".bin");
    mirvo::testing::WriteFile(local, mirvo::testing::PatternBytes(2048 + static_cast<std::size_t>(i)).substr(0, 2048));
    paths << QString::fromStdString(local.string());
  }
  if (!rig.Connect()) return state.SkipWithError("session did not open");
  MainWindow& w = rig.window();
  std::vector<double> gaps_ms;
  for (auto _ : state) {
    devices.ClearRecord();
    int sent = 0;
    if (!rig.RunToEnd([&] { return w.Transfers().UploadFiles(paths, {}, [&](int n) { sent = n; }); }) ||
        sent != kFiles || !rig.messages().empty())
      return state.SkipWithError("upload run failed");
    const auto& gaps = devices.Record().gaps;
    bool first = true;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
      if (gaps[i].head.size() < 11 || gaps[i].head.compare(3, 8, "PUT_FILE") != 0) continue;
      if (!first) {
        // The file before ended with the handset's "OK" and our ACK.
        double ms = std::chrono::duration<double, std::milli>(gaps[i].idle).count();
        if (i > 0 && gaps[i - 1].head == "\x06") ms += std::chrono::duration<double, std::milli>(gaps[i - 1].idle).count();
        gaps_ms.push_back(ms);
      }
      first = false;
    }
  }
  if (gaps_ms.empty()) return state.SkipWithError("no gap seen");
  double sum = 0, longest = 0;
  for (double g : gaps_ms) {
    sum += g;
    longest = std::max(longest, g);
  }
  state.counters["gap_ms"] = sum / static_cast<double>(gaps_ms.size());
  state.counters["longest_gap_ms"] = longest;
  state.counters["gaps"] = static_cast<double>(gaps_ms.size());
}

}  // namespace

BENCHMARK(BM_WindowVsEngine)->Arg(0)->Arg(1)->ArgName("upload")->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WindowLineSpeedSmallFiles)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_WindowLineSpeedLargeFile)->Arg(0)->Arg(1)->ArgName("upload")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_WindowUploadGap)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
