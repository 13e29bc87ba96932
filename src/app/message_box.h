// The one road every message box of the program takes: tests replace the
// answering end and read the texts.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>


class QMessageBox;

namespace mirvo::app {

enum class MsgIcon { None, Error, Warning, Information, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No, Retry };

// What a message box asked, for the responder.
struct MessageRequest {
  QWidget* owner = nullptr;
  QString caption;
  QString text;
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
};
using MessageResponder = std::function<MsgAnswer(const MessageRequest&)>;

// The program's message boxes, one instance for the program's life.
class MessageBoxes final {
 public:
  MessageBoxes();
  ~MessageBoxes();
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;

  // A modal box; owner nullptr: the main window.
  MsgAnswer Show(QWidget* owner, const QString& caption, const QString& text, MsgIcon icon, MsgButtons buttons);

  // Boxes with no owner of their own belong to this window.
  void SetMainWindow(QWidget* window) { main_window_ = window; }
  QWidget* Window() const { return main_window_; }

  // Replaces the modal QMessageBox (tests); an empty function restores it.
  void SetResponder(MessageResponder responder) { responder_ = std::move(responder); }

  // The installed instance, or nullptr.
  static MessageBoxes* Instance();

 private:
  QPointer<QWidget> main_window_;
  MessageResponder responder_;
};

// The box a request shows: its lines break only where the text does and,
// where a line is too wide, after its punctuation, never inside a word.
std::unique_ptr<QMessageBox> MakeMessageBox(const MessageRequest& request);

// A message box of the program: caption "Mirvo", owned by owner or by the
// main window. Goes through the installed MessageBoxes.
MsgAnswer ShowMessage(const QString& text, MsgIcon icon = MsgIcon::Error, MsgButtons buttons = MsgButtons::Ok,
                      QWidget* owner = nullptr);

// Lets go of the mouse if a widget holds it, so that a box can be answered.
void ReleaseCapture();

// Raise the window and give it the keyboard.
void ForceForeground(QWidget* window);
void ForceActive(QWidget* window);

}  // namespace mirvo::app
