// A serial device for benches whose send queue behaves like a UART's: the
// tty underneath (a pseudo-terminal, where the simulated handset paces its
// side) takes the bytes at once, but this device holds at most a queue's
// worth ahead of the line, empties it at the configured line speed (ten bit
// times a byte) and reports what is left the way TIOCOUTQ does.
//
// It also records each time the line waited on this side: before each write,
// the time since the line last carried a byte either way (the last byte
// read, or the moment the bytes written before left the queue). Time the
// line spends on the other side's turn is never counted: a write after a
// read starts its gap at that read. A byte read late (this side busy while
// it arrived) moves the start later, so the figure errs low by that much.
//
// Installed through the device seam for the life of a UartQueueDevices;
// main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace mirvo::bench {

// What the devices opened so far have seen; shared, so it outlives them.
struct LineRecord {
  struct Gap {
    std::chrono::steady_clock::time_point at;  // the write that ended it
    std::chrono::nanoseconds idle;
    std::string head;  // the first bytes of that write
  };
  std::vector<Gap> gaps;  // one per write that found the line idle

  std::chrono::nanoseconds Total() const {
    std::chrono::nanoseconds sum{0};
    for (const Gap& g : gaps) sum += g.idle;
    return sum;
  }
};

class UartQueueDevices {
 public:
  // queue_bytes: the driver's send queue; 0 leaves the tty as it is (a plain
  // pseudo-terminal) and only records.
  explicit UartQueueDevices(int queue_bytes = 4096);
  ~UartQueueDevices();
  UartQueueDevices(const UartQueueDevices&) = delete;
  UartQueueDevices& operator=(const UartQueueDevices&) = delete;

  const LineRecord& Record() const { return *record_; }
  void ClearRecord() { *record_ = {}; }

 private:
  std::shared_ptr<LineRecord> record_;
};

}  // namespace mirvo::bench
