// The main window's status bar: what runs, the selection's size, the port,
// the handset's name, and the progress of a run beside them.
#include <QAccessible>
#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <algorithm>

#include "app/app_resources.h"
#include "app/device_list_model.h"
#include "app/file_view.h"
#include "app/main_window.h"
#include "app/session_controller.h"
#include "app/status_panel.h"
#include "app/transfer_controller.h"
#include "app/transfer_progress.h"

namespace mirvo::app {
namespace {

// Where the handset field's text starts, right of its picture.
constexpr int kHandsetTextLeft = 20;

}  // namespace

void MainWindow::CreateStatusBar() {
  status_bar_ = new QStatusBar(this);
  status_bar_->setObjectName("status_bar");
  const char* const names[3] = {"activity_status", "size_status", "port_status"};
  const int widths[3] = {200, 80, 80};
  for (std::size_t i = 0; i < status_labels_.size(); ++i) {
    status_labels_[i] = new StatusLabel(widths[i], status_bar_);
    // What runs stays readable beside a run's progress in a narrow window:
    // "ファイル取得中..." and the start of a name.
    if (i == 0) status_labels_[i]->setMinimumWidth(status_labels_[i]->fontMetrics().horizontalAdvance(QChar(0x3042)) * 10);
    status_labels_[i]->setObjectName(names[i]);
    status_bar_->addWidget(status_labels_[i]);
  }
  ShowStatus(StatusField::Port, "未接続");
  // A panel's text is its name; what the panel is for, its description.
  const char* const roles[3] = {"状態", "選択したファイルのサイズ", "ポート"};
  for (std::size_t i = 0; i < status_labels_.size(); ++i) status_labels_[i]->setAccessibleDescription(roles[i]);
  handset_status_ =
      new StatusPanel([this](QPainter& p, const QRect& r) { PaintHandsetStatus(p, r); }, status_bar_);
  handset_status_->setObjectName("handset_status");
  handset_status_->setMinimumSize(50, 18);
  handset_status_->setAccessibleDescription("電話機");
  NameHandsetStatus();
  status_bar_->addWidget(handset_status_, 1);
  // Whatever the bar shows, the progress of a run included, it takes the
  // window's width as it is.
  status_bar_->setMinimumWidth(1);
  setStatusBar(status_bar_);
}

QString MainWindow::StatusText(StatusField field) const {
  if (field == StatusField::Handset)
    return session_->IsLinkOpen() ? FromCp932(session_->VendorName()) + " - " + FromCp932(session_->ModelName())
                                  : QString();
  return status_labels_[static_cast<std::size_t>(field)]->text();
}

void MainWindow::ShowStatus(StatusField field, const QString& text) {
  if (field == StatusField::Handset) return;
  QString shown = text;
  if (field == StatusField::Activity) {
    // A stop the user asked for stays said until the next command, whoever
    // started the run: what tidies up after it is told beside it.
    const QString notice = QString::fromUtf8(kStoppedNotice);
    if (stop_notice_shown_)
      shown = text.isEmpty() || text == notice ? notice : notice + "　" + text;
    else
      stop_notice_shown_ = text == notice;
  }
  QLabel* label = status_labels_[static_cast<std::size_t>(field)];
  const bool changed = label->text() != shown;
  label->setText(shown);
  // What the window did is said to a screen reader as it is shown.
  if (changed && field == StatusField::Activity && !shown.isEmpty()) {
    QAccessibleEvent said(label, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&said);
  }
  // The field may be narrower than its text: the whole of it on hovering.
  label->setToolTip(shown);
  // Painted at the next pass of the event loop, which the session's worker
  // never holds up.
  label->update();
}

void MainWindow::ClearStopNotice() {
  if (!stop_notice_shown_) return;
  stop_notice_shown_ = false;
  ShowStatus(StatusField::Activity, {});
}

void MainWindow::FitHandsetStatus() {
  // The model's name is never cut: the other fields give way first.
  const int text = handset_status_->fontMetrics().horizontalAdvance(StatusText(StatusField::Handset));
  handset_status_->setMinimumWidth(std::max(50, kHandsetTextLeft + text + 4));
}

void MainWindow::PaintHandsetStatus(QPainter& painter, const QRect& rect) {
  const bool linked = session_->IsLinkOpen();
  painter.drawPixmap(rect.topLeft(), SvgPixmap(linked ? "status_on" : "status_off", QSize(16, 16)));
  painter.drawText(rect.adjusted(kHandsetTextLeft, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, StatusText(StatusField::Handset));
}

void MainWindow::NameHandsetStatus() {
  // The panel is painted by hand: its text reaches assistive tools only so.
  const QString text = StatusText(StatusField::Handset);
  handset_status_->setAccessibleName(text.isEmpty() ? QString("未接続") : text);
}

void MainWindow::UpdateStatusText() {
  if (updating_status_) return;
  updating_status_ = true;
  if (!session_->IsLinkOpen()) {
    files_->SetListing(nullptr);
    files_->Model().Clear();
    files_->ShowDisconnected();
    ShowStatus(StatusField::Port, "未接続");
    NameHandsetStatus();
    FitHandsetStatus();
    handset_status_->update();
    status_bar_->update();
  }
  const FileView::SelectionSize selected = files_->SelectedSize();
  if (!stop_notice_shown_)
    ShowStatus(StatusField::Activity, selected.rows > 0 ? QString("%1 個のファイルを選択").arg(selected.rows) : QString());
  ShowStatus(StatusField::Size, selected.rows > 0 ? SizeText(selected.bytes) : QString());
  updating_status_ = false;
}

}  // namespace mirvo::app
