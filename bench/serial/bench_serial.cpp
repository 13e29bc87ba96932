// Receive throughput of the port over a pseudo-terminal, each as a ratio to
// a raw read() loop on the same pair in the same run.
//
//   bench_serial --benchmark_counters_tabular=true
//
// ratio_to_raw is port throughput / raw throughput (1.0: as fast as raw).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kStream = 1 << 20;

std::string Pattern() {
  std::string s(kStream, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 131) >> 3);
  return s;
}

// The handset side sends the stream while the measured loop receives it.
template <class Receive>
double TimedPass(mirvo::testing::PtyPair& pty, const std::string& stream, Receive&& receive) {
  const auto t0 = Clock::now();
  std::thread sender([&] { pty.Send(stream); });
  const bool ok = receive();
  sender.join();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  return ok ? s : -1.0;
}

bool RawRead(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, buf + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 3000) <= 0) return false;
    } else if (r < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

template <class PortReceive>
void RunAgainstRaw(benchmark::State& state, PortReceive&& port_receive) {
  mirvo::testing::PtyPair pty;
  const std::string stream = Pattern();
  std::vector<char> buf(kStream);
  // Opened before the port, which takes the device exclusively.
  const int raw = open(pty.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  mirvo::SerialPort port;
  mirvo::SerialSettings settings;
  settings.port_name = pty.slave_path();
  settings.baud_rate = 115200;
  port.SetSettings(settings);
  if (raw < 0 || !port.Open()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    if (raw >= 0) close(raw);
    return;
  }
  double raw_s = 0, port_s = 0;
  for (auto _ : state) {
    const double r = TimedPass(pty, stream, [&] { return RawRead(raw, buf.data(), kStream); });
    const double p = TimedPass(pty, stream, [&] { return port_receive(port, buf.data()); });
    if (r < 0 || p < 0 || std::string_view(buf.data(), kStream) != stream) {
      state.SkipWithError("stream lost");
      break;
    }
    state.SetIterationTime(p);
    raw_s += r;
    port_s += p;
  }
  close(raw);
  const double mib = static_cast<double>(state.iterations());
  if (port_s > 0 && raw_s > 0) {
    state.counters["raw_MiB/s"] = mib / raw_s;
    state.counters["port_MiB/s"] = mib / port_s;
    state.counters["ratio_to_raw"] = raw_s / port_s;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStream));
}

// One Read of the whole stream.
void BM_ReadWhole(benchmark::State& state) {
  RunAgainstRaw(state, [](mirvo::SerialPort& port, char* buf) {
    port.SetTimeouts({.read_ms = 3000, .write_ms = 30000, .read_interval_ms = 0});
    return port.Read(buf, static_cast<int>(kStream));
  });
}
BENCHMARK(BM_ReadWhole)->UseManualTime()->Unit(benchmark::kMillisecond);

// One byte per Read, as the protocol engine receives: each byte has the
// whole wait as both limits.
void BM_ReadPerByte(benchmark::State& state) {
  const int interval = static_cast<int>(state.range(0));
  RunAgainstRaw(state, [interval](mirvo::SerialPort& port, char* buf) {
    port.SetTimeouts({.read_ms = 3000, .write_ms = 30000, .read_interval_ms = interval});
    for (std::size_t i = 0; i < kStream; ++i) {
      if (!port.Read(buf + i, 1)) return false;
    }
    return true;
  });
}
BENCHMARK(BM_ReadPerByte)->Arg(0)->Arg(3000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
