// The status bar panel the main window draws itself (icon, vendor, model).
#pragma once

#include <QLabel>
#include <QWidget>
#include <functional>

namespace mirvo::app {

class StatusPanel : public QWidget {
 public:
  using Painter = std::function<void(QPainter&, const QRect&)>;
  StatusPanel(Painter painter, QWidget* parent) : QWidget(parent), painter_(std::move(painter)) {}

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Painter painter_;
};

// A status bar field: its usual width when there is room, narrower (its
// text cut) when a run's progress needs the room, so that the window never
// has to grow.
class StatusLabel : public QLabel {
 public:
  StatusLabel(int usual_width, QWidget* parent);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 private:
  int usual_width_;
};

// Holds the hourglass from construction to Release() or destruction.
class WaitCursor {
 public:
  WaitCursor();
  explicit WaitCursor(Qt::CursorShape shape);
  ~WaitCursor() { Release(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  void Release();

 private:
  bool active_ = true;
};

// The pointer that says work goes on while the window can still be used.
class BusyCursor : public WaitCursor {
 public:
  BusyCursor() : WaitCursor(Qt::BusyCursor) {}
};

}  // namespace mirvo::app
