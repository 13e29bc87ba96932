// The splash screen: the borderless start-up picture shown for a moment
// before the main window.
#pragma once

#include <QPixmap>
#include <QWidget>

class QLabel;

namespace mirvo::app {

class SplashScreen : public QWidget {
  Q_OBJECT
 public:
  explicit SplashScreen(QWidget* parent = nullptr);

  QLabel* NameLabel() const { return name_label_; }
  QLabel* VersionLabel() const { return version_label_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
  QLabel* name_label_;
  QLabel* version_label_;
};

// Shows the splash centred on the desktop and lets events run until ms
// have passed since it appeared; then hides it.
void ShowSplash(int ms);

}  // namespace mirvo::app
