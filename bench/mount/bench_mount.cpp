// The mounted handset on an emulated 115,200 bit/s line (11,520 bytes/s,
// the simulated handset's pacing), against the simulated handset:
//
//   bench_mount --benchmark_counters_tabular=true
//
// CopyOutVsBackup: cp -r of 20 files of 50 KiB out of the mount, and
// mirvo-cli backup of the same files (the whole command); payload bytes/s
// of each and their ratio (goal: at least 0.97).
// OneMiBEachWay: cp of one 1 MiB file out of the mount and one into it;
// payload bytes/s as a share of the line (goal: at least 0.98).
// Each takes minutes: one iteration.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "handset/sim_handset.h"
#include "mount_wait.h"
#include "pty_pair.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double kLineBytesPerSecond = 11520.0;

bool Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A paced simulated handset serving root, and the mount of it while held.
class MountedHandset {
 public:
  explicit MountedHandset(const fs::path& root, const std::string& base)
      : mnt_(base + "/mnt"), handset_(root, Paced()) {
    fs::create_directories(mnt_);
    if (const char* temp = std::getenv("TEMP")) old_temp_ = temp;
    setenv("TEMP", (base + "/temp").c_str(), 1);
  }
  ~MountedHandset() {
    Unmount();
    if (old_temp_.empty())
      unsetenv("TEMP");
    else
      setenv("TEMP", old_temp_.c_str(), 1);
  }

  const std::string& Device() const { return handset_.DevicePath(); }
  const std::string& Folder() const { return mnt_; }

  bool Mount() {
    thread_ = std::thread([this] {
      std::ostringstream out, err;
      mirvo::cli::RunCli({"mount", mnt_, "--port", handset_.DevicePath(), "--foreground"}, out, err,
                         mirvo::cli::CliOptions{});
    });
    return mirvo::testing::WaitForMount(mnt_, true, std::chrono::seconds(30));
  }
  void Unmount() {
    if (!thread_.joinable()) return;
    Shell("fusermount3 -u '" + mnt_ + "'");
    thread_.join();
  }

 private:
  static mirvo::sim::HandsetOptions Paced() {
    mirvo::sim::HandsetOptions options;
    options.bytes_per_second = static_cast<int>(kLineBytesPerSecond);
    options.record_bytes = false;
    return options;
  }

  std::string mnt_;
  std::string old_temp_;
  mirvo::sim::SimHandset handset_;
  std::thread thread_;
};

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void CopyOutVsBackup(benchmark::State& state) {
  mirvo::testing::TempDir dir;
  setenv("APPDATA", dir.path().c_str(), 1);
  const fs::path root = dir.path() + "/handset";
  constexpr int kFiles = 20;
  constexpr std::size_t kFileBytes = 50 * 1024;
  for (int i = 0; i < kFiles; ++i)
    mirvo::testing::WriteFile(root / "set" / ("f" + std::to_string(i) + ".bin"), mirvo::testing::PatternBytes(kFileBytes + i));
  double payload = 0;
  for (int i = 0; i < kFiles; ++i) payload += static_cast<double>(kFileBytes + i);
  for (auto _ : state) {
    MountedHandset handset(root, dir.path());
    std::ostringstream out, err;
    auto start = Clock::now();
    const int backup = mirvo::cli::RunCli({"--port", handset.Device(), "backup", dir.path() + "/backup"}, out, err,
                                          mirvo::cli::CliOptions{});
    const double backup_seconds = Seconds(start);
    if (backup != mirvo::cli::kExitOk || !handset.Mount()) {
      state.SkipWithError("backup or mount failed");
      return;
    }
    start = Clock::now();
    const bool copied = Shell("cp -r '" + handset.Folder() + "/set' '" + dir.path() + "/copy'");
    const double copy_seconds = Seconds(start);
    handset.Unmount();
    if (!copied) {
      state.SkipWithError("cp failed");
      return;
    }
    state.SetIterationTime(copy_seconds);
    state.counters["backup_Bps"] = payload / backup_seconds;
    state.counters["mount_cp_Bps"] = payload / copy_seconds;
    state.counters["ratio"] = backup_seconds / copy_seconds;
  }
}

void OneMiBEachWay(benchmark::State& state) {
  mirvo::testing::TempDir dir;
  setenv("APPDATA", dir.path().c_str(), 1);
  const fs::path root = dir.path() + "/handset";
  constexpr std::size_t kBytes = 1 << 20;
  mirvo::testing::WriteFile(root / "big.bin", mirvo::testing::PatternBytes(kBytes));
  mirvo::testing::WriteFile(dir.path() + "/up.bin", mirvo::testing::PatternBytes(kBytes + 1));
  for (auto _ : state) {
    MountedHandset handset(root, dir.path());
    if (!handset.Mount()) {
      state.SkipWithError("mount failed");
      return;
    }
    auto start = Clock::now();
    const bool out = Shell("cp '" + handset.Folder() + "/big.bin' '" + dir.path() + "/big.bin'");
    const double out_seconds = Seconds(start);
    start = Clock::now();
    const bool in = Shell("cp '" + dir.path() + "/up.bin' '" + handset.Folder() + "/up.bin'");
    const double in_seconds = Seconds(start);
    handset.Unmount();
    if (!out || !in) {
      state.SkipWithError("cp failed");
      return;
    }
    state.SetIterationTime(out_seconds + in_seconds);
    state.counters["out_share"] = kBytes / out_seconds / kLineBytesPerSecond;
    state.counters["in_share"] = (kBytes + 1) / in_seconds / kLineBytesPerSecond;
  }
}

BENCHMARK(CopyOutVsBackup)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(OneMiBEachWay)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
