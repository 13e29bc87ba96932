#include <QApplication>

#include "app/app_resources.h"
#include "app/main_window.h"
#include "app/splash.h"
#include "app/mirvo_application.h"
#include "app/qt_ui_hooks.h"
#include "app/single_instance.h"
#include "protocol/trace_log.h"

int main(int argc, char* argv[]) {
  mirvo::app::MirvoApplication app(argc, argv);
  QApplication::setApplicationName("Mirvo");
  mirvo::app::ApplyAppFont();
  QApplication::setWindowIcon(QIcon(mirvo::app::SvgPixmap("about_icon", QSize(32, 32))));
  mirvo::LogStart();

  const QStringList params = QApplication::arguments().mid(1);
  if (params.isEmpty()) mirvo::app::ShowSplash(2000);

  mirvo::app::SingleInstance instance;
  int rc = 0;
  if (instance.Acquire()) {
    mirvo::app::QtUiHooks hooks;
    mirvo::app::TFrmMain window(params);
    hooks.SetMainWindow(&window);
    window.show();
    rc = QApplication::exec();
  }
  mirvo::LogClose();
  return rc;
}
