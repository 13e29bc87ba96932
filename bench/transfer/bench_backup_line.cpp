// How long the line waits on Mirvo during `mirvo-cli backup`: 200 files of
// 2-200 KiB (log-uniform sizes) from the simulated handset paced at
// 115200 bit/s (11,520 bytes/s), the cli run in-process on a device with a
// UART's send queue (bench/serial/uart_queue_device.h) that timestamps the
// line. Goal: idle_on_us_s under 0.2 s.
//
//   bench_backup_line --benchmark_counters_tabular=true     (about 200 s)
//
// idle_on_us_s: the sum, over every write, of the time since the line last
// carried a byte (the last byte read, or the end of the bytes written
// before); longest_ms the longest such wait; between_files_ms the part of
// it before each GET_FILE command (the turn from one file to the next).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "cli/cli.h"
#include "handset/sim_handset.h"
#include "test_files.h"
#include "uart_queue_device.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 200;
constexpr int kLineBytesPerSecond = 11520;

void BM_BackupLineIdle(benchmark::State& state) {
  char tmpl[] = "/tmp/mirvo-backup-bench-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  const fs::path root = dir / "handset";
  std::uint64_t x = 7;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<double>(x % 1'000'000) / 1'000'000.0;
  };
  std::int64_t total = 0;
  for (int i = 0; i < kFiles; ++i) {
    const auto size = static_cast<std::size_t>(std::exp(std::log(2048.0) + next() * std::log(100.0)));
    mirvo::testing::WriteFile(root / ("d" + std::to_string(i % 5)) / ("f" + std::to_string(1000 + i) + ".bin"),
                              mirvo::testing::PatternBytes(size + static_cast<std::size_t>(i)).substr(0, size));
    total += static_cast<std::int64_t>(size);
  }
  mirvo::testing::WriteFile(root / ".handset-attributes", "");
  setenv("APPDATA", (dir / "appdata").c_str(), 1);
  mirvo::sim::HandsetOptions options;
  options.bytes_per_second = kLineBytesPerSecond;
  options.record_bytes = false;
  mirvo::sim::SimHandset handset(root, options);
  mirvo::bench::UartQueueDevices devices(4096);
  double seconds = 0;
  for (auto _ : state) {
    fs::remove_all(dir / "out");
    devices.ClearRecord();
    std::ostringstream out, err;
    const auto t0 = Clock::now();
    const int status = mirvo::cli::RunCli(
        {"--port", handset.DevicePath(), "--password", "0000", "backup", (dir / "out").string()}, out, err);
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    if (status != mirvo::cli::kExitOk || out.str().find(std::to_string(kFiles) + " fetched") == std::string::npos)
      return state.SkipWithError(("backup failed: " + out.str() + err.str()).c_str());
  }
  const mirvo::bench::LineRecord& record = devices.Record();
  std::chrono::nanoseconds longest{0}, between{0};
  for (std::size_t i = 0; i < record.gaps.size(); ++i) {
    const auto& gap = record.gaps[i];
    longest = std::max(longest, gap.idle);
    // A command frame: ETX, two length bytes, its text.
    if (gap.head.size() > 11 && gap.head.compare(3, 8, "GET_FILE") == 0) between += gap.idle;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["seconds"] = seconds / n;
  state.counters["payload_B"] = static_cast<double>(total);
  state.counters["of_line"] = static_cast<double>(total) * n / seconds / kLineBytesPerSecond;
  state.counters["idle_on_us_s"] = std::chrono::duration<double>(record.Total()).count();
  state.counters["writes_after_idle"] = static_cast<double>(record.gaps.size());
  state.counters["longest_ms"] = std::chrono::duration<double, std::milli>(longest).count();
  state.counters["between_files_ms"] = std::chrono::duration<double, std::milli>(between).count() / kFiles;
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_BackupLineIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
