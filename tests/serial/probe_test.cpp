// Identification and the port scan, over pseudo-terminals only.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "handset/sim_handset.h"
#include "pty_pair.h"
#include "serial/port_names.h"
#include "serial/probe.h"
#include "serial/serial_port.h"

using namespace mirvo;
using namespace mirvo::testing;
namespace fs = std::filesystem;

namespace {

constexpr int kByteWait = 200;

// A modem the test scripts: answers each command line from a table.
class ScriptedModem {
 public:
  explicit ScriptedModem(std::map<std::string, std::string> answers) : answers_(std::move(answers)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
  }
  const std::string& path() const { return pty_.slave_path(); }

 private:
  void Serve() {
    std::string line;
    while (!stop_) {
      const std::string b = pty_.Receive(1, std::chrono::milliseconds(50));
      if (b.empty()) continue;
      line += b;
      if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
        auto it = answers_.find(line.substr(0, line.size() - 2));
        if (it != answers_.end()) pty_.Send(it->second);
        line.clear();
      }
    }
  }
  PtyPair pty_;
  std::map<std::string, std::string> answers_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ProbeTest : public ::testing::Test {
 protected:
  void TearDown() override { SetPortResolver({}); }
  bool OpenOn(SerialPort& port, const std::string& path) {
    SerialSettings settings;
    settings.port_name = path;
    port.SetSettings(settings);
    return port.Open();
  }
  TempDir dir_;
};

}  // namespace

TEST_F(ProbeTest, ReadsVendorAndModelFromTheReplies) {
  fs::create_directories(dir_.path() + "/h");
  sim::SimHandset handset(dir_.path() + "/h");
  SerialPort port;
  ASSERT_TRUE(OpenOn(port, handset.DevicePath()));
  std::string vendor = "x", model = "y";
  ProbeHandset(port, vendor, model, kByteWait);
  EXPECT_EQ(vendor, "ZQR");
  EXPECT_EQ(model, "TQ-R5101K");
  EXPECT_EQ(port.GetTimeouts().read_ms, kByteWait);
  EXPECT_EQ(handset.Commands(), (std::vector<std::string>{"ATZ", "ATE0", "ATI3", "ATI4"}));
  EXPECT_EQ(port.BytesAvailable(), 0);
}

TEST_F(ProbeTest, ErrorRepliesAndSilence) {
  ScriptedModem modem({{"ATZ", "\r\nOK\r\n"}, {"ATE0", "\r\nOK\r\n"}, {"ATI3", "\r\nERROR\r\n"}, {"ATI4", "\r\nX1\r\nOK\r\n"}});
  SerialPort port;
  ASSERT_TRUE(OpenOn(port, modem.path()));
  std::string vendor, model;
  ProbeHandset(port, vendor, model, kByteWait);
  EXPECT_EQ(vendor, "ERROR");
  EXPECT_EQ(model, "X1");

  PtyPair silent;
  SerialPort quiet;
  ASSERT_TRUE(OpenOn(quiet, silent.slave_path()));
  vendor = model = "stale";
  ProbeHandset(quiet, vendor, model, kByteWait);
  EXPECT_EQ(vendor, "");
  EXPECT_EQ(model, "");

  // A stop ends a silent probe at its next wait, not after four byte waits.
  std::stop_source stop;
  quiet.SetStopToken(stop.get_token());
  stop.request_stop();
  const auto start = std::chrono::steady_clock::now();
  ProbeHandset(quiet, vendor, model, 60'000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(vendor, "");
}

TEST_F(ProbeTest, TheFirstPortOfAProbingPortIsProbedAtItsOpenLimit) {
  PtyPair silent;
  SetPortResolver([&](const std::string& name) -> std::optional<std::string> {
    if (name == "COM1") return silent.slave_path();
    return std::nullopt;
  });
  SerialPort probe;
  probe.SetTimeouts({.read_ms = 150, .write_ms = 30000, .read_interval_ms = 0});  // as the dialog opens it
  const auto t0 = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration took{};
  const auto records = ScanHandsetPorts(probe, 2000, [&](const ProbedPort& info) {
    EXPECT_EQ(info.port_name, "COM1");
    took = std::chrono::steady_clock::now() - t0;
  });
  ASSERT_EQ(records.size(), 1u);
  // 4 x 150 ms, not 4 x 2000 ms; later ports open with the longer limit.
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  EXPECT_EQ(probe.GetTimeouts().read_ms, 2000);
}

TEST_F(ProbeTest, AnEndlessReplyStopsAtTheBuffer) {
  fs::create_directories(dir_.path() + "/h");
  sim::HandsetOptions options;
  options.modem = sim::ModemMode::kEndless;
  sim::SimHandset handset(dir_.path() + "/h", options);
  SerialPort port;
  ASSERT_TRUE(OpenOn(port, handset.DevicePath()));
  std::string vendor, model;
  ProbeHandset(port, vendor, model, kByteWait);
  EXPECT_FALSE(vendor.empty());
  EXPECT_LE(vendor.size(), 1024u);
}

TEST_F(ProbeTest, ScanListsEveryPortThatOpensInOrder) {
  fs::create_directories(dir_.path() + "/h1");
  fs::create_directories(dir_.path() + "/h2");
  sim::SimHandset first(dir_.path() + "/h1");
  sim::HandsetOptions other;
  other.model = "TQ-X9";
  sim::SimHandset second(dir_.path() + "/h2", other);
  ScriptedModem foreign({{"ATI3", "\r\nACME\r\n\r\nOK\r\n"}, {"ATI4", "\r\nTQ-R5102K\r\n\r\nOK\r\n"}});
  PtyPair held;
  SerialPort holder;
  ASSERT_TRUE(OpenOn(holder, held.slave_path()));  // in use: gets no line

  const std::map<std::string, std::string> links{{"COM3", foreign.path()},
                                                 {"COM7", held.slave_path()},
                                                 {"COM12", second.DevicePath()},
                                                 {"COM200", first.DevicePath()}};
  std::vector<std::string> asked;
  SetPortResolver([&](const std::string& name) -> std::optional<std::string> {
    asked.push_back(name);
    auto it = links.find(name);
    if (it == links.end()) return std::nullopt;
    return it->second;
  });
  SerialPort probe;
  const auto records = ScanHandsetPorts(probe, kByteWait);
  EXPECT_EQ(asked.size(), 256u);
  EXPECT_EQ(asked.front(), "COM1");
  EXPECT_EQ(asked.back(), "COM256");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(ProbedPortLine(records[0]), "COM3 : Unknown");
  EXPECT_EQ(ProbedPortLine(records[1]), "COM12 : ZQR - TQ-X9");
  EXPECT_EQ(ProbedPortLine(records[2]), "COM200 : ZQR - TQ-R5101K");
  EXPECT_FALSE(probe.IsOpen());

  // A foreign device reporting a supported model is accepted without asking;
  // the vendor alone is enough too; the first handset vendor is picked.
  EXPECT_TRUE(IsSupportedHandset(records[0]));
  EXPECT_TRUE(IsSupportedHandset(records[1]));
  EXPECT_FALSE(IsSupportedHandset(ProbedPort{"COM1", "ACME", "Z"}));
  EXPECT_EQ(AutoSelectIndex(records), 1);
  EXPECT_EQ(AutoSelectIndex({records[0]}), -1);
}
