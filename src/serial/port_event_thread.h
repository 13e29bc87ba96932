// PortEventThread, the port's event thread: waits for the line events an open SerialPort
// watches and has the port's handlers run on the main thread.
//
// Thread safety: only the wait runs on the event thread. The hand-over is
// synchronous: the thread posts DispatchEvents with Ui().PostToMainThread
// and blocks until it has run, so handlers never run beside each other or
// beside Read and Write. Start, Stop and every field belong to the main
// thread. Stop never waits for the main thread: a hand-over that is still
// pending runs inside Stop, and a posted dispatch that comes after Stop does
// nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "serial/serial_port.h"

namespace mirvo {

// Line event bits (EventMask).
namespace comm_event {
inline constexpr std::uint32_t kRxChar = 0x0001;
inline constexpr std::uint32_t kRxFlag = 0x0002;
inline constexpr std::uint32_t kTxEmpty = 0x0004;
inline constexpr std::uint32_t kCts = 0x0008;
inline constexpr std::uint32_t kDsr = 0x0010;
inline constexpr std::uint32_t kRlsd = 0x0020;
inline constexpr std::uint32_t kBreak = 0x0040;
inline constexpr std::uint32_t kErr = 0x0080;
inline constexpr std::uint32_t kRing = 0x0100;
// The device went away (hang-up, unplugged); reported once, after the bytes that came with it.
inline constexpr std::uint32_t kHangUp = 0x8000;
}  // namespace comm_event

namespace serial_internal {
class CommWaiter;
}

class PortEventThread : public TNotifySource {
 public:
  // Created suspended: nothing waits until Start.
  explicit PortEventThread(std::uint32_t watch_mask);
  // Stops the thread if it runs.
  ~PortEventThread() override;
  PortEventThread(const PortEventThread&) = delete;
  PortEventThread& operator=(const PortEventThread&) = delete;

  // Events the last completed wait reported.
  std::uint32_t EventMask = 0;
  // Receive-queue count at the last character-received event; 0 at start
  // and after each OnPacket.
  std::int32_t RxCount = 0;
  int PortHandle = -1;
  SerialPort* Owner = nullptr;  // not owned

  // Starts waiting on PortHandle; false when the wait cannot be set up.
  bool Start();
  // Ends the thread; also safe from inside one of its own dispatches.
  void Stop();
  // Tells the wait that bytes were queued for sending (send-queue-empty).
  void NoteWrite();

  // Runs the owner's handlers for EventMask in the fixed order. Main thread.
  void DispatchEvents();

  std::uint32_t WatchMask() const { return watch_; }

 private:
  struct HandOver;
  void Execute();
  static void RunDispatch(const std::shared_ptr<HandOver>& h);

  const std::uint32_t watch_;
  std::shared_ptr<HandOver> handover_;
  std::unique_ptr<serial_internal::CommWaiter> waiter_;
  std::thread thread_;
};

}  // namespace mirvo
