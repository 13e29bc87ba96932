// SerialPort, the serial line: settings taken at Open, an exclusive open,
// reads and writes with per-call time-outs that a stop request also ends,
// and line events through callbacks.
//
// Thread safety: every member is used on one thread, the port's owner (the
// session's thread in the window). Callbacks run on that thread: on_opened
// inside Open, on_closed inside Close, the line callbacks (on_bytes_received
// and the rest) wherever the owner runs what the event poster is given,
// handed over by the port's event thread (see port_event_thread.h). A
// callback may call any member, Close included.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace mirvo {

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };
// One and a half goes with five data bits only, two with six to eight.
enum class StopBits { kOne, kOneAndHalf, kTwo };

// Handshakes that hold data back; any of them may be on together.
struct FlowControl {
  bool xon_xoff_send = false;     // stop sending while the other end has sent XOFF
  bool xon_xoff_receive = false;  // send XOFF when our receive queue fills
  bool rts_cts = false;           // hardware handshake; RTS is then the driver's
  friend bool operator==(const FlowControl&, const FlowControl&) = default;
};

// How the line is set up. Read by Open, except event_char and packet_size,
// which are read when their event comes.
struct SerialSettings {
  std::string port_name = "COM1";  // "COMn" (see port_names.h) or a device path
  int baud_rate = 9600;
  int data_bits = 8;  // 5 to 8; only the low byte counts
  StopBits stop_bits = StopBits::kOne;
  Parity parity = Parity::kNone;
  bool check_parity = false;  // a received byte with a parity error reads as 0
  FlowControl flow_control;
  // The modem lines at Open: lowered unless raised here.
  bool raise_dtr = false;
  bool raise_rts = false;
  char xon_char = 0x13, xoff_char = 0x11;  // 0 keeps the device's
  char event_char = 0;  // raises on_event_char when it arrives; 0: none
  int packet_size = 0;  // on_packet threshold; 0: never
  // Where terminal programs leave LCK..<device> files: a device locked by a
  // live process does not open, and an open port leaves its own lock there
  // when it may write. Empty: no lock files.
  std::string lock_dir = "/var/lock";
};

class PortEventThread;
namespace serial_internal {
class PortDevice;
class PortLock;
}

class SerialPort {
 public:
  // Limits in ms, read again by every Read and Write.
  struct Timeouts {
    int read_ms = 30000;  // 0 or less: only what has already arrived
    int write_ms = 30000;
    int read_interval_ms = 0;  // longest gap between two bytes of one Read; 0: no limit
  };

  // Each runs on the main thread when its event comes. Which line events
  // are watched is fixed at Open from the callbacks set then; whether a
  // callback runs is decided when its event comes.
  struct Callbacks {
    std::function<void()> on_opened;  // inside Open, which then returns true
    std::function<void()> on_closed;  // inside Close, the port already marked closed
    std::function<void()> on_break;
    std::function<void()> on_cts_changed;
    std::function<void()> on_dsr_changed;
    std::function<void()> on_ring;
    std::function<void()> on_bytes_received;
    // With on_bytes_received's event, first, once packet_size bytes wait.
    std::function<void()> on_packet;
    std::function<void()> on_event_char;
    std::function<void()> on_send_queue_empty;
    std::function<void()> on_hang_up;  // the device went away: nothing more will come
  };

  SerialPort();
  // Runs on_created once the defaults are in place.
  explicit SerialPort(const std::function<void()>& on_created);
  // Closes an open port first (on_closed runs).
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  void SetSettings(const SerialSettings& settings) { settings_ = settings; }
  const SerialSettings& GetSettings() const { return settings_; }
  void SetTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
  const Timeouts& GetTimeouts() const { return timeouts_; }
  void SetCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }
  const Callbacks& GetCallbacks() const { return callbacks_; }

  // Runs while Read or Write waits on the line, at least every
  // kWaitHookIntervalMs, on the caller's thread; never when the call need
  // not wait. It must not call into this port: a Read or Write whose port
  // was closed or reopened under it fails.
  void SetWaitHook(std::function<void()> hook) { wait_hook_ = std::move(hook); }
  const std::function<void()>& WaitHook() const { return wait_hook_; }
  static constexpr int kWaitHookIntervalMs = 50;

  // A Read or Write that has to wait ends, failed, within
  // kStopCheckIntervalMs of a stop requested on this token; one whose bytes
  // are already there still completes. A default token never stops.
  void SetStopToken(std::stop_token token) { stop_token_ = std::move(token); }
  bool StopRequested() const { return stop_token_.stop_requested(); }
  static constexpr int kStopCheckIntervalMs = 10;

  // How the line callbacks reach the owner's thread: the event thread gives
  // the poster a function and blocks until the owner has run it. Set before
  // Open; without a poster no line event is watched.
  using EventPoster = std::function<void(std::function<void()>)>;
  void SetEventPoster(EventPoster poster) { event_poster_ = std::move(poster); }

  // False when already open, when the name resolves to no device, when the
  // device is missing or held by anyone (this process included, or another
  // program by a lock file in lock_dir), or when it refuses the settings.
  // on_opened runs before Open returns true.
  bool Open();
  // Stops the event thread (a hand-over it had already made runs first),
  // raises on_closed and releases the device. False when not open, also
  // when the callback of that last hand-over closed the port itself (its
  // Close raised on_closed).
  bool Close();

  // All or nothing: true only when exactly n bytes arrived within the read
  // time-out of the first wait, with no gap longer than the read interval
  // between two bytes; for Write, when they were sent (had left the
  // driver's send queue) with the line never stuck, neither taking bytes
  // nor sending queued ones, for the write time-out: a slow line may hold
  // much ahead of them. A hang-up fails at once.
  // After a false Read the bytes that did arrive are consumed; after a
  // false Write whatever it left unsent is discarded. Nothing stays pending.
  bool Read(void* buffer, int n);
  bool Write(const void* buffer, int n);
  // As Write, but true once the bytes are in the driver's send queue: the
  // line goes on while the caller makes the next block. Only for blocks no
  // reply is awaited for; the next Write drains them with its own. After a
  // false call none of the queued bytes go out.
  bool WriteQueued(const void* buffer, int n);

  // Bytes received and not yet read; -1 when closed.
  int BytesAvailable();
  // The part of those already taken off the device: a Read of up to this
  // many bytes completes at once, without a system call.
  int BytesBuffered() const { return static_cast<int>(rx_tail_ - rx_head_); }
  // Throws away what WriteQueued left in the send queue and has not gone
  // out yet: after the other end refused the data, the rest of it must not
  // reach the line. Never call it while a control byte may be queued (each
  // goes out by a draining Write, so none is).
  void DiscardQueuedOutput();
  // Discards everything received and not read. The send side is never
  // touched: bytes a Write reported sent, and those WriteQueued left in the
  // send queue, always reach the other end.
  void DiscardInput();

  bool IsOpen() const { return open_; }
  // True while open when the device has hung up (cable pulled, far end
  // gone): nothing more will come or go.
  bool HasHungUp();
  // The device opened (empty when closed).
  const std::string& DevicePath() const { return device_path_; }
  // The event thread while open with a watched event, else nullptr (also
  // when the device offers no way to wait for its events).
  PortEventThread* EventThread() const { return thread_.get(); }

 private:
  friend class PortEventThread;

  std::uint32_t WatchedEvents() const;
  // Pulls what has arrived into the receive buffer; true when ch is among
  // the bytes pulled. Used by the event thread's dispatch.
  bool PullAndFind(char ch);
  void ReleaseDevice();
  // Write and WriteQueued; with drain, true only once the queue is empty.
  bool Send(const void* buffer, int n, bool drain);

  // Waits on the device until deadline, cut short to run the wait hook when
  // due; false when the wait must end the call (line gone, port closed or
  // reopened by the hook).
  enum class Await { kReadable, kWritable, kDrained };
  bool AwaitDevice(Await what, std::chrono::steady_clock::time_point deadline,
                   std::chrono::steady_clock::time_point& hook_due);

  SerialSettings settings_;
  Timeouts timeouts_;
  Callbacks callbacks_;
  std::function<void()> wait_hook_;
  std::stop_token stop_token_;
  EventPoster event_poster_;

  std::unique_ptr<serial_internal::PortLock> lock_;  // before device_: released after it
  std::unique_ptr<serial_internal::PortDevice> device_;
  std::uint64_t open_count_ = 0;  // tells a waiting call that Open ran again
  std::unique_ptr<PortEventThread> thread_;
  std::string device_path_;
  bool open_ = false;

  // Bytes already taken from the device and not yet read: Read drains it
  // first, so a read of one byte rarely costs a system call.
  std::vector<char> rx_buffer_;
  std::size_t rx_head_ = 0, rx_tail_ = 0;
};

}  // namespace mirvo
