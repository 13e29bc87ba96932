// mirvo-handset: serves a local folder as a simulated handset on a
// pseudo-terminal until SIGINT or SIGTERM.
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
    "                      (n = 1..256); the link is removed at exit\n"
    "  --settings-dir DIR  settings folder for --link (default: the program's)\n"
    "  --vendor V          ATI3 answer (default ZQR)\n"
    "  --model M           ATI4 answer (default TQ-R5101K)\n"
    "  --password P        FT_START password (default 0000)\n"
    "  --bps N             emulate a line of N bit/s, 8N1: N/10 bytes/s\n"
    "                      (default 0: as fast as the terminal goes)\n"
    "  --list-frame N      list bytes per frame, 1..1024 (default 1024)\n"
    "  --stream-through-nak  send a list or file to its last frame even after\n"
    "                      the PC's NAK, as a handset with queued frames does\n"
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

// The link is ours to remove only while it still points at our device.
class PortLink {
 public:
  PortLink(std::filesystem::path link, const std::string& target) : link_(std::move(link)), target_(target) {
    std::filesystem::create_directories(link_.parent_path());
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(link_, ec);
    if (std::filesystem::exists(status)) {
      if (!std::filesystem::is_symlink(status)) throw std::runtime_error(link_.string() + " exists and is no link");
      std::filesystem::remove(link_);
    }
    std::filesystem::create_symlink(target_, link_);
  }
  ~PortLink() {
    std::error_code ec;
    if (std::filesystem::read_symlink(link_, ec) == target_) std::filesystem::remove(link_, ec);
  }
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;
  const std::filesystem::path& Path() const { return link_; }

 private:
  std::filesystem::path link_;
  std::filesystem::path target_;
};

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path root = ".";
  std::string link_name, settings_dir = mirvo::SettingsDir();
  mirvo::sim::HandsetOptions options;
  options.record_bytes = false;
  bool verbose = false;

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
    } else if (arg == "--list-frame") {
      const auto n = ParseInt(value, 1, 1024);
      if (!n) return Fail("--list-frame wants 1 to 1024");
      options.list_frame_bytes = *n;
    } else {
      return Fail("unknown option: " + std::string(arg) + " (see --help)");
    }
  }
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
    std::optional<PortLink> link;
    if (!link_name.empty()) link.emplace(std::filesystem::path(settings_dir) / "ports" / link_name, handset.DevicePath());
    std::cout << handset.DevicePath() << std::endl;
    std::cerr << "mirvo-handset: serving " << std::filesystem::absolute(root).string();
    if (link) std::cerr << " as " << link->Path().string();
    std::cerr << "; stop with Ctrl+C\n";
    int signal = 0;
    sigwait(&stop_signals, &signal);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return 0;
}
