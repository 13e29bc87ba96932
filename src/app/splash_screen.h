// SplashScreen, the borderless start-up picture.
#pragma once

#include <QWidget>

class QLabel;

namespace mirvo::app {

class SplashScreen : public QWidget {
  Q_OBJECT
 public:
  explicit SplashScreen(QWidget* parent = nullptr);
  QLabel* labelAppName;
  QLabel* labelAppVersion;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
};

// Shows the splash centred on the desktop and lets events run until ms
// have passed since it appeared; then hides it.
void ShowSplash(int ms);

}  // namespace mirvo::app
