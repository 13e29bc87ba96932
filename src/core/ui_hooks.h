// What the core asks of a window system, and nothing more.
//
// The core (serial port, event thread, protocol engine, handset probe) never
// links a toolkit. Where it needs the user interface it calls the hooks
// installed here: the program installs the Qt ones at start-up, tests install
// a fake that records every message box and answers as scripted.
//
// Thread safety: PostToMainThread may be called from any thread. Every other
// hook is called on the main thread only.
#pragma once

#include <functional>
#include <string>

namespace mirvo {

enum class MsgIcon { None, Error, Warning, Information, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No, Retry };

class UiHooks {
 public:
  virtual ~UiHooks() = default;

  // Lets pending user-interface events run, including functions posted with
  // PostToMainThread.
  virtual void ProcessMessages() = 0;

  // Queues fn to run on the main thread at its next message-processing point
  // and returns at once. Callers that need to wait for it (the port event
  // thread's synchronous hand-over) do their own waiting, so that the main
  // thread can also run the work itself instead of deadlocking on a join.
  virtual void PostToMainThread(std::function<void()> fn) = 0;

  // A modal message box. Texts are UTF-8; owner is the window that owns the
  // box (nullptr: the main window).
  virtual MsgAnswer MessageBox(const void* owner, const std::string& caption, const std::string& text,
                               MsgIcon icon, MsgButtons buttons) = 0;

  // Releases the mouse capture, if any window holds it.
  virtual void ReleaseCapture() = 0;
};

// The installed hooks. Until something is installed, a default set runs
// posted functions on the next ProcessMessages, answers every message box
// with its first button and writes its text to standard error.
UiHooks& Ui();

// Installs hooks (not owned; nullptr restores the default). Call on the main
// thread while no port is open.
void SetUiHooks(UiHooks* hooks);

}  // namespace mirvo
