#include "app/status_panel.h"

#include <QApplication>
#include <QPainter>
#include <algorithm>

namespace mirvo::app {

void StatusPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter_(painter, rect());
}

StatusLabel::StatusLabel(int usual_width, QWidget* parent) : QLabel(parent), usual_width_(usual_width) {
  setFrameShape(QFrame::Panel);
  setFrameShadow(QFrame::Sunken);
  setMaximumWidth(usual_width);
}

QSize StatusLabel::sizeHint() const { return {usual_width_, QLabel::sizeHint().height()}; }

QSize StatusLabel::minimumSizeHint() const {
  return {std::min(usual_width_, fontMetrics().averageCharWidth() * 4), QLabel::minimumSizeHint().height()};
}

WaitCursor::WaitCursor() : WaitCursor(Qt::WaitCursor) {}

WaitCursor::WaitCursor(Qt::CursorShape shape) { QApplication::setOverrideCursor(shape); }

void WaitCursor::Release() {
  if (!active_) return;
  active_ = false;
  QApplication::restoreOverrideCursor();
}

}  // namespace mirvo::app
