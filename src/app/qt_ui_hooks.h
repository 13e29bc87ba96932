// The core's user-interface hooks on Qt, and the one road every message box
// of the program takes: tests replace the answering end and read the texts.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "core/ui_hooks.h"

class QMessageBox;

namespace mirvo::app {

// What a message box asked, for the responder.
struct MessageRequest {
  QWidget* owner = nullptr;
  QString caption;
  QString text;
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
};
using MessageResponder = std::function<MsgAnswer(const MessageRequest&)>;

class QtUiHooks final : public UiHooks {
 public:
  // Installs itself as the core's hooks; the previous ones come back when
  // it is destroyed.
  QtUiHooks();
  ~QtUiHooks() override;
  QtUiHooks(const QtUiHooks&) = delete;
  QtUiHooks& operator=(const QtUiHooks&) = delete;

  void ProcessMessages() override;
  void PostToMainThread(std::function<void()> fn) override;
  MsgAnswer MessageBox(const void* owner, const std::string& caption, const std::string& text, MsgIcon icon,
                       MsgButtons buttons) override;
  void ReleaseCapture() override;

  // Boxes with no owner of their own belong to this window.
  void SetMainWindow(QWidget* window) { main_window_ = window; }
  QWidget* Window() const { return main_window_; }

  // Replaces the modal QMessageBox (tests); an empty function restores it.
  void SetResponder(MessageResponder responder) { responder_ = std::move(responder); }

  // The installed instance, or nullptr.
  static QtUiHooks* Instance();

 private:
  QPointer<QWidget> main_window_;
  MessageResponder responder_;
};

// The box a request shows: its lines break only where the text does and,
// where a line is too wide, after its punctuation, never inside a word.
std::unique_ptr<QMessageBox> MakeMessageBox(const MessageRequest& request);

// A message box of the program: caption "Mirvo", owned by owner or by the
// main window. Goes through the installed hooks.
MsgAnswer ShowMessage(const QString& text, MsgIcon icon = MsgIcon::Error, MsgButtons buttons = MsgButtons::Ok,
                      QWidget* owner = nullptr);

// Raise the window and give it the keyboard.
void ForceForeground(QWidget* window);
void ForceActive(QWidget* window);

}  // namespace mirvo::app
