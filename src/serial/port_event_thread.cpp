#include "serial/port_event_thread.h"

#include <condition_variable>
#include <mutex>

#include "serial/line_event_waiter.h"

namespace mirvo {

using namespace line_event;

// What the thread and the main thread share. It outlives the thread object
// for as long as a dispatch runs or a posted call still holds it.
struct PortEventThread::HandOver {
  std::mutex mutex;
  std::condition_variable cv;
  enum class State { kIdle, kPending, kRunning } state = State::kIdle;
  std::uint64_t ticket = 0;  // which posting may run the pending dispatch
  std::uint32_t events = 0;
  bool stop = false;
  // Main thread only; null once the thread object is gone, which tells a
  // dispatch in progress to touch nothing more.
  PortEventThread* self = nullptr;
};

PortEventThread::PortEventThread(SerialPort& port, int device_handle, std::uint32_t watched_events,
                                 SerialPort::EventPoster poster)
    : port_(port),
      device_handle_(device_handle),
      watched_(watched_events),
      poster_(std::move(poster)),
      handover_(std::make_shared<HandOver>()) {
  handover_->self = this;
}

PortEventThread::~PortEventThread() {
  Stop();
  handover_->self = nullptr;
}

bool PortEventThread::Start() {
  if (thread_.joinable()) return false;
  waiter_ = serial_internal::LineEventWaiter::Create(device_handle_, watched_);
  if (!waiter_) return false;
  thread_ = std::thread([this] { Execute(); });
  return true;
}

void PortEventThread::NoteWrite() {
  if (waiter_) waiter_->NoteWrite();
}

void PortEventThread::Execute() {
  const std::shared_ptr<HandOver> h = handover_;
  while (true) {
    std::uint32_t events = 0;
    const bool ok = waiter_->Wait(events);
    std::uint64_t ticket;
    {
      std::lock_guard lock(h->mutex);
      if (h->stop) return;
      if (!ok) continue;
      h->state = HandOver::State::kPending;
      h->events = events;
      ticket = ++h->ticket;
    }
    poster_([weak = std::weak_ptr<HandOver>(h), ticket] {
      const auto held = weak.lock();
      if (!held) return;
      {
        std::lock_guard lock(held->mutex);
        if (held->state != HandOver::State::kPending || held->ticket != ticket) return;
        held->state = HandOver::State::kRunning;
      }
      RunDispatch(held);
    });
    std::unique_lock lock(h->mutex);
    h->cv.wait(lock, [&] { return h->state == HandOver::State::kIdle || h->stop; });
    if (h->stop) return;
  }
}

void PortEventThread::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(handover_->mutex);
    handover_->stop = true;
  }
  handover_->cv.notify_all();
  waiter_->Wake();
  // The thread waits for nothing once stop is set, so this join never
  // waits on the main thread.
  thread_.join();
  bool pending = false;
  {
    std::lock_guard lock(handover_->mutex);
    if (handover_->state == HandOver::State::kPending) {
      handover_->state = HandOver::State::kRunning;
      pending = true;
    }
  }
  // A hand-over the thread made before it saw the stop still runs, once.
  if (pending) RunDispatch(handover_);
}

void PortEventThread::RunDispatch(const std::shared_ptr<HandOver>& h) {
  // Keeps the shared state alive if a handler closes the port.
  const std::shared_ptr<HandOver> keep = h;
  // The hand-over ends however the callbacks do: an exception goes on to
  // whoever ran the dispatch, and the event thread waits again.
  struct EndHandOver {
    HandOver& h;
    ~EndHandOver() {
      {
        std::lock_guard lock(h.mutex);
        h.state = HandOver::State::kIdle;
      }
      h.cv.notify_all();
    }
  } end{*keep};
  if (PortEventThread* self = keep->self) {
    {
      std::lock_guard lock(keep->mutex);
      self->last_events_ = keep->events;
    }
    self->DispatchEvents();
  }
}

void PortEventThread::DispatchEvents() {
  const std::shared_ptr<HandOver> keep = handover_;

  // The event character is found among the bytes that came; the raw
  // "bytes came" bit stays only if the receive event itself is watched.
  // 0 is no event character, not the NUL byte (which binary data is full of).
  const char event_char = port_.settings_.event_char;
  if ((watched_ & kEventChar) && (last_events_ & kBytesReceived) && event_char != 0 && port_.PullAndFind(event_char))
    last_events_ |= kEventChar;
  if (!(watched_ & kBytesReceived)) last_events_ &= ~kBytesReceived;

  using Callback = std::function<void()> SerialPort::Callbacks::*;
  // False once a callback has closed the port: this object is gone then.
  auto call = [&](Callback callback) {
    // A copy: the callback may replace the callbacks.
    if (std::function<void()> fn = port_.callbacks_.*callback) fn();
    return keep->self != nullptr;
  };
  struct Step {
    std::uint32_t bit;
    Callback callback;
  };
  using Callbacks = SerialPort::Callbacks;
  static constexpr Step kBefore[] = {
      {kBreak, &Callbacks::on_break},
      {kCtsChanged, &Callbacks::on_cts_changed},
      {kDsrChanged, &Callbacks::on_dsr_changed},
      {kRing, &Callbacks::on_ring},
  };
  for (const Step& s : kBefore) {
    if ((last_events_ & s.bit) && !call(s.callback)) return;
  }
  if (last_events_ & kBytesReceived) {
    received_count_ = port_.BytesAvailable();
    const int packet_size = port_.settings_.packet_size;
    if (port_.callbacks_.on_packet && packet_size != 0 && received_count_ >= packet_size) {
      received_count_ = 0;
      if (!call(&Callbacks::on_packet)) return;
    }
    if (!call(&Callbacks::on_bytes_received)) return;
  }
  if ((last_events_ & kEventChar) && !call(&Callbacks::on_event_char)) return;
  if ((last_events_ & kSendQueueEmpty) && !call(&Callbacks::on_send_queue_empty)) return;
  if ((last_events_ & kHangUp) && !call(&Callbacks::on_hang_up)) return;
}

}  // namespace mirvo
