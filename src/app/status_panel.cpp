#include "app/status_panel.h"

#include <QApplication>
#include <QPainter>

namespace mirvo::app {

void StatusPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter_(painter, rect());
}

WaitCursor::WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void WaitCursor::Release() {
  if (!active_) return;
  active_ = false;
  QApplication::restoreOverrideCursor();
}

}  // namespace mirvo::app
