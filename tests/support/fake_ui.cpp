#include "fake_ui.h"

namespace mirvo::testing {

FakeUi::FakeUi() { SetUiHooks(this); }
FakeUi::~FakeUi() { SetUiHooks(nullptr); }

void FakeUi::ProcessMessages() {
  ++process_calls;
  std::deque<std::function<void()>> ready;
  {
    std::lock_guard lock(mutex_);
    ready.swap(queue_);
  }
  for (auto& fn : ready) fn();
  if (on_process) on_process();
}

void FakeUi::PostToMainThread(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

MsgAnswer FakeUi::MessageBox(const void*, const std::string& caption, const std::string& text, MsgIcon icon,
                             MsgButtons buttons) {
  boxes.push_back({caption, text, icon, buttons});
  if (!answers.empty()) {
    MsgAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  switch (buttons) {
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgAnswer::Yes;
    case MsgButtons::RetryCancel: return MsgAnswer::Retry;
    default: return MsgAnswer::Ok;
  }
}

bool FakeUi::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (true) {
    ProcessMessages();
    if (pred()) return true;
    std::unique_lock lock(mutex_);
    if (queue_.empty() && posted_.wait_until(lock, deadline, [&] { return !queue_.empty(); }) == false)
      break;
  }
  ProcessMessages();
  return pred();
}

}  // namespace mirvo::testing
