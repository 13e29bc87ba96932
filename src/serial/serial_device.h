// PortDevice, the device under SerialPort: what one platform must offer.
// Internal to src/serial.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "serial/serial_port.h"

namespace mirvo::serial_internal {

using Clock = std::chrono::steady_clock;

// An open device, held exclusively until destroyed. Every call returns at
// once except the waits.
class PortDevice {
 public:
  // Opens path exclusively and applies the settings; nullptr on any failure,
  // with nothing left open.
  static std::unique_ptr<PortDevice> Open(const std::string& path, const SerialSettings& settings);
  virtual ~PortDevice() = default;

  // Moves what can move now: > 0 bytes moved, 0 none, -1 the line is gone.
  virtual long ReadSome(void* buffer, std::size_t cap) = 0;
  virtual long WriteSome(const void* buffer, std::size_t n) = 0;

  enum class Wait { kReady, kTimedOut, kGone };
  virtual Wait WaitReadable(Clock::time_point deadline) = 0;
  virtual Wait WaitWritable(Clock::time_point deadline) = 0;

  // Until the send queue is empty, the line gone, or the deadline; kReady
  // may also come earlier (look at QueuedOut again).
  virtual Wait WaitDrained(Clock::time_point deadline) = 0;

  // Bytes in the driver's receive queue.
  virtual int QueuedIn() = 0;
  // Bytes written and not yet on the line; 0 or less: none known.
  virtual int QueuedOut() = 0;
  virtual void DiscardInput() = 0;
  virtual void DiscardOutput() = 0;

  // What the event thread waits on.
  virtual int NativeHandle() const = 0;
};

// What SerialPort::Open opens a device path with: PortDevice::Open unless
// another opener is installed (tests install fakes); an empty function
// restores it. Main thread only.
using DeviceOpener = std::function<std::unique_ptr<PortDevice>(const std::string& path, const SerialSettings&)>;
void SetDeviceOpener(DeviceOpener opener);
std::unique_ptr<PortDevice> OpenDevice(const std::string& path, const SerialSettings& settings);

}  // namespace mirvo::serial_internal
