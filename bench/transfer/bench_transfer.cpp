// File transfers through the engine against the in-process simulated
// handset on a pseudo-terminal.
//
//   bench_transfer --benchmark_counters_tabular=true
//
// Unthrottled: MiB/s of GetFile and PutFile of 1 MiB, with the trace off
// and on, as a ratio to a raw read() loop on a pseudo-terminal in the same
// run, and process CPU seconds per MiB (engine and handset together).
// Line speed: 256 KiB each way at 115200 bit/s (11,520 bytes/s); efficiency
// is payload bytes/s over 11,520, next to the frame limit 1024/1029.
// UART queue: 1 MiB each way at 115200 bit/s, once on a plain pseudo-
// terminal and once behind a device whose 4 KiB send queue empties at line
// speed as a UART's does (bench/serial/uart_queue_device.h); goal: the two
// within 0.3 % of each other. About 90 s a run:
//   bench_transfer --benchmark_filter=BM_UartQueue --benchmark_counters_tabular=true
// Memory: the process's peak resident size after a 1 GiB upload (goal: under
// 32 MiB); run it alone for a figure of its own:
//   bench_transfer --benchmark_filter=BM_PutFileMemory
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "handset/sim_handset.h"
#include "protocol/trace_log.h"
#include "protocol/protocol_engine.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "uart_queue_device.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
constexpr double kLineBytesPerSecond = 11520.0;
constexpr auto kOk = mirvo::ExchangeResult::Ok;

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// MiB/s of a raw read() loop over a fresh pseudo-terminal, 8 MiB.
double RawPtyMiBps() {
  static const double measured = [] {
    mirvo::testing::PtyPair pty;
    const int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const std::string stream = Pattern(8 * kMiB);
    std::vector<char> buf(65536);
    const auto t0 = Clock::now();
    std::thread sender([&] { pty.Send(stream); });
    std::size_t got = 0;
    while (got < stream.size()) {
      const ssize_t r = ::read(fd, buf.data(), buf.size());
      if (r > 0) {
        got += static_cast<std::size_t>(r);
      } else {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) break;
      }
    }
    sender.join();
    ::close(fd);
    return static_cast<double>(got) / kMiB / std::chrono::duration<double>(Clock::now() - t0).count();
  }();
  return measured;
}

// A handset serving a folder, and an open engine on its line.
class Rig {
 public:
  explicit Rig(int bytes_per_second, bool trace, int baud_rate = 115200) {
    char tmpl[] = "/tmp/mirvo-bench-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "handset");
    fs::create_directories(dir_ / "local");
    mirvo::sim::HandsetOptions options;
    options.bytes_per_second = bytes_per_second;
    options.record_bytes = false;
    handset_ = std::make_unique<mirvo::sim::SimHandset>(dir_ / "handset", options);
    if (trace) {
      std::ofstream(dir_ / "debug.log").flush();
      mirvo::LogStartAt((dir_ / "debug.log").string());
    }
    mirvo::SerialSettings settings;
    settings.port_name = handset_->DevicePath();
    settings.baud_rate = baud_rate;
    port_.SetSettings(settings);
    ok_ = port_.Open();
    engine_ = std::make_unique<mirvo::ProtocolEngine>(port_);
    ok_ = ok_ && engine_->EstablishLink() == kOk && engine_->FtStart("0000") == kOk;
  }
  ~Rig() {
    engine_.reset();
    port_.Close();
    mirvo::LogClose();
    handset_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  mirvo::ProtocolEngine& engine() { return *engine_; }
  fs::path HandsetFile(const std::string& name) const { return dir_ / "handset" / name; }
  fs::path LocalFile(const std::string& name) const { return dir_ / "local" / name; }
  static void Write(const fs::path& p, const std::string& data) {
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  }

 private:
  fs::path dir_;
  std::unique_ptr<mirvo::sim::SimHandset> handset_;
  mirvo::SerialPort port_;
  std::unique_ptr<mirvo::ProtocolEngine> engine_;
  bool ok_ = false;
};

// Record order: protection and copy guard (positions 32 and 31) off, the rest unused.
const std::string kAttr = std::string(30, '-') + "00";

void Report(benchmark::State& state, std::size_t bytes, double seconds, double cpu) {
  const double mibps = static_cast<double>(bytes) / kMiB / seconds;
  state.counters["MiB/s"] = mibps;
  state.counters["raw_MiB/s"] = RawPtyMiBps();
  state.counters["ratio_to_raw"] = mibps / RawPtyMiBps();
  state.counters["cpu_s_per_MiB"] = cpu / (static_cast<double>(bytes) / kMiB);
}

void BM_GetFile(benchmark::State& state) {
  Rig rig(0, state.range(0) != 0);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::string content = Pattern(kMiB);
  Rig::Write(rig.HandsetFile("big.bin"), content);
  double seconds = 0, cpu = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string data;
    const double c0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    const mirvo::ExchangeResult r = rig.engine().GetFile(data, "big.bin");
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    cpu += ProcessCpuSeconds() - c0;
    if (r != kOk || data != content) return state.SkipWithError("download failed");
    bytes += data.size();
  }
  Report(state, bytes, seconds, cpu);
}

void BM_PutFile(benchmark::State& state) {
  Rig rig(0, state.range(0) != 0);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::string content = Pattern(kMiB);
  const auto local = rig.LocalFile("big.bin");
  Rig::Write(local, content);
  double seconds = 0, cpu = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const double c0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    const mirvo::ExchangeResult r = rig.engine().PutFile("", local.string(), kAttr);
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    cpu += ProcessCpuSeconds() - c0;
    if (r != kOk) return state.SkipWithError("upload failed");
    bytes += content.size();
  }
  Report(state, bytes, seconds, cpu);
}

// Seconds spent moving content one way per iteration (range(0): 0 download,
// 1 upload), or a negative number when a transfer failed.
double TimeOneWay(benchmark::State& state, Rig& rig, const std::string& content) {
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    mirvo::ExchangeResult r;
    if (state.range(0) == 0) {
      std::string data;
      r = rig.engine().GetFile(data, "tone.bin");
      if (data != content) r = mirvo::ExchangeResult::Failed;
    } else {
      r = rig.engine().PutFile("", rig.LocalFile("tone.bin").string(), kAttr);
    }
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    if (r != kOk) return -1;
  }
  return seconds;
}

// 256 KiB at 115200 bit/s; range(0): 0 download, 1 upload.
void BM_LineSpeed(benchmark::State& state) {
  Rig rig(static_cast<int>(kLineBytesPerSecond), false);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::size_t size = 256 * 1024;
  const std::string content = Pattern(size);
  Rig::Write(rig.HandsetFile("tone.bin"), content);
  Rig::Write(rig.LocalFile("tone.bin"), content);
  const double seconds = TimeOneWay(state, rig, content);
  if (seconds < 0) return state.SkipWithError("transfer failed");
  const double bps = static_cast<double>(size) * static_cast<double>(state.iterations()) / seconds;
  state.counters["bytes/s"] = bps;
  state.counters["efficiency"] = bps / kLineBytesPerSecond;
  state.counters["of_frame_limit"] = bps / kLineBytesPerSecond / (1024.0 / 1029.0);
}

// 1 MiB at 115200 bit/s; range(0): 0 download, 1 upload; range(1): 0 a
// plain pseudo-terminal, 1 the UART queue in front of it.
void BM_UartQueue(benchmark::State& state) {
  mirvo::bench::UartQueueDevices devices(state.range(1) != 0 ? 4096 : 0);
  Rig rig(static_cast<int>(kLineBytesPerSecond), false);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::string content = Pattern(kMiB);
  Rig::Write(rig.HandsetFile("tone.bin"), content);
  Rig::Write(rig.LocalFile("tone.bin"), content);
  const double seconds = TimeOneWay(state, rig, content);
  if (seconds < 0) return state.SkipWithError("transfer failed");
  state.counters["seconds"] = seconds / static_cast<double>(state.iterations());
  state.counters["of_frame_limit"] =
      static_cast<double>(kMiB) * static_cast<double>(state.iterations()) / seconds / kLineBytesPerSecond / (1024.0 / 1029.0);
}

// An upload longer than a UART's 4 KiB send queue on a slow line: the last
// frame's drain waits behind everything queued before it. range(0): bit/s.
void BM_SlowUartUpload(benchmark::State& state) {
  const int bps = static_cast<int>(state.range(0));
  mirvo::bench::UartQueueDevices devices(4096);
  Rig rig(bps / 10, false, bps);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::string content = Pattern(bps >= 9600 ? 16 * 1024 : 6 * 1024);
  Rig::Write(rig.LocalFile("slow.bin"), content);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const mirvo::ExchangeResult r = rig.engine().PutFile("", rig.LocalFile("slow.bin").string(), kAttr);
    state.counters["seconds"] = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ifstream in(rig.HandsetFile("slow.bin"), std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (r != kOk || stored != content) return state.SkipWithError("upload failed");
  }
}

// 1 GiB of zeros, sparse on the PC's side, unthrottled.
void BM_PutFileMemory(benchmark::State& state) {
  Rig rig(0, false);
  if (!rig.ok()) return state.SkipWithError("session did not open");
  const std::uintmax_t size = std::uintmax_t{1} << 30;
  const auto local = rig.LocalFile("huge.bin");
  std::ofstream(local).flush();
  fs::resize_file(local, size);
  for (auto _ : state) {
    const mirvo::ExchangeResult r = rig.engine().PutFile("", local.string(), kAttr);
    std::error_code ec;
    const bool whole = fs::file_size(rig.HandsetFile("huge.bin"), ec) == size;
    fs::remove(rig.HandsetFile("huge.bin"), ec);
    if (r != kOk || !whole) return state.SkipWithError("upload failed");
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_RSS_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

}  // namespace

BENCHMARK(BM_GetFile)->Arg(0)->Arg(1)->ArgName("trace")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PutFile)->Arg(0)->Arg(1)->ArgName("trace")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LineSpeed)->Arg(0)->Arg(1)->ArgName("upload")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_UartQueue)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"upload", "uart"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_SlowUartUpload)->Arg(9600)->Arg(1200)->ArgName("bps")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_PutFileMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
