#include "serial/probe.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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

void SetReadTimeout(SerialPort& port, int ms) {
  SerialPort::Timeouts timeouts = port.GetTimeouts();
  timeouts.read_ms = ms;
  port.SetTimeouts(timeouts);
}

}  // namespace

void ProbeHandset(SerialPort& port, std::string& vendor, std::string& model, int byte_timeout_ms) {
  static constexpr std::string_view kCommands[] = {"ATZ\r\n", "ATE0\r\n", "ATI3\r\n", "ATI4\r\n"};
  const int read_ms = port.GetTimeouts().read_ms;
  if (read_ms <= 0 || read_ms > byte_timeout_ms) SetReadTimeout(port, byte_timeout_ms);
  for (const std::string_view command : kCommands) {
    char reply[kReplyCapacity + 1] = {};
    if (port.StopRequested() || !port.Write(command.data(), static_cast<int>(command.size()))) {
      // What the port holds then answers nothing we asked.
      vendor.clear();
      model.clear();
      break;
    }
    // A full buffer ends the reply: a device that never says OK or ERROR
    // cannot run past it.
    for (int used = 0; used < kReplyCapacity;) {
      if (!port.Read(reply + used, 1)) break;
      ++used;
      const std::string_view seen = ReplyText(reply);
      if (seen.find("\r\nOK\r\n") != std::string_view::npos ||
          seen.find("\r\nERROR\r\n") != std::string_view::npos)
        break;
    }
    if (command == "ATI3\r\n") vendor = FirstLine(reply);
    if (command == "ATI4\r\n") model = FirstLine(reply);
  }
  port.DiscardInput();
  SetReadTimeout(port, byte_timeout_ms);
}

std::vector<ProbedPort> ScanHandsetPorts(SerialPort& probe_port, int byte_timeout_ms,
                                       const std::function<void(const ProbedPort&)>& found) {
  std::vector<ProbedPort> records;
  for (int n = 1; n <= 256 && !probe_port.StopRequested(); ++n) {
    SerialSettings settings = probe_port.GetSettings();
    settings.port_name = "COM" + std::to_string(n);
    probe_port.SetSettings(settings);
    if (probe_port.Open()) {
      ProbedPort info;
      info.port_name = probe_port.GetSettings().port_name;
      ProbeHandset(probe_port, info.vendor, info.model, byte_timeout_ms);
      records.push_back(std::move(info));
      if (found) found(records.back());
    }
    probe_port.Close();
  }
  return records;
}

std::string ProbedPortLine(const ProbedPort& info) {
  if (info.vendor == kHandsetVendor) return info.port_name + " : " + info.vendor + " - " + info.model;
  return info.port_name + " : Unknown";
}

bool IsSupportedHandset(const ProbedPort& info) {
  return info.vendor == kHandsetVendor ||
         std::find(kHandsetModels.begin(), kHandsetModels.end(), info.model) != kHandsetModels.end();
}

int AutoSelectIndex(const std::vector<ProbedPort>& records) {
  for (std::size_t i = 0; i < records.size(); ++i)
    if (records[i].vendor == kHandsetVendor) return static_cast<int>(i);
  return -1;
}

}  // namespace mirvo
