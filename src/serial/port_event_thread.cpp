#include "serial/port_event_thread.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "core/ui_hooks.h"
#include "serial/port_wait.h"

namespace mirvo {

using namespace comm_event;

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

PortEventThread::PortEventThread(std::uint32_t watch_mask) : watch_(watch_mask), handover_(std::make_shared<HandOver>()) {
  handover_->self = this;
}

PortEventThread::~PortEventThread() {
  Stop();
  handover_->self = nullptr;
}

bool PortEventThread::Start() {
  if (thread_.joinable()) return false;
  waiter_ = serial_internal::CommWaiter::Create(PortHandle, watch_);
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
    Ui().PostToMainThread([weak = std::weak_ptr<HandOver>(h), ticket] {
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
  if (PortEventThread* self = keep->self) {
    {
      std::lock_guard lock(keep->mutex);
      self->EventMask = keep->events;
    }
    // An escaped exception is reported and the dispatch ends there, as the
    // program's general error report would; the thread and the program go on.
    try {
      self->DispatchEvents();
    } catch (const std::exception& e) {
      Ui().MessageBox(nullptr, "Mirvo", e.what(), MsgIcon::Error, MsgButtons::Ok);
    } catch (...) {
      Ui().MessageBox(nullptr, "Mirvo", "unknown exception", MsgIcon::Error, MsgButtons::Ok);
    }
  }
  {
    std::lock_guard lock(keep->mutex);
    keep->state = HandOver::State::kIdle;
  }
  keep->cv.notify_all();
}

void PortEventThread::DispatchEvents() {
  const std::shared_ptr<HandOver> keep = handover_;
  SerialPort* const owner = Owner;
  if (owner == nullptr) return;

  // The event character is found among the bytes that came; the raw
  // "bytes came" bit stays only if the receive event itself is watched.
  if ((watch_ & kRxFlag) && (EventMask & kRxChar) && owner->PullAndFind(owner->EvtChar)) EventMask |= kRxFlag;
  if (!(watch_ & kRxChar)) EventMask &= ~kRxChar;

  // False once a handler has closed the port: this object is gone then.
  auto call = [&](TNotifyEvent SerialPort::*handler) {
    if (TNotifyEvent fn = owner->*handler) fn(*this);
    return keep->self != nullptr;
  };
  struct Step {
    std::uint32_t bit;
    TNotifyEvent SerialPort::*handler;
  };
  static constexpr Step kBefore[] = {
      {kBreak, &SerialPort::OnBREAK}, {kCts, &SerialPort::OnCTS},  {kDsr, &SerialPort::OnDSR},
      {kErr, &SerialPort::OnERR},     {kRing, &SerialPort::OnRING}, {kRlsd, &SerialPort::OnRLSD},
  };
  for (const Step& s : kBefore) {
    if ((EventMask & s.bit) && !call(s.handler)) return;
  }
  if (EventMask & kRxChar) {
    RxCount = owner->InQueCount();
    if (owner->OnPacket && owner->PacketSize != 0 && RxCount >= owner->PacketSize) {
      RxCount = 0;
      if (!call(&SerialPort::OnPacket)) return;
    }
    if (!call(&SerialPort::OnRXChar)) return;
  }
  if ((EventMask & kRxFlag) && !call(&SerialPort::OnRXFlag)) return;
  if ((EventMask & kTxEmpty) && !call(&SerialPort::OnTXEmpty)) return;
  if ((EventMask & kHangUp) && !call(&SerialPort::OnHangUp)) return;
}

}  // namespace mirvo
