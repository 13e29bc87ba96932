// Test stand-in for the window system: records every message box, answers
// from a script, and runs posted functions when the test pumps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/ui_hooks.h"

namespace mirvo::testing {

struct RecordedBox {
  std::string caption;
  std::string text;
  MsgIcon icon;
  MsgButtons buttons;
};

class FakeUi final : public UiHooks {
 public:
  // Installs itself for the life of the object.
  FakeUi();
  ~FakeUi() override;

  void ProcessMessages() override;
  void PostToMainThread(std::function<void()> fn) override;
  MsgAnswer MessageBox(const void* owner, const std::string& caption, const std::string& text, MsgIcon icon,
                       MsgButtons buttons) override;
  void ReleaseCapture() override { ++captures_released; }

  // Runs posted functions until pred() holds or the bound runs out; waits
  // on the posting itself, never by sleeping. Returns pred().
  bool PumpUntil(const std::function<bool()>& pred,
                 std::chrono::milliseconds bound = std::chrono::seconds(5));

  // Answers for the next boxes, in order; when empty, the first button.
  std::deque<MsgAnswer> answers;
  std::vector<RecordedBox> boxes;
  int process_calls = 0;
  int captures_released = 0;
  // Called on every ProcessMessages, for tests that act "while the UI pumps".
  std::function<void()> on_process;

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace mirvo::testing
