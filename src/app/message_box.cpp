#include "app/message_box.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QScreen>
#include <algorithm>
#include <cstdio>

namespace mirvo::app {
namespace {

MessageBoxes* g_instance = nullptr;


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

MessageBoxes::MessageBoxes() { g_instance = this; }

MessageBoxes::~MessageBoxes() {
  if (g_instance == this) g_instance = nullptr;
}

MessageBoxes* MessageBoxes::Instance() { return g_instance; }

MsgAnswer MessageBoxes::Show(QWidget* owner, const QString& caption, const QString& text, MsgIcon icon,
                             MsgButtons buttons) {
  MessageRequest request;
  request.owner = owner ? owner : main_window_.data();
  request.caption = caption;
  request.text = text;
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
  for (QString rest : request.text.split('\n')) {
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

void ReleaseCapture() {
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
}

MsgAnswer ShowMessage(const QString& text, MsgIcon icon, MsgButtons buttons, QWidget* owner) {
  if (g_instance) return g_instance->Show(owner, "Mirvo", text, icon, buttons);
  // No window system to ask (a bench, a tool): the text goes to standard
  // error and the first button answers.
  std::fprintf(stderr, "Mirvo: %s\n", text.toLocal8Bit().constData());
  return buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel ? MsgAnswer::Yes
         : buttons == MsgButtons::RetryCancel                               ? MsgAnswer::Retry
                                                                            : MsgAnswer::Ok;
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
