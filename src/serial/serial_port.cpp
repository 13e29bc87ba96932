#include "serial/serial_port.h"

#include <algorithm>
#include <cstring>

#include "serial/port_event_thread.h"
#include "serial/port_lock.h"
#include "serial/port_names.h"
#include "serial/serial_device.h"

namespace mirvo {

using serial_internal::Clock;
using serial_internal::PortDevice;

namespace serial_internal {

namespace {

DeviceOpener& InstalledOpener() {
  static DeviceOpener opener;
  return opener;
}

}  // namespace

void SetDeviceOpener(DeviceOpener opener) { InstalledOpener() = std::move(opener); }

std::unique_ptr<PortDevice> OpenDevice(const std::string& path, const SerialSettings& settings) {
  const DeviceOpener& opener = InstalledOpener();
  return opener ? opener(path, settings) : PortDevice::Open(path, settings);
}

}  // namespace serial_internal

namespace {

// Room for what a fast line delivers between two reads; one allocation per
// port, at its first Open.
constexpr std::size_t kRxBufferSize = 16 * 1024;
// Looking for the event character, the buffer grows up to this while
// nothing is read.
constexpr std::size_t kRxBufferLimit = 1024 * 1024;

// A negative time-out is taken as 0: no waiting.
Clock::time_point After(Clock::time_point from, int ms) {
  return from + std::chrono::milliseconds(std::max(ms, 0));
}

constexpr auto kWaitHookInterval = std::chrono::milliseconds(SerialPort::kWaitHookIntervalMs);
constexpr auto kStopCheckInterval = std::chrono::milliseconds(SerialPort::kStopCheckIntervalMs);

void Notify(const std::function<void()>& callback) {
  // A copy: the callback may replace itself.
  if (std::function<void()> fn = callback) fn();
}

}  // namespace

SerialPort::SerialPort() = default;

SerialPort::SerialPort(const std::function<void()>& on_created) : SerialPort() { Notify(on_created); }

SerialPort::~SerialPort() {
  try {
    Close();
  } catch (...) {
    // The device is released all the same (see Close); an on_closed that
    // throws while the port is destroyed has nobody left to tell.
  }
}

std::uint32_t SerialPort::WatchedEvents() const {
  using namespace line_event;
  const Callbacks& c = callbacks_;
  std::uint32_t events = 0;
  if (c.on_break) events |= kBreak;
  if (c.on_cts_changed) events |= kCtsChanged;
  if (c.on_dsr_changed) events |= kDsrChanged;
  if (c.on_ring) events |= kRing;
  if (c.on_bytes_received || c.on_packet) events |= kBytesReceived;
  if (c.on_event_char) events |= kEventChar;
  if (c.on_send_queue_empty) events |= kSendQueueEmpty;
  if (c.on_hang_up) events |= kHangUp;
  return events;
}

bool SerialPort::Open() {
  if (open_) return false;
  const auto path = ResolvePortName(settings_.port_name);
  if (!path) return false;
  // The lock first: a line another program uses is never touched.
  auto lock = std::make_unique<serial_internal::PortLock>();
  if (!lock->Take(settings_.lock_dir, *path)) return false;
  auto device = serial_internal::OpenDevice(*path, settings_);
  if (!device) return false;
  device->DiscardInput();
  device->DiscardOutput();

  if (rx_buffer_.empty()) rx_buffer_.resize(kRxBufferSize);
  rx_head_ = rx_tail_ = 0;

  const std::uint32_t events = event_poster_ ? WatchedEvents() : 0;
  if (events != 0) {
    auto thread = std::make_unique<PortEventThread>(*this, device->NativeHandle(), events, event_poster_);
    // A line whose events cannot be watched still moves bytes: the port
    // opens without line events rather than not at all.
    if (thread->Start()) thread_ = std::move(thread);
  }
  device_ = std::move(device);
  lock_ = std::move(lock);
  device_path_ = *path;
  open_ = true;
  ++open_count_;
  Notify(callbacks_.on_opened);
  return true;
}

void SerialPort::ReleaseDevice() {
  device_.reset();
  lock_.reset();
  device_path_.clear();
  rx_head_ = rx_tail_ = 0;
}

bool SerialPort::Close() {
  if (!open_) return false;
  if (thread_) {
    // May run one last dispatch, with the port still open.
    thread_->Stop();
    thread_.reset();
    // That dispatch's callback may have closed the port itself.
    if (!open_) return false;
  }
  open_ = false;
  try {
    Notify(callbacks_.on_closed);
  } catch (...) {
    ReleaseDevice();
    throw;
  }
  ReleaseDevice();
  return true;
}

bool SerialPort::Read(void* buffer, int n) {
  if (!open_ || n < 0 || (n > 0 && buffer == nullptr)) return false;
  auto* out = static_cast<char*>(buffer);
  std::size_t want = static_cast<std::size_t>(n);

  const std::size_t buffered = std::min(want, rx_tail_ - rx_head_);
  if (buffered > 0) {
    std::memcpy(out, rx_buffer_.data() + rx_head_, buffered);
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
  Clock::time_point total{}, gap = Clock::time_point::max(), hook_due{};
  while (true) {
    long got;
    if (want >= rx_buffer_.size() / 2) {
      got = device_->ReadSome(out, want);
    } else {
      got = device_->ReadSome(rx_buffer_.data(), rx_buffer_.size());
      if (got > 0) {
        const std::size_t take = std::min(want, static_cast<std::size_t>(got));
        std::memcpy(out, rx_buffer_.data(), take);
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
      total = After(now, timeouts_.read_ms);
    }
    if (progressed && got_any && timeouts_.read_interval_ms > 0) gap = After(now, timeouts_.read_interval_ms);
    progressed = false;
    const auto deadline = std::min(total, gap);
    if (now >= deadline) return false;
    if (!AwaitDevice(Await::kReadable, deadline, hook_due)) return false;
  }
}

bool SerialPort::Write(const void* buffer, int n) { return Send(buffer, n, true); }

bool SerialPort::WriteQueued(const void* buffer, int n) { return Send(buffer, n, false); }

bool SerialPort::Send(const void* buffer, int n, bool drain) {
  if (!open_ || n < 0 || (n > 0 && buffer == nullptr)) return false;
  const auto* in = static_cast<const char*>(buffer);
  std::size_t left = static_cast<std::size_t>(n);
  if (left == 0) return true;

  const std::uint64_t generation = open_count_;
  bool timing = false;
  Clock::time_point deadline{}, hook_due{};
  while (true) {
    const long put = device_->WriteSome(in, left);
    if (put < 0) break;
    if (put > 0) {
      in += put;
      left -= static_cast<std::size_t>(put);
      if (left == 0) break;
      // Room came: the line moves, and the limit counts from here.
      timing = false;
      continue;
    }
    const auto now = Clock::now();
    if (!timing) {
      timing = true;
      deadline = After(now, timeouts_.write_ms);
    }
    if (now >= deadline || !AwaitDevice(Await::kWritable, deadline, hook_due)) break;
  }
  if (left == 0 && !drain) {
    if (thread_) thread_->NoteWrite();
    return true;
  }
  // Sent means on the line: a queue that stops going down for the write
  // time-out fails the call, so a later reply wait never starts before the
  // block is out. The limit counts from the last progress, not from the
  // start: a slow line may hold many queued blocks ahead of this one.
  int last_queued = -1;
  while (left == 0) {
    const int queued = device_->QueuedOut();
    if (queued <= 0) {
      if (thread_) thread_->NoteWrite();
      return true;
    }
    const auto now = Clock::now();
    if (!timing || (last_queued >= 0 && queued < last_queued)) {
      timing = true;
      deadline = After(now, timeouts_.write_ms);
    }
    last_queued = queued;
    if (now >= deadline || !AwaitDevice(Await::kDrained, deadline, hook_due)) break;
  }
  // The caller counts this block as not sent: none of it may go out later.
  // What the queue may still hold besides is data queued since the last
  // Write, never a control byte (each goes out by a draining Write).
  if (open_ && open_count_ == generation) device_->DiscardOutput();
  return false;
}

void SerialPort::DiscardQueuedOutput() {
  if (open_) device_->DiscardOutput();
}

bool SerialPort::AwaitDevice(Await what, Clock::time_point deadline, Clock::time_point& hook_due) {
  const bool hooked = static_cast<bool>(wait_hook_);
  if (hooked) {
    if (hook_due == Clock::time_point{}) hook_due = Clock::now() + kWaitHookInterval;
    deadline = std::min(deadline, hook_due);
  }
  const bool stoppable = stop_token_.stop_possible();
  if (stoppable) {
    if (stop_token_.stop_requested()) return false;
    deadline = std::min(deadline, Clock::now() + kStopCheckInterval);
  }
  PortDevice::Wait waited = PortDevice::Wait::kTimedOut;
  switch (what) {
    case Await::kReadable: waited = device_->WaitReadable(deadline); break;
    case Await::kWritable: waited = device_->WaitWritable(deadline); break;
    case Await::kDrained: waited = device_->WaitDrained(deadline); break;
  }
  if (waited == PortDevice::Wait::kGone) return false;
  if (stoppable && stop_token_.stop_requested()) return false;
  if (hooked && Clock::now() >= hook_due) {
    const std::uint64_t generation = open_count_;
    // A copy: the hook may replace itself.
    if (std::function<void()> hook = wait_hook_) hook();
    if (!open_ || open_count_ != generation) return false;
    hook_due = Clock::now() + kWaitHookInterval;
  }
  return true;
}

bool SerialPort::HasHungUp() {
  // A wait that ends at once would not look; a live line is writable or
  // not within a millisecond, a hung-up one answers at once.
  return open_ && device_->WaitWritable(Clock::now() + std::chrono::milliseconds(1)) == PortDevice::Wait::kGone;
}

int SerialPort::BytesAvailable() {
  if (!open_) return -1;
  const int queued = device_->QueuedIn();
  return static_cast<int>(rx_tail_ - rx_head_) + std::max(queued, 0);
}

void SerialPort::DiscardInput() {
  rx_head_ = rx_tail_ = 0;
  if (!device_) return;
  device_->DiscardInput();
  // No output flush: a successful Write has drained its bytes and a failed
  // one discarded its rest, so all a flush could still drop are bytes a
  // Write reported sent that the other end has not read yet (a pseudo-
  // terminal holds those on its far side) and data WriteQueued left queued.
}

bool SerialPort::PullAndFind(char ch) {
  if (!device_) return false;
  bool found = false;
  while (true) {
    if (rx_head_ == rx_tail_) rx_head_ = rx_tail_ = 0;
    if (rx_tail_ == rx_buffer_.size() && rx_head_ > 0) {
      std::memmove(rx_buffer_.data(), rx_buffer_.data() + rx_head_, rx_tail_ - rx_head_);
      rx_tail_ -= rx_head_;
      rx_head_ = 0;
    }
    // Unread bytes fill the buffer: it grows, so the character is still
    // seen among what comes after them.
    if (rx_tail_ == rx_buffer_.size()) {
      if (rx_buffer_.size() >= kRxBufferLimit) return found;
      rx_buffer_.resize(std::min(rx_buffer_.size() * 2, kRxBufferLimit));
    }
    const std::size_t room = rx_buffer_.size() - rx_tail_;
    const long got = device_->ReadSome(rx_buffer_.data() + rx_tail_, room);
    if (got <= 0) return found;
    const char* fresh = rx_buffer_.data() + rx_tail_;
    rx_tail_ += static_cast<std::size_t>(got);
    found = found || std::memchr(fresh, static_cast<unsigned char>(ch), static_cast<std::size_t>(got)) != nullptr;
    if (static_cast<std::size_t>(got) < room) return found;
  }
}

}  // namespace mirvo
