// An engine on a real pseudo-terminal, with the trace on and the engine's
// notices recorded. The other end is either the test itself (PtyPair) or the
// simulated handset.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "protocol/trace_log.h"
#include "protocol/frame_codes.h"
#include "protocol/protocol_engine.h"
#include "pty_pair.h"
#include "test_files.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo {

// Results read as their names' numbers in failure messages.
inline void PrintTo(ExchangeResult result, std::ostream* out) { *out << static_cast<int>(result); }

}  // namespace mirvo

namespace mirvo::testing {

inline std::string Frame(std::uint8_t type, std::string_view data, bool crlf = false) {
  std::string out;
  MakeDataFrame(&out, type, data.data(), static_cast<int>(data.size()), crlf);
  return out;
}

class EngineTest : public ::testing::Test {
 protected:
  // Opens the port on device and starts a fresh trace.
  void OpenEngine(const std::string& device) {
    log_path_ = dir_.path() + "/debug.log";
    std::ofstream(log_path_).flush();
    LogStartAt(log_path_);
    port_ = std::make_unique<SerialPort>();
    SerialSettings settings;
    settings.port_name = device;
    settings.baud_rate = 115200;
    port_->SetSettings(settings);
    ASSERT_TRUE(port_->Open()) << device;
    engine_ = std::make_unique<ProtocolEngine>(*port_);
    engine_->On().notice = [this](EngineNotice n) { notices_.push_back(n); };
    // Shrunk waits: a failing exchange ends in well under a second.
    engine_->SetTimeouts({.ack = 400, .data = 400, .reply = 400, .first_frame = 800});
  }
  void SetAckTimeout(int ms) {
    auto timeouts = engine_->GetTimeouts();
    timeouts.ack = ms;
    engine_->SetTimeouts(timeouts);
  }
  void TearDown() override {
    engine_.reset();
    port_.reset();
    LogClose();
  }
  std::string Trace() const { return ReadFile(log_path_); }
  bool Traced(std::string_view utf8) const {
    return Trace().find(text::Cp932(utf8)) != std::string::npos;
  }
  using Notices = std::vector<EngineNotice>;

  Notices notices_;
  TempDir dir_;
  std::string log_path_;
  std::unique_ptr<SerialPort> port_;
  std::unique_ptr<ProtocolEngine> engine_;
};

}  // namespace mirvo::testing
