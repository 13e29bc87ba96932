#include "scripted_line.h"

#include <algorithm>
#include <cstring>

#include "serial/serial_device.h"

namespace mirvo::testing {

ScriptedLine& TheScriptedLine() {
  static ScriptedLine line;
  return line;
}

namespace {

class ScriptedDevice final : public serial_internal::PortDevice {
 public:
  long ReadSome(void* buffer, std::size_t cap) override {
    ScriptedLine& line = TheScriptedLine();
    const std::size_t n = std::min(cap, line.incoming.size() - line.read);
    std::memcpy(buffer, line.incoming.data() + line.read, n);
    line.read += n;
    return static_cast<long>(n);
  }
  long WriteSome(const void* buffer, std::size_t n) override {
    ScriptedLine& line = TheScriptedLine();
    if (++line.writes == line.fail_write) return -1;
    line.written.append(static_cast<const char*>(buffer), n);
    return static_cast<long>(n);
  }
  Wait WaitReadable(serial_internal::Clock::time_point) override { return Wait::kTimedOut; }
  Wait WaitWritable(serial_internal::Clock::time_point) override { return Wait::kReady; }
  Wait WaitDrained(serial_internal::Clock::time_point) override { return Wait::kReady; }
  int QueuedIn() override {
    const ScriptedLine& line = TheScriptedLine();
    return static_cast<int>(std::min<std::size_t>(line.incoming.size() - line.read, 1 << 30));
  }
  int QueuedOut() override { return 0; }
  void DiscardInput() override {}
  void DiscardOutput() override {}
  int NativeHandle() const override { return -1; }
};

}  // namespace
}  // namespace mirvo::testing

namespace mirvo::serial_internal {

std::unique_ptr<PortDevice> PortDevice::Open(const std::string&, const SerialSettings&) {
  return std::make_unique<testing::ScriptedDevice>();
}

}  // namespace mirvo::serial_internal
