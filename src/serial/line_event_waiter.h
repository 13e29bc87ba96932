// LineEventWaiter, the platform wait behind PortEventThread. Internal to
// src/serial.
#pragma once

#include <cstdint>
#include <memory>

namespace mirvo::serial_internal {

class LineEventWaiter {
 public:
  // Watches the events of watched (line_event bits) on the device handle;
  // nullptr when the wait cannot be set up.
  static std::unique_ptr<LineEventWaiter> Create(int handle, std::uint32_t watched);
  virtual ~LineEventWaiter() = default;

  // Blocks until a watched event occurs (true, events set; kBytesReceived only
  // for bytes that arrived since the last report) or until Wake (false). A
  // device that goes away stops being watched; the wait then lasts until
  // Wake.
  virtual bool Wait(std::uint32_t& events) = 0;
  // Any thread: ends the current or next Wait.
  virtual void Wake() = 0;
  // Any thread: bytes were queued for sending.
  virtual void NoteWrite() = 0;
};

}  // namespace mirvo::serial_internal
