// PortEventThread, the port's event thread: waits for the line events an
// open SerialPort watches and has the port's callbacks run on the port's
// owner thread.
//
// Thread safety: only the wait runs on the event thread. The hand-over is
// synchronous: the thread gives its dispatch to the port's event poster and
// blocks until the owner has run it, so callbacks never run beside each
// other or beside Read and Write. Every member belongs to the owner thread.
// Stop never waits for the owner: a hand-over that is still pending runs
// inside Stop, and a posted dispatch that comes after Stop does nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "serial/serial_port.h"

namespace mirvo {

// Line event bits.
namespace line_event {
inline constexpr std::uint32_t kBytesReceived = 0x0001;
inline constexpr std::uint32_t kEventChar = 0x0002;
inline constexpr std::uint32_t kSendQueueEmpty = 0x0004;
inline constexpr std::uint32_t kCtsChanged = 0x0008;
inline constexpr std::uint32_t kDsrChanged = 0x0010;
inline constexpr std::uint32_t kBreak = 0x0040;
inline constexpr std::uint32_t kRing = 0x0100;
// The device went away (hang-up, unplugged); reported once, after the bytes that came with it.
inline constexpr std::uint32_t kHangUp = 0x8000;
}  // namespace line_event

namespace serial_internal {
class LineEventWaiter;
}

class PortEventThread {
 public:
  // Created idle: nothing waits until Start. The port is not owned; it
  // owns this thread and outlives it.
  PortEventThread(SerialPort& port, int device_handle, std::uint32_t watched_events,
                  SerialPort::EventPoster poster);
  // Stops the thread if it runs.
  ~PortEventThread();
  PortEventThread(const PortEventThread&) = delete;
  PortEventThread& operator=(const PortEventThread&) = delete;

  // Starts waiting on the device; false when the wait cannot be set up.
  bool Start();
  // Ends the thread; also safe from inside one of its own dispatches.
  void Stop();
  // Tells the wait that bytes were queued for sending (send-queue-empty).
  void NoteWrite();

  std::uint32_t WatchedEvents() const { return watched_; }
  // Events the last completed wait reported.
  std::uint32_t LastEvents() const { return last_events_; }
  // Bytes waiting at the last bytes-received event; 0 at start and after
  // each on_packet.
  std::int32_t ReceivedCount() const { return received_count_; }

 private:
  struct HandOver;
  void Execute();
  static void RunDispatch(const std::shared_ptr<HandOver>& h);
  // Runs the port's callbacks for last_events_ in the fixed order.
  void DispatchEvents();

  SerialPort& port_;
  const int device_handle_;
  const std::uint32_t watched_;
  const SerialPort::EventPoster poster_;
  std::uint32_t last_events_ = 0;
  std::int32_t received_count_ = 0;
  std::shared_ptr<HandOver> handover_;
  std::unique_ptr<serial_internal::LineEventWaiter> waiter_;
  std::thread thread_;
};

}  // namespace mirvo
