// SerialPort, the serial port: line settings as plain fields, an exclusive open, reads
// and writes with per-call time-outs, and line events through handlers.
//
// Thread safety: every member is used on the main thread only. Handlers run
// on the main thread: OnOpen inside Open, OnClose inside Close, the line
// handlers (OnRXChar and the rest) at the main thread's message-processing
// points, handed over by the port's event thread (see port_event_thread.h). A handler
// may call any member, Close included.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace mirvo {

// What handlers receive as Sender: the port itself (OnOpen, OnClose,
// OnCreate) or its event thread (the line handlers).
class TNotifySource {
 public:
  virtual ~TNotifySource() = default;
};
using TNotifyEvent = std::function<void(TNotifySource& Sender)>;

// Element i is bit i of the flag word (FlowFlag).
enum class rsFlow {
  dfBinary,
  dfParity,
  dfOutxCTSFlow,
  dfOutxDSRFlow,
  dfDTRControl_b0,
  dfDTRControl_b1,
  dfDSRSensitivity,
  dfTXContinueOnXoff,
  dfOutX,
  dfInX,
  dfErrorChar,
  dfNull,
  dfRTSControl_b0,
  dfRTSControl_b1,
  dfAbortOnError
};

class rsFlowSet {
 public:
  constexpr rsFlowSet() = default;
  constexpr rsFlowSet(std::initializer_list<rsFlow> elements) {
    for (rsFlow f : elements) insert(f);
  }
  // Bits 15 and up have no element and are dropped.
  static constexpr rsFlowSet FromBits(std::uint32_t bits) {
    rsFlowSet s;
    s.bits_ = static_cast<std::uint16_t>(bits & kAll);
    return s;
  }
  constexpr std::uint32_t bits() const { return bits_; }
  constexpr bool contains(rsFlow f) const { return (bits_ & Bit(f)) != 0; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr rsFlowSet& insert(rsFlow f) {
    bits_ = static_cast<std::uint16_t>(bits_ | Bit(f));
    return *this;
  }
  constexpr rsFlowSet& erase(rsFlow f) {
    bits_ = static_cast<std::uint16_t>(bits_ & ~Bit(f));
    return *this;
  }
  friend constexpr bool operator==(rsFlowSet, rsFlowSet) = default;

 private:
  static constexpr std::uint32_t kAll = 0x7FFF;
  static constexpr std::uint32_t Bit(rsFlow f) { return std::uint32_t{1} << static_cast<unsigned>(f); }
  std::uint16_t bits_ = 0;
};

class PortEventThread;
namespace serial_internal {
class PortDevice;
class PortLock;
}

class SerialPort : public TNotifySource {
 public:
  SerialPort();
  // Sets OnCreate and raises it (Sender = this port) once the defaults are
  // in place: a handler assigned after construction cannot see it.
  explicit SerialPort(TNotifyEvent on_create);
  // Closes an open port first (OnClose runs).
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Line settings: plain fields, read by the next Open. The time-outs (ms)
  // are read again by every Read and Write.
  int CharBit = 8;           // data bits, low byte: 5 to 8
  std::string StopBit = "1"; // "1", "1.5" (5 data bits only) or "2"; other texts keep the device's
  int Bps = 9600;
  std::string PortName = "COM1";  // "COMn" (see port_names.h) or a device path
  int rxBuffSize = 1024, txBuffSize = 1024;  // kept for callers; the driver's queues are fixed here
  int ReadInterval = 0;  // longest gap between two bytes of one Read; 0: no limit
  int txTimeOut = 30000;
  int rxTimeOut = 30000;  // 0 or less: only what has already arrived
  std::string Paritymode;  // code page 932 name; the constructor sets "無し" (none)
  int FlowFlag = 1;        // bit i is rsFlow element i
  int PacketSize = 0;      // OnPacket threshold; 0: never
  int XonLim = 0, XoffLim = 0;  // no equivalent on a tty; kept
  char XonChar = 0x13, XoffChar = 0x11;  // 0 keeps the device's
  char ErrorChar = 0, EofChar = 0;       // no equivalent on a tty; kept
  char EvtChar = 0;  // raises OnRXFlag when it arrives (0 is the NUL byte)
  // Where terminal programs leave LCK..<device> files: a device locked by a
  // live process does not open, and an open port leaves its own lock there
  // when it may write. Empty: no lock files.
  std::string LockDir = "/var/lock";

  rsFlowSet Flow() const { return rsFlowSet::FromBits(static_cast<std::uint32_t>(FlowFlag)); }
  void SetFlow(const rsFlowSet& flow) { FlowFlag = static_cast<int>(flow.bits()); }

  // Line handlers: which events are watched is fixed at Open from those
  // assigned then; whether a handler runs is decided when the event comes.
  TNotifyEvent OnBREAK, OnCTS, OnDSR, OnERR, OnRING, OnRLSD, OnRXChar, OnRXFlag, OnTXEmpty;
  TNotifyEvent OnCreate, OnOpen, OnClose;
  TNotifyEvent OnPacket;  // with OnRXChar's event, once PacketSize bytes wait
  TNotifyEvent OnHangUp;  // the device went away: nothing more will come

  // Runs while Read or Write waits on the line, at least every
  // kWaitSliceMs, on the caller's thread; never when the call need not
  // wait. It may run window messages (and so the line handlers), but must
  // not call into this port: a Read or Write whose port was closed or
  // reopened under it fails.
  std::function<void()> OnWaitSlice;
  static constexpr int kWaitSliceMs = 50;

  // False when already open, when the name resolves to no device, when the
  // device is missing or held by anyone (this process included, or another
  // program by a lock file in LockDir), or when it refuses the settings. OnOpen runs before Open returns true.
  bool Open();
  // Stops the event thread (a hand-over it had already made runs first),
  // raises OnClose and releases the device. False when not open, also when
  // the handler of that last hand-over closed the port itself (its Close
  // raised OnClose).
  bool Close();

  // All or nothing: true only when exactly n bytes arrived (were sent: had
  // left the driver's send queue) within rxTimeOut (txTimeOut) of the first
  // wait, and for Read with no gap longer than ReadInterval between two
  // bytes. A hang-up fails at once.
  // After a false Read the bytes that did arrive are consumed; after a
  // false Write whatever it left unsent is discarded. Nothing stays pending.
  bool Read(void* buffer, int n);
  bool Write(const void* buffer, int n);

  // Bytes received and not yet read; -1 when closed.
  int InQueCount();
  // The part of those already taken off the device: a Read of up to this
  // many bytes completes at once, without a system call.
  int Buffered() const { return static_cast<int>(rx_tail_ - rx_head_); }
  // Discards everything received and not read. Nothing is left to send
  // after a Write returns, so the send side is not touched: bytes a Write
  // reported sent always reach the other end.
  void PurgeAll();
  // Read and Write take the time-outs from the fields at each call, so
  // there is nothing to hand over; kept for callers.
  void ApplyTimeouts();

  bool Opened() const { return opened_; }
  // The device opened (empty when closed).
  const std::string& DevicePath() const { return device_path_; }
  // The event thread while open with a watched event, else nullptr (also
  // when the device offers no way to wait for its events).
  PortEventThread* CommThread() const { return thread_.get(); }

 private:
  friend class PortEventThread;

  std::uint32_t MaskFromHandlers() const;
  // Pulls what has arrived into the receive buffer; true when ch is among
  // the bytes pulled. Used by the event thread's dispatch.
  bool PullAndFind(char ch);
  void ReleaseDevice();

  // Waits on the device until deadline, cut short to run OnWaitSlice when
  // due; false when the wait must end the call (line gone, port closed or
  // reopened by the hook).
  enum class Await { kReadable, kWritable, kDrained };
  bool AwaitDevice(Await what, std::chrono::steady_clock::time_point deadline,
                   std::chrono::steady_clock::time_point& slice_due);

  std::unique_ptr<serial_internal::PortLock> lock_;  // before device_: released after it
  std::unique_ptr<serial_internal::PortDevice> device_;
  std::uint64_t open_count_ = 0;  // tells a waiting call that Open ran again
  std::unique_ptr<PortEventThread> thread_;
  std::string device_path_;
  bool opened_ = false;

  // Bytes already taken from the device and not yet read: Read drains it
  // first, so a read of one byte rarely costs a system call.
  std::vector<char> rx_;
  std::size_t rx_head_ = 0, rx_tail_ = 0;
};

}  // namespace mirvo
