#include "app/splash_screen.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "app/app_resources.h"

namespace mirvo::app {

SplashScreen::SplashScreen(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName("FrmSplash");
  picture_ = SvgPixmap("splash", QSize(500, 300));
  setFixedSize(picture_.size() / picture_.devicePixelRatio());
  // Named in the window for the record; the picture carries the words.
  labelAppName = new QLabel("Mirvo", this);
  labelAppName->setObjectName("labelAppName");
  labelAppName->hide();
  labelAppVersion = new QLabel("Version 1.11", this);
  labelAppVersion->setObjectName("labelAppVersion");
  labelAppVersion->hide();
}

void SplashScreen::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture_);
}

void ShowSplash(int ms) {
  SplashScreen splash;
  if (QScreen* screen = QGuiApplication::primaryScreen())
    splash.move(screen->geometry().center() - splash.rect().center());
  splash.show();
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  splash.hide();
}

}  // namespace mirvo::app
