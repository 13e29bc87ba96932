#include "serial/probe.h"

#include <cstring>
#include <string_view>

#include "core/ui_hooks.h"
#include "text/fields.h"
#include "serial/serial_port.h"
#include "text/cp932.h"

namespace mirvo {
namespace {

constexpr int kReplyCapacity = 1024;

// The reply as the identification logic sees it: up to its first zero byte.
std::string_view ReplyText(const char* buffer) { return std::string_view(buffer, strnlen(buffer, kReplyCapacity)); }

std::string FirstLine(const char* buffer) {
  return FieldAt(std::string(text::TrimBlanks(ReplyText(buffer))), "\r\n", 0);
}

// The window keeps painting while a silent line is waited on.
class PumpWhileWaiting {
 public:
  explicit PumpWhileWaiting(SerialPort& port) : port_(port), saved_(std::move(port.OnWaitSlice)) {
    port_.OnWaitSlice = [] { Ui().ProcessMessages(); };
  }
  ~PumpWhileWaiting() { port_.OnWaitSlice = std::move(saved_); }
  PumpWhileWaiting(const PumpWhileWaiting&) = delete;
  PumpWhileWaiting& operator=(const PumpWhileWaiting&) = delete;

 private:
  SerialPort& port_;
  std::function<void()> saved_;
};

}  // namespace

int ProbeHandset(SerialPort& port, std::string& vendor, std::string& model, int byte_timeout_ms) {
  static constexpr std::string_view kCommands[] = {"ATZ\r\n", "ATE0\r\n", "ATI3\r\n", "ATI4\r\n"};
  PumpWhileWaiting pump(port);
  if (port.rxTimeOut <= 0 || port.rxTimeOut > byte_timeout_ms) port.rxTimeOut = byte_timeout_ms;
  for (const std::string_view command : kCommands) {
    char reply[kReplyCapacity + 1] = {};
    port.Write(command.data(), static_cast<int>(command.size()));
    // A full buffer ends the reply: a device that never says OK or ERROR
    // cannot run past it.
    for (int used = 0; used < kReplyCapacity;) {
      if (!port.Read(reply + used, 1)) break;
      ++used;
      Ui().ProcessMessages();
      const std::string_view seen = ReplyText(reply);
      if (seen.find("\r\nOK\r\n") != std::string_view::npos ||
          seen.find("\r\nERROR\r\n") != std::string_view::npos)
        break;
    }
    if (command == "ATI3\r\n") vendor = FirstLine(reply);
    if (command == "ATI4\r\n") model = FirstLine(reply);
  }
  port.PurgeAll();
  port.rxTimeOut = byte_timeout_ms;
  return 0;
}

std::vector<ProbedPort> ScanHandsetPorts(SerialPort& probe_port, int byte_timeout_ms,
                                       const std::function<void(const ProbedPort&)>& found) {
  std::vector<ProbedPort> records;
  for (int n = 1; n <= 256; ++n) {
    Ui().ProcessMessages();
    probe_port.PortName = "COM" + std::to_string(n);
    if (probe_port.Open()) {
      ProbedPort info;
      info.ComName = probe_port.PortName;
      ProbeHandset(probe_port, info.Vendor, info.Model, byte_timeout_ms);
      records.push_back(std::move(info));
      if (found) found(records.back());
    }
    probe_port.Close();
  }
  return records;
}

std::string ComInfoLine(const ProbedPort& info) {
  if (info.Vendor == kHandsetVendor) return info.ComName + " : " + info.Vendor + " - " + info.Model;
  return info.ComName + " : Unknown";
}

bool IsSupportedHandset(const ProbedPort& info) {
  return info.Vendor == kHandsetVendor || info.Model == kHandsetModel1 || info.Model == kHandsetModel2;
}

int AutoSelectIndex(const std::vector<ProbedPort>& records) {
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].Vendor == kHandsetVendor) return static_cast<int>(i);
  return -1;
}

}  // namespace mirvo
