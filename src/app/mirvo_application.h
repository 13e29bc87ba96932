// The application object: an exception that escapes a handler is shown in
// a message box and the program goes on.
#pragma once

#include <QApplication>

namespace mirvo::app {

class MirvoApplication : public QApplication {
 public:
  MirvoApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace mirvo::app
