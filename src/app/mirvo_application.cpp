#include "app/mirvo_application.h"

#include <exception>

#include "app/message_box.h"

namespace mirvo::app {

bool MirvoApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowMessage(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowMessage(QStringLiteral("unknown exception"));
  }
  return false;
}

int StartProgram(const QStringList& params, const StartSteps& steps) {
  if (!steps.acquire()) return steps.hand_over();
  if (params.isEmpty()) steps.show_splash();
  return steps.run_window();
}

}  // namespace mirvo::app
