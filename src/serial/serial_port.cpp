#include "serial/serial_port.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "core/ui_hooks.h"
#include "serial/port_event_thread.h"
#include "serial/port_lock.h"
#include "serial/port_names.h"
#include "serial/serial_device.h"
#include "text/cp932.h"

namespace mirvo {

using serial_internal::Clock;
using serial_internal::PortDevice;

namespace serial_internal {

std::optional<Parity> ParityFromName(std::string_view cp932) {
  struct Entry {
    const char* utf8;
    Parity parity;
  };
  static const Entry kNames[] = {
      {"無し", Parity::kNone},     {"なし", Parity::kNone},

      {"奇数", Parity::kOdd},      {"きすう", Parity::kOdd},       {"ODD", Parity::kOdd},
      {"odd", Parity::kOdd},       {"ＯＤＤ", Parity::kOdd},       {"ｏｄｄ", Parity::kOdd},

      {"偶数", Parity::kEven},     {"ぐうすう", Parity::kEven},    {"EVEN", Parity::kEven},
      {"even", Parity::kEven},     {"ＥＶＥＮ", Parity::kEven},    {"ｅｖｅｎ", Parity::kEven},

      {"マーク", Parity::kMark},   {"まーく", Parity::kMark},      {"MARK", Parity::kMark},
      {"mark", Parity::kMark},     {"ＭＡＲＫ", Parity::kMark},    {"ｍａｒｋ", Parity::kMark},

      {"スペース", Parity::kSpace}, {"すぺーす", Parity::kSpace},  {"SPACE", Parity::kSpace},
      {"space", Parity::kSpace},   {"ＳＰＡＣＥ", Parity::kSpace}, {"ｓｐａｃｅ", Parity::kSpace},
  };
  for (const Entry& e : kNames) {
    if (text::Cp932(e.utf8) == cp932) return e.parity;
  }
  return std::nullopt;
}

std::optional<StopBits> StopBitsFromName(std::string_view name) {
  if (name == "1") return StopBits::kOne;
  if (name == "1.5") return StopBits::kOneHalf;
  if (name == "2") return StopBits::kTwo;
  return std::nullopt;
}

LineSettings LineSettingsFrom(const SerialPort& port) {
  LineSettings s;
  s.bps = port.Bps;
  s.data_bits = port.CharBit & 0xFF;
  s.stop_bits = StopBitsFromName(port.StopBit);
  s.parity = ParityFromName(port.Paritymode);
  s.flow_flag = static_cast<std::uint32_t>(port.FlowFlag);
  s.xon_char = port.XonChar;
  s.xoff_char = port.XoffChar;
  return s;
}

namespace {

DeviceOpener& InstalledOpener() {
  static DeviceOpener opener;
  return opener;
}

}  // namespace

void SetDeviceOpener(DeviceOpener opener) { InstalledOpener() = std::move(opener); }

std::unique_ptr<PortDevice> OpenDevice(const std::string& path, const LineSettings& settings) {
  const DeviceOpener& opener = InstalledOpener();
  return opener ? opener(path, settings) : PortDevice::Open(path, settings);
}

}  // namespace serial_internal

namespace {

// Room for what a fast line delivers between two reads; one allocation per
// port, at its first Open.
constexpr std::size_t kRxBufferSize = 16 * 1024;

// A negative time-out is taken as 0: no waiting.
Clock::time_point After(Clock::time_point from, int ms) {
  return from + std::chrono::milliseconds(std::max(ms, 0));
}

constexpr auto kWaitSlice = std::chrono::milliseconds(SerialPort::kWaitSliceMs);

void Raise(const TNotifyEvent& handler, TNotifySource& sender) {
  // A copy: the handler may reassign itself.
  if (TNotifyEvent h = handler) h(sender);
}

}  // namespace

SerialPort::SerialPort() : Paritymode(text::Cp932("無し")) {}

SerialPort::SerialPort(TNotifyEvent on_create) : SerialPort() {
  OnCreate = std::move(on_create);
  Raise(OnCreate, *this);
}

SerialPort::~SerialPort() {
  try {
    Close();
  } catch (const std::exception& e) {
    Ui().MessageBox(nullptr, "Mirvo", e.what(), MsgIcon::Error, MsgButtons::Ok);
  } catch (...) {
    Ui().MessageBox(nullptr, "Mirvo", "unknown exception", MsgIcon::Error, MsgButtons::Ok);
  }
}

std::uint32_t SerialPort::MaskFromHandlers() const {
  using namespace comm_event;
  std::uint32_t mask = 0;
  if (OnBREAK) mask |= kBreak;
  if (OnCTS) mask |= kCts;
  if (OnDSR) mask |= kDsr;
  if (OnERR) mask |= kErr;
  if (OnRING) mask |= kRing;
  if (OnRLSD) mask |= kRlsd;
  if (OnRXChar || OnPacket) mask |= kRxChar;
  if (OnRXFlag) mask |= kRxFlag;
  if (OnTXEmpty) mask |= kTxEmpty;
  if (OnHangUp) mask |= kHangUp;
  return mask;
}

bool SerialPort::Open() {
  if (opened_) return false;
  const auto path = ResolvePortName(PortName);
  if (!path) return false;
  // The lock first: a line another program uses is never touched.
  auto lock = std::make_unique<serial_internal::PortLock>();
  if (!lock->Take(LockDir, *path)) return false;
  auto device = serial_internal::OpenDevice(*path, serial_internal::LineSettingsFrom(*this));
  if (!device) return false;
  device->DiscardInput();
  device->DiscardOutput();

  if (rx_.empty()) rx_.resize(kRxBufferSize);
  rx_head_ = rx_tail_ = 0;

  const std::uint32_t mask = MaskFromHandlers();
  if (mask != 0) {
    auto thread = std::make_unique<PortEventThread>(mask);
    thread->RxCount = 0;
    thread->PortHandle = device->NativeHandle();
    thread->Owner = this;
    // A line whose events cannot be watched still moves bytes: the port
    // opens without line events rather than not at all.
    if (thread->Start()) thread_ = std::move(thread);
  }
  device_ = std::move(device);
  lock_ = std::move(lock);
  device_path_ = *path;
  opened_ = true;
  ++open_count_;
  Raise(OnOpen, *this);
  return true;
}

void SerialPort::ReleaseDevice() {
  device_.reset();
  lock_.reset();
  device_path_.clear();
  rx_head_ = rx_tail_ = 0;
}

bool SerialPort::Close() {
  if (!opened_) return false;
  if (thread_) {
    // May run one last dispatch, with the port still open.
    thread_->Stop();
    thread_.reset();
    // That dispatch's handler may have closed the port itself.
    if (!opened_) return false;
  }
  opened_ = false;
  try {
    Raise(OnClose, *this);
  } catch (...) {
    ReleaseDevice();
    throw;
  }
  ReleaseDevice();
  return true;
}

bool SerialPort::Read(void* buffer, int n) {
  if (!opened_ || n < 0 || (n > 0 && buffer == nullptr)) return false;
  auto* out = static_cast<char*>(buffer);
  std::size_t want = static_cast<std::size_t>(n);

  const std::size_t buffered = std::min(want, rx_tail_ - rx_head_);
  if (buffered > 0) {
    std::memcpy(out, rx_.data() + rx_head_, buffered);
    rx_head_ += buffered;
    out += buffered;
    want -= buffered;
  }
  if (want == 0) return true;
  rx_head_ = rx_tail_ = 0;

  // Deadlines are taken only when the call has to wait.
  bool timing = false;
  bool got_any = buffered > 0;
  bool progressed = got_any;
  Clock::time_point total{}, gap = Clock::time_point::max(), slice_due{};
  while (true) {
    long got;
    if (want >= rx_.size() / 2) {
      got = device_->ReadSome(out, want);
    } else {
      got = device_->ReadSome(rx_.data(), rx_.size());
      if (got > 0) {
        const std::size_t take = std::min(want, static_cast<std::size_t>(got));
        std::memcpy(out, rx_.data(), take);
        rx_head_ = take;
        rx_tail_ = static_cast<std::size_t>(got);
        got = static_cast<long>(take);
      }
    }
    if (got < 0) return false;
    if (got > 0) {
      out += got;
      want -= static_cast<std::size_t>(got);
      if (want == 0) return true;
      got_any = progressed = true;
      continue;
    }
    const auto now = Clock::now();
    if (!timing) {
      timing = true;
      total = After(now, rxTimeOut);
    }
    if (progressed && got_any && ReadInterval > 0) gap = After(now, ReadInterval);
    progressed = false;
    const auto deadline = std::min(total, gap);
    if (now >= deadline) return false;
    if (!AwaitDevice(Await::kReadable, deadline, slice_due)) return false;
  }
}

bool SerialPort::Write(const void* buffer, int n) {
  if (!opened_ || n < 0 || (n > 0 && buffer == nullptr)) return false;
  const auto* in = static_cast<const char*>(buffer);
  std::size_t left = static_cast<std::size_t>(n);
  if (left == 0) return true;

  const std::uint64_t generation = open_count_;
  bool timing = false;
  Clock::time_point deadline{}, slice_due{};
  while (true) {
    const long put = device_->WriteSome(in, left);
    if (put < 0) break;
    if (put > 0) {
      in += put;
      left -= static_cast<std::size_t>(put);
      if (left == 0) break;
      continue;
    }
    const auto now = Clock::now();
    if (!timing) {
      timing = true;
      deadline = After(now, txTimeOut);
    }
    if (now >= deadline || !AwaitDevice(Await::kWritable, deadline, slice_due)) break;
  }
  // Sent means on the line: a queue still full when the time-out ends fails
  // the call, so a later reply wait never starts before the block is out.
  while (left == 0) {
    const int queued = device_->QueuedOut();
    if (queued <= 0) {
      if (thread_) thread_->NoteWrite();
      return true;
    }
    const auto now = Clock::now();
    if (!timing) {
      timing = true;
      deadline = After(now, txTimeOut);
    }
    if (now >= deadline || !AwaitDevice(Await::kDrained, deadline, slice_due)) break;
  }
  // The caller counts this block as not sent: none of it may go out later.
  if (opened_ && open_count_ == generation) device_->DiscardOutput();
  return false;
}

bool SerialPort::AwaitDevice(Await what, Clock::time_point deadline, Clock::time_point& slice_due) {
  const bool sliced = static_cast<bool>(OnWaitSlice);
  if (sliced) {
    if (slice_due == Clock::time_point{}) slice_due = Clock::now() + kWaitSlice;
    deadline = std::min(deadline, slice_due);
  }
  PortDevice::Wait waited = PortDevice::Wait::kTimedOut;
  switch (what) {
    case Await::kReadable: waited = device_->WaitReadable(deadline); break;
    case Await::kWritable: waited = device_->WaitWritable(deadline); break;
    case Await::kDrained: waited = device_->WaitDrained(deadline); break;
  }
  if (waited == PortDevice::Wait::kGone) return false;
  if (sliced && Clock::now() >= slice_due) {
    const std::uint64_t generation = open_count_;
    // A copy: the hook may reassign itself.
    if (std::function<void()> hook = OnWaitSlice) hook();
    if (!opened_ || open_count_ != generation) return false;
    slice_due = Clock::now() + kWaitSlice;
  }
  return true;
}

int SerialPort::InQueCount() {
  if (!opened_) return -1;
  const int queued = device_->QueuedIn();
  return static_cast<int>(rx_tail_ - rx_head_) + std::max(queued, 0);
}

void SerialPort::PurgeAll() {
  rx_head_ = rx_tail_ = 0;
  if (!device_) return;
  device_->DiscardInput();
  // No output flush: a successful Write has drained its bytes and a failed
  // one discarded its rest, so all a flush could still drop are bytes a
  // Write reported sent that the other end has not read yet (a pseudo-
  // terminal holds those on its far side).
}

void SerialPort::ApplyTimeouts() {}

bool SerialPort::PullAndFind(char ch) {
  if (!device_) return false;
  if (rx_head_ == rx_tail_) rx_head_ = rx_tail_ = 0;
  if (rx_tail_ == rx_.size() && rx_head_ > 0) {
    std::memmove(rx_.data(), rx_.data() + rx_head_, rx_tail_ - rx_head_);
    rx_tail_ -= rx_head_;
    rx_head_ = 0;
  }
  if (rx_tail_ == rx_.size()) return false;
  const long got = device_->ReadSome(rx_.data() + rx_tail_, rx_.size() - rx_tail_);
  if (got <= 0) return false;
  const char* fresh = rx_.data() + rx_tail_;
  rx_tail_ += static_cast<std::size_t>(got);
  return std::memchr(fresh, static_cast<unsigned char>(ch), static_cast<std::size_t>(got)) != nullptr;
}

}  // namespace mirvo
