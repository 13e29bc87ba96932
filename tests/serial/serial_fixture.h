// A pseudo-terminal line and a throwaway settings folder for port tests.
// The port opens the slave side; the test plays the handset on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "core/paths.h"
#include "pty_pair.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"

namespace mirvo::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline milliseconds Since(Clock::time_point t0) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t0);
}

// Slack for a loaded machine or a sanitizer build; a time-out must never
// come earlier than its limit.
inline constexpr milliseconds kMargin{1500};

// Changes one setting of the port and keeps the others.
template <class T>
void ChangeSetting(SerialPort& port, T SerialSettings::*field, std::type_identity_t<T> value) {
  SerialSettings settings = port.GetSettings();
  settings.*field = std::move(value);
  port.SetSettings(settings);
}

// Sets one callback of the port (nullptr removes it) and keeps the others.
inline void SetCallback(SerialPort& port, std::function<void()> SerialPort::Callbacks::*which,
                        std::function<void()> callback) {
  SerialPort::Callbacks callbacks = port.GetCallbacks();
  callbacks.*which = std::move(callback);
  port.SetCallbacks(std::move(callbacks));
}

class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("APPDATA");
    if (old) old_appdata_ = old;
    setenv("APPDATA", dir_.path().c_str(), 1);
    // Only the test's own links resolve: never the fixed table's devices.
    SetPortResolver([](const std::string& name) -> std::optional<std::string> {
      if (!name.empty() && name.front() == '/') return name;
      const auto n = ComPortNumber(name);
      std::error_code ec;
      if (!n || !std::filesystem::is_symlink(LinkPath(*n), ec)) return std::nullopt;
      return DefaultPortResolver(name);
    });
    // Opened before the port takes the device exclusively.
    watch_ = open(pty_.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watch_, 0);
  }

  void TearDown() override {
    if (watch_ >= 0) close(watch_);
    SetPortResolver(nullptr);
    if (old_appdata_) {
      setenv("APPDATA", old_appdata_->c_str(), 1);
    } else {
      unsetenv("APPDATA");
    }
  }

  static std::filesystem::path LinkPath(int n) {
    return std::filesystem::path(SettingsDir()) / "ports" / ("COM" + std::to_string(n));
  }

  // <settings dir>/ports/COMn -> target
  static void LinkCom(int n, const std::string& target) {
    std::filesystem::create_directories(LinkPath(n).parent_path());
    std::filesystem::create_symlink(target, LinkPath(n));
  }

  // Waits on the device itself until at least n received bytes are queued.
  bool WaitQueued(int n, milliseconds bound = milliseconds(5000)) {
    const auto deadline = Clock::now() + bound;
    while (true) {
      int queued = 0;
      if (ioctl(watch_, FIONREAD, &queued) == 0 && queued >= n) return true;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{watch_, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left));
    }
  }

  int watch_fd() const { return watch_; }

  PtyPair pty_;
  TempDir dir_;

 private:
  std::optional<std::string> old_appdata_;
  int watch_ = -1;
};

}  // namespace mirvo::testing
