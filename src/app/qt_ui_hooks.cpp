#include "app/qt_ui_hooks.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QScreen>
#include <algorithm>

namespace mirvo::app {
namespace {

QtUiHooks* g_instance = nullptr;


QMessageBox::Icon ToQt(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Error: return QMessageBox::Critical;
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

// Buttons and the default one; a question defaults to its negative answer.
void AddButtons(QMessageBox& box, MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case MsgButtons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case MsgButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::No);
      break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    case MsgButtons::RetryCancel:
      box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
      break;
  }
}

MsgAnswer FromQt(int button) {
  switch (button) {
    case QMessageBox::Ok: return MsgAnswer::Ok;
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    case QMessageBox::Retry: return MsgAnswer::Retry;
    default: return MsgAnswer::Cancel;
  }
}

}  // namespace

QtUiHooks::QtUiHooks() {
  g_instance = this;
  SetUiHooks(this);
}

QtUiHooks::~QtUiHooks() {
  SetUiHooks(nullptr);
  if (g_instance == this) g_instance = nullptr;
}

QtUiHooks* QtUiHooks::Instance() { return g_instance; }

void QtUiHooks::ProcessMessages() { QCoreApplication::processEvents(); }

void QtUiHooks::PostToMainThread(std::function<void()> fn) {
  QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection);
}

MsgAnswer QtUiHooks::MessageBox(const void* owner, const std::string& caption, const std::string& text,
                                MsgIcon icon, MsgButtons buttons) {
  MessageRequest request;
  // The core passes only windows of ours as owners.
  request.owner = owner ? static_cast<QWidget*>(const_cast<void*>(owner)) : main_window_.data();
  request.caption = QString::fromStdString(caption);
  request.text = QString::fromStdString(text);
  request.icon = icon;
  request.buttons = buttons;
  if (responder_) return responder_(request);

  return FromQt(MakeMessageBox(request)->exec());
}

std::unique_ptr<QMessageBox> MakeMessageBox(const MessageRequest& request) {
  auto box = std::make_unique<QMessageBox>(ToQt(request.icon), request.caption, QString(), QMessageBox::NoButton,
                                           request.owner);
  AddButtons(*box, request.buttons);
  // The box wraps a wide line wherever it likes, which splits Japanese
  // words: break such lines after punctuation instead.
  const QFontMetrics metrics(box->font());
  // The box wraps once it would grow past half the screen (500 px at most);
  // the icon and the margins take about 100 of that.
  const QScreen* screen = request.owner ? request.owner->screen() : QGuiApplication::primaryScreen();
  const int line_width = std::min(screen ? screen->availableGeometry().width() / 2 : 500, 500) - 100;
  QStringList lines;
  for (QString rest : QString(request.text).replace("\r\n", "\n").split('\n')) {
    while (metrics.horizontalAdvance(rest) > line_width) {
      qsizetype cut = -1;
      for (qsizetype i = 0; i + 1 < rest.size(); ++i) {
        if (!QStringLiteral("、。，．？！").contains(rest[i])) continue;
        if (cut >= 0 && metrics.horizontalAdvance(rest.left(i + 1)) > line_width) break;
        cut = i + 1;
      }
      if (cut < 0) break;
      lines << rest.left(cut);
      rest = rest.mid(cut);
    }
    lines << rest;
  }
  box->setText(lines.join('\n'));
  return box;
}

void QtUiHooks::ReleaseCapture() {
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
}

MsgAnswer ShowMessage(const QString& text, MsgIcon icon, MsgButtons buttons, QWidget* owner) {
  return Ui().MessageBox(owner, "Mirvo", text.toStdString(), icon, buttons);
}

void ForceForeground(QWidget* window) {
  if (!window) return;
  window->raise();
  window->activateWindow();
}

void ForceActive(QWidget* window) {
  if (window) window->activateWindow();
}

}  // namespace mirvo::app
