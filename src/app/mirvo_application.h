// The application object: an exception that escapes a handler is shown in
// a message box and the program goes on. And the order of a start.
#pragma once

#include <QApplication>
#include <QStringList>
#include <functional>

namespace mirvo::app {

class MirvoApplication : public QApplication {
 public:
  MirvoApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

// What a start does, in the order StartProgram gives them.
struct StartSteps {
  std::function<bool()> acquire;      // the single-instance lock; false: another run holds it
  std::function<void()> show_splash;  // the start-up picture, for its while
  std::function<int()> run_window;    // the main window, to its end
  std::function<int()> hand_over;     // files (or none) to the running program
};

// The lock comes first: a second start hands over at once and never shows
// the splash; a first start shows it only when no files were named.
int StartProgram(const QStringList& params, const StartSteps& steps);

}  // namespace mirvo::app
