#include "uart_queue_device.h"

#include <poll.h>

#include <algorithm>
#include <utility>

namespace mirvo::bench {
namespace {

using serial_internal::Clock;
using serial_internal::PortDevice;
using std::chrono::nanoseconds;

// A real driver wakes a blocked writer once this much room is free again.
constexpr int kWakeRoom = 256;

class UartQueueDevice final : public PortDevice {
 public:
  UartQueueDevice(std::unique_ptr<PortDevice> tty, int baud_rate, int queue_bytes, std::shared_ptr<LineRecord> record)
      : tty_(std::move(tty)),
        byte_time_(nanoseconds(10'000'000'000LL / std::max(baud_rate, 1))),
        capacity_(queue_bytes),
        record_(std::move(record)) {}

  long ReadSome(void* buffer, std::size_t cap) override {
    const long got = tty_->ReadSome(buffer, cap);
    if (got > 0) last_in_ = Clock::now();
    return got;
  }

  long WriteSome(const void* buffer, std::size_t n) override {
    std::size_t take = n;
    if (capacity_ > 0) take = std::min<std::size_t>(n, static_cast<std::size_t>(std::max(capacity_ - Queued(), 0)));
    if (take == 0) return 0;
    const long put = tty_->WriteSome(buffer, take);
    if (put <= 0) return put;
    const auto now = Clock::now();
    const auto line_busy_until = std::max(last_in_, empty_at_);
    if (line_busy_until != Clock::time_point{} && now > line_busy_until) {
      const auto* bytes = static_cast<const char*>(buffer);
      record_->gaps.push_back({now, now - line_busy_until, std::string(bytes, std::min<std::size_t>(put, 16))});
    }
    empty_at_ = std::max(empty_at_, now) + byte_time_ * put;
    return put;
  }

  Wait WaitReadable(Clock::time_point deadline) override { return tty_->WaitReadable(deadline); }

  Wait WaitWritable(Clock::time_point deadline) override {
    if (capacity_ <= 0 || capacity_ - Queued() >= kWakeRoom) return tty_->WaitWritable(deadline);
    // Room comes as the line takes bytes off the queue's head.
    const auto room_at = empty_at_ - byte_time_ * (capacity_ - kWakeRoom);
    if (Nap(std::min(deadline, room_at)) == Wait::kGone) return Wait::kGone;
    return Clock::now() >= deadline ? Wait::kTimedOut : Wait::kReady;
  }

  // As a tty does it (serial_device_posix.cpp): no event says the queue is
  // empty, so a nap for about the time the queue takes on the line (at
  // least 100 us), then a look again.
  Wait WaitDrained(Clock::time_point deadline) override {
    if (capacity_ <= 0) return tty_->WaitDrained(deadline);
    const int queued = Queued();
    if (queued <= 0) return Wait::kReady;
    const auto until = std::min(deadline, Clock::now() + std::max(nanoseconds(byte_time_ * queued),
                                                                   nanoseconds(std::chrono::microseconds(100))));
    if (Nap(until) == Wait::kGone) return Wait::kGone;
    return Clock::now() >= deadline ? Wait::kTimedOut : Wait::kReady;
  }

  int QueuedIn() override { return tty_->QueuedIn(); }
  // Without a queue of its own, the line time of what was written is still
  // kept (for the record), but the tty's count is reported.
  int QueuedOut() override { return capacity_ > 0 ? Queued() : tty_->QueuedOut(); }
  void DiscardInput() override { tty_->DiscardInput(); }
  // What the pseudo-terminal still holds is dropped with the count; bytes
  // the handset has read already are past recall, as on a real line.
  void DiscardOutput() override {
    tty_->DiscardOutput();
    empty_at_ = Clock::now();
  }
  int NativeHandle() const override { return tty_->NativeHandle(); }

 private:
  int Queued() const {
    const auto left = empty_at_ - Clock::now();
    if (left <= nanoseconds::zero()) return 0;
    return static_cast<int>((left + byte_time_ - nanoseconds(1)) / byte_time_);
  }

  // Only a hang-up ends the nap early.
  Wait Nap(Clock::time_point until) {
    const auto left = std::max(until - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<nanoseconds>(left).count();
    const timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd p{tty_->NativeHandle(), 0, 0};
    if (ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return Wait::kGone;
    return Wait::kReady;
  }

  std::unique_ptr<PortDevice> tty_;
  const nanoseconds byte_time_;
  const int capacity_;
  std::shared_ptr<LineRecord> record_;
  Clock::time_point empty_at_{};
  Clock::time_point last_in_{};
};

}  // namespace

UartQueueDevices::UartQueueDevices(int queue_bytes) : record_(std::make_shared<LineRecord>()) {
  serial_internal::SetDeviceOpener(
      [queue_bytes, record = record_](const std::string& path, const SerialSettings& settings)
          -> std::unique_ptr<PortDevice> {
        auto tty = PortDevice::Open(path, settings);
        if (!tty) return nullptr;
        return std::make_unique<UartQueueDevice>(std::move(tty), settings.baud_rate, queue_bytes, record);
      });
}

UartQueueDevices::~UartQueueDevices() { serial_internal::SetDeviceOpener(nullptr); }

}  // namespace mirvo::bench
