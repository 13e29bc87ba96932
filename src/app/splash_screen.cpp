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
  setObjectName("SplashScreen");
  picture_ = SvgPixmap("splash", QSize(500, 300));
  setFixedSize(picture_.size() / picture_.devicePixelRatio());
  // Hidden: the picture carries the words; the labels name them for tools
  // that read the window.
  name_label_ = new QLabel("Mirvo", this);
  name_label_->setObjectName("name_label");
  name_label_->hide();
  version_label_ = new QLabel("Version 1.11", this);
  version_label_->setObjectName("version_label");
  version_label_->hide();
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
