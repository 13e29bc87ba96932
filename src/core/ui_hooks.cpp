#include "core/ui_hooks.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

namespace mirvo {
namespace {

class DefaultHooks final : public UiHooks {
 public:
  void ProcessMessages() override {
    std::deque<std::function<void()>> ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(queue_);
    }
    for (auto& fn : ready) fn();
  }
  void PostToMainThread(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  MsgAnswer MessageBox(const void*, const std::string& caption, const std::string& text, MsgIcon,
                       MsgButtons buttons) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    switch (buttons) {
      case MsgButtons::YesNo:
      case MsgButtons::YesNoCancel: return MsgAnswer::Yes;
      case MsgButtons::RetryCancel: return MsgAnswer::Retry;
      default: return MsgAnswer::Ok;
    }
  }
  void ReleaseCapture() override {}

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

DefaultHooks& Defaults() {
  static DefaultHooks hooks;
  return hooks;
}

std::atomic<UiHooks*> installed{nullptr};

}  // namespace

UiHooks& Ui() {
  UiHooks* h = installed.load(std::memory_order_acquire);
  return h ? *h : Defaults();
}

void SetUiHooks(UiHooks* hooks) { installed.store(hooks, std::memory_order_release); }

}  // namespace mirvo
