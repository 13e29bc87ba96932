// mirvo-handset: serves a local folder as a simulated handset on a
// pseudo-terminal until SIGINT or SIGTERM.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "core/paths.h"
#include "handset/sim_handset.h"
#include "text/cp932.h"

namespace {

constexpr const char* kUsage =
    "Usage: mirvo-handset [options]\n"
    "Serves a folder as a simulated handset on a new pseudo-terminal and prints\n"
    "its device path; runs until interrupted.\n"
    "\n"
    "  --root DIR          folder to serve (default: the current folder)\n"
    "  --link COMn         also link <settings dir>/ports/COMn to the device\n"
    "                      (n = 1..256); the link is removed when unplugged\n"
    "                      and at exit\n"
    "  --settings-dir DIR  settings folder for --link (default: the program's)\n"
    "  --vendor V          ATI3 answer (default ZQR)\n"
    "  --model M           ATI4 answer (default TQ-R5101K)\n"
    "  --password P        FT_START password (default 0000)\n"
    "  --bps N             emulate a line of N bit/s, 8N1: N/10 bytes/s\n"
    "                      (default 0: as fast as the terminal goes)\n"
    "  --list-frame N      list bytes per frame, 1..1024 (default 1024)\n"
    "  --stream-through-nak  send a list or file to its last frame even after\n"
    "                      the PC's NAK, as a handset with queued frames does\n"
    "  --unplug-after S    pull the handset out after S seconds (decimals\n"
    "                      allowed): its link and pseudo-terminal go away\n"
    "  --replug-after S    plug it in again S seconds after that, on a new\n"
    "                      pseudo-terminal, whose path is printed\n"
    "  --verbose           print each command received on stderr\n"
    "  --help              this text\n"
    "\n"
    "Attributes per file: <root>/.handset-attributes, one line per file:\n"
    "<path relative to the root> TAB <32 flags>; first flag protection,\n"
    "second copy guard (1 on, 0 off, - unused).\n";

int Fail(const std::string& message) {
  std::cerr << "mirvo-handset: " << message << "\n";
  return 2;
}

std::optional<int> ParseInt(std::string_view s, int low, int high) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Whole or decimal seconds ("2", "0.5"), up to a day.
std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view s) {
  double seconds = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), seconds, std::chars_format::fixed);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || seconds < 0 || seconds > 86400)
    return std::nullopt;
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Waits for a stop signal, for at most `bound` when given; true when one came.
bool AwaitStop(const sigset_t& signals, std::optional<std::chrono::milliseconds> bound) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + bound.value_or(std::chrono::milliseconds(0));
  for (;;) {
    if (!bound) {
      int signal = 0;
      sigwait(&signals, &signal);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    const timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    if (sigtimedwait(&signals, nullptr, &ts) > 0) return true;
    if (errno == EAGAIN) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path root = ".";
  std::string link_name, settings_dir = mirvo::SettingsDir();
  mirvo::sim::HandsetOptions options;
  options.record_bytes = false;
  bool verbose = false;
  std::optional<std::chrono::milliseconds> unplug_after, replug_after;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--verbose") {
      verbose = true;
      continue;
    }
    if (arg == "--stream-through-nak") {
      options.stream_through_nak = true;
      continue;
    }
    if (i + 1 >= argc) return Fail("unknown option or missing value: " + std::string(arg) + " (see --help)");
    const std::string value = argv[++i];
    auto cp932 = [&](std::string& out) {
      auto converted = mirvo::text::Utf8ToCp932(value);
      if (!converted) return false;
      out = std::move(*converted);
      return true;
    };
    if (arg == "--root") {
      root = value;
    } else if (arg == "--link") {
      const auto n = value.size() > 3 && value.substr(0, 3) == "COM" ? ParseInt(value.substr(3), 1, 256) : std::nullopt;
      if (!n || value[3] == '0') return Fail("--link wants COM1 to COM256, not " + value);
      link_name = value;
    } else if (arg == "--settings-dir") {
      settings_dir = value;
    } else if (arg == "--vendor") {
      if (!cp932(options.vendor)) return Fail("--vendor has no code page 932 form");
    } else if (arg == "--model") {
      if (!cp932(options.model)) return Fail("--model has no code page 932 form");
    } else if (arg == "--password") {
      if (!cp932(options.password)) return Fail("--password has no code page 932 form");
    } else if (arg == "--bps") {
      const auto n = ParseInt(value, 0, 100'000'000);
      // Under 10 bit/s a line moves less than a byte a second, which the
      // pacing cannot express: refused rather than run unpaced.
      if (!n || (*n > 0 && *n < 10)) return Fail("--bps wants 0 or a whole number of bit/s from 10");
      options.bytes_per_second = *n / 10;
    } else if (arg == "--unplug-after" || arg == "--replug-after") {
      const auto t = ParseSeconds(value);
      if (!t) return Fail(std::string(arg) + " wants seconds, 0 to 86400");
      (arg == "--unplug-after" ? unplug_after : replug_after) = t;
    } else if (arg == "--list-frame") {
      const auto n = ParseInt(value, 1, 1024);
      if (!n) return Fail("--list-frame wants 1 to 1024");
      options.list_frame_bytes = *n;
    } else {
      return Fail("unknown option: " + std::string(arg) + " (see --help)");
    }
  }
  if (replug_after && !unplug_after) return Fail("--replug-after wants --unplug-after");
  if (!link_name.empty()) options.port_link = std::filesystem::path(settings_dir) / "ports" / link_name;
  if (verbose) {
    options.on_command = [](const std::string& command) {
      const auto shown = mirvo::text::Cp932ToUtf8(command);
      std::fprintf(stderr, "mirvo-handset: %s\n", shown ? shown->c_str() : "(a command with no UTF-8 form)");
    };
  }

  // Blocked before the serving thread starts, so that only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    mirvo::sim::SimHandset handset(root, options);
    std::cout << handset.DevicePath() << std::endl;
    std::cerr << "mirvo-handset: serving " << std::filesystem::absolute(root).string();
    if (!options.port_link.empty()) std::cerr << " as " << options.port_link.string();
    std::cerr << "; stop with Ctrl+C\n";
    if (unplug_after && !AwaitStop(stop_signals, unplug_after)) {
      handset.Unplug();
      std::cerr << "mirvo-handset: unplugged\n";
      if (replug_after && !AwaitStop(stop_signals, replug_after)) {
        if (!handset.Replug()) return Fail("cannot plug in again");
        std::cout << handset.DevicePath() << std::endl;
        std::cerr << "mirvo-handset: plugged in again\n";
      }
    }
    AwaitStop(stop_signals, std::nullopt);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return 0;
}
